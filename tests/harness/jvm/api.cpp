#include "harness/jvm/api.h"

#include "winhost/control.h"

namespace {

// A static native method of one of the package's classes, bound once.
struct Method {
  jclass type;
  jmethodID id;
  Method(const char* className, const char* name, const char* signature) {
    type = jvm::PackageClass(className);
    id = jvm::Env()->GetStaticMethodID(type, name, signature);
    if (id == nullptr) std::abort();
  }
};

// Calls the method with `invoke`, then takes the pending exception and the local references the
// arguments needed.
template <typename T, typename Invoke>
Outcome<T> Run(Invoke&& invoke) {
  JNIEnv* env = jvm::Env();
  env->PushLocalFrame(16);
  Outcome<T> outcome;
  outcome.value = invoke(env);
  outcome.thrown = jvm::TakeException(env);
  env->PopLocalFrame(nullptr);
  return outcome;
}

#define METHOD(cls, name, sig)                  \
  static const Method method(cls, name, sig); \
  (void)0

}  // namespace

std::string Utf8(const jvm::JString& text) { return text ? winhost::Narrow(*text) : "<null>"; }

namespace api {
namespace sspi {

Outcome<int> CreateContext(bool client, int flags, const JString& package, const JString& target) {
  METHOD("SSPI", "CreateContext", "(ZILjava/lang/String;Ljava/lang/String;)I");
  return Run<int>([&](JNIEnv* env) {
    return env->CallStaticIntMethod(method.type, method.id, client ? JNI_TRUE : JNI_FALSE, flags,
                                    jvm::ToJava(env, package), jvm::ToJava(env, target));
  });
}

Outcome<bool> Initialize(int handle, const JBytes& token) {
  METHOD("SSPI", "Initialize", "(I[B)Z");
  return Run<bool>([&](JNIEnv* env) {
    return env->CallStaticBooleanMethod(method.type, method.id, handle, jvm::ToJava(env, token)) != JNI_FALSE;
  });
}

Outcome<bool> Accept(int handle, const JBytes& token) {
  METHOD("SSPI", "Accept", "(I[B)Z");
  return Run<bool>([&](JNIEnv* env) {
    return env->CallStaticBooleanMethod(method.type, method.id, handle, jvm::ToJava(env, token)) != JNI_FALSE;
  });
}

Outcome<JBytes> GetChallengeToken(int handle) {
  METHOD("SSPI", "GetChallengeToken", "(I)[B");
  return Run<JBytes>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jbyteArray>(env->CallStaticObjectMethod(method.type, method.id, handle)));
  });
}

Outcome<int> GetNegotiatedAttributes(int handle) {
  METHOD("SSPI", "GetNegotiatedAttributes", "(I)I");
  return Run<int>([&](JNIEnv* env) { return env->CallStaticIntMethod(method.type, method.id, handle); });
}

Outcome<int> GetMaxTokenSize(int handle) {
  METHOD("SSPI", "GetMaxTokenSize", "(I)I");
  return Run<int>([&](JNIEnv* env) { return env->CallStaticIntMethod(method.type, method.id, handle); });
}

Outcome<JBytes> Wrap(int handle, const JBytes& message) {
  METHOD("SSPI", "Wrap", "(I[B)[B");
  return Run<JBytes>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jbyteArray>(
                                  env->CallStaticObjectMethod(method.type, method.id, handle, jvm::ToJava(env, message))));
  });
}

Outcome<JBytes> Unwrap(int handle, const JBytes& wrapped) {
  METHOD("SSPI", "Unwrap", "(I[B)[B");
  return Run<JBytes>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jbyteArray>(
                                  env->CallStaticObjectMethod(method.type, method.id, handle, jvm::ToJava(env, wrapped))));
  });
}

Outcome<JString> GetClientUserName(int handle) {
  METHOD("SSPI", "GetClientUserName", "(I)Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id, handle)));
  });
}

Outcome<Nothing> StartImpersonating(int handle) {
  METHOD("SSPI", "StartImpersonating", "(I)V");
  return Run<Nothing>([&](JNIEnv* env) {
    env->CallStaticVoidMethod(method.type, method.id, handle);
    return Nothing{};
  });
}

Outcome<Nothing> StopImpersonating(int handle) {
  METHOD("SSPI", "StopImpersonating", "(I)V");
  return Run<Nothing>([&](JNIEnv* env) {
    env->CallStaticVoidMethod(method.type, method.id, handle);
    return Nothing{};
  });
}

Outcome<bool> IsGroupMember(int handle, const JString& groupName) {
  METHOD("SSPI", "IsGroupMember", "(ILjava/lang/String;)Z");
  return Run<bool>([&](JNIEnv* env) {
    return env->CallStaticBooleanMethod(method.type, method.id, handle, jvm::ToJava(env, groupName)) != JNI_FALSE;
  });
}

Outcome<JString> GetContextInformation(int handle) {
  METHOD("SSPI", "GetContextInformation", "(I)Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id, handle)));
  });
}

Outcome<Nothing> FreeHandle(int handle) {
  METHOD("SSPI", "FreeHandle", "(I)V");
  return Run<Nothing>([&](JNIEnv* env) {
    env->CallStaticVoidMethod(method.type, method.id, handle);
    return Nothing{};
  });
}

}  // namespace sspi

namespace extensions {

Outcome<int> CreateBoundContext(bool client, int flags, const JString& package, const JString& target,
                                const JBytes& channelBindings) {
  METHOD("Extensions", "CreateBoundContext", "(ZILjava/lang/String;Ljava/lang/String;[B)I");
  return Run<int>([&](JNIEnv* env) {
    return env->CallStaticIntMethod(method.type, method.id, client ? JNI_TRUE : JNI_FALSE, flags,
                                    jvm::ToJava(env, package), jvm::ToJava(env, target),
                                    jvm::ToJava(env, channelBindings));
  });
}

// The password goes as a char[], as a caller wipes it after the call.
Outcome<int> CreatePasswordContext(const JString& package, const JString& target, const JString& user,
                                   const JString& password) {
  METHOD("Extensions", "CreatePasswordContext", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;[C)I");
  return Run<int>([&](JNIEnv* env) {
    jcharArray chars = nullptr;
    if (password) {
      chars = env->NewCharArray(static_cast<jsize>(password->size()));
      env->SetCharArrayRegion(chars, 0, static_cast<jsize>(password->size()),
                              reinterpret_cast<const jchar*>(password->data()));
    }
    return env->CallStaticIntMethod(method.type, method.id, jvm::ToJava(env, package), jvm::ToJava(env, target),
                                    jvm::ToJava(env, user), chars);
  });
}

Outcome<long long> GetContextExpiry(int handle) {
  METHOD("Extensions", "GetContextExpiry", "(I)J");
  return Run<long long>([&](JNIEnv* env) {
    return static_cast<long long>(env->CallStaticLongMethod(method.type, method.id, handle));
  });
}

Outcome<int> GetDelegationLimit(int serverHandle) {
  METHOD("Extensions", "GetDelegationLimit", "(I)I");
  return Run<int>([&](JNIEnv* env) { return env->CallStaticIntMethod(method.type, method.id, serverHandle); });
}

}  // namespace extensions

namespace userauth {

Outcome<int> CreateUserContext(const JString& accountName) {
  METHOD("UserAuth", "CreateUserContext", "(Ljava/lang/String;)I");
  return Run<int>([&](JNIEnv* env) {
    return env->CallStaticIntMethod(method.type, method.id, jvm::ToJava(env, accountName));
  });
}

Outcome<Nothing> FreeHandle(int handle) {
  METHOD("UserAuth", "FreeHandle", "(I)V");
  return Run<Nothing>([&](JNIEnv* env) {
    env->CallStaticVoidMethod(method.type, method.id, handle);
    return Nothing{};
  });
}

Outcome<JString> GetUserSID(const JString& accountName) {
  METHOD("UserAuth", "GetUserSID", "(Ljava/lang/String;)Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(
        env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id, jvm::ToJava(env, accountName))));
  });
}

Outcome<bool> IsGroupMember(int handle, const JString& groupName) {
  METHOD("UserAuth", "IsGroupMember", "(ILjava/lang/String;)Z");
  return Run<bool>([&](JNIEnv* env) {
    return env->CallStaticBooleanMethod(method.type, method.id, handle, jvm::ToJava(env, groupName)) != JNI_FALSE;
  });
}

}  // namespace userauth

namespace winutil {

Outcome<JString> GetHKLMStringRegValue(const JString& keyPath, const JString& valueName, bool view64) {
  METHOD("WinUtil", "GetHKLMStringRegValue", "(Ljava/lang/String;Ljava/lang/String;Z)Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(
                                  method.type, method.id, jvm::ToJava(env, keyPath), jvm::ToJava(env, valueName),
                                  view64 ? JNI_TRUE : JNI_FALSE)));
  });
}

Outcome<int> SetHKLMStringRegValue(const JString& keyPath, const JString& valueName, const JString& value, bool view64) {
  METHOD("WinUtil", "SetHKLMStringRegValue", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Z)I");
  return Run<int>([&](JNIEnv* env) {
    return env->CallStaticIntMethod(method.type, method.id, jvm::ToJava(env, keyPath), jvm::ToJava(env, valueName),
                                    jvm::ToJava(env, value), view64 ? JNI_TRUE : JNI_FALSE);
  });
}

Outcome<int> SetHKLMIntRegValue(const JString& keyPath, const JString& valueName, int value, bool view64) {
  METHOD("WinUtil", "SetHKLMIntRegValue", "(Ljava/lang/String;Ljava/lang/String;IZ)I");
  return Run<int>([&](JNIEnv* env) {
    return env->CallStaticIntMethod(method.type, method.id, jvm::ToJava(env, keyPath), jvm::ToJava(env, valueName),
                                    value, view64 ? JNI_TRUE : JNI_FALSE);
  });
}

Outcome<JString> GetProductInstallPath() {
  METHOD("WinUtil", "GetProductInstallPath", "()Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id)));
  });
}

Outcome<JString> GetCommonAppDataFilePath(const JString& fileName) {
  METHOD("WinUtil", "GetCommonAppDataFilePath", "(Ljava/lang/String;)Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(
        env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id, jvm::ToJava(env, fileName))));
  });
}

Outcome<int> GetDCCheckResultCode() {
  METHOD("WinUtil", "GetDCCheckResultCode", "()I");
  return Run<int>([&](JNIEnv* env) { return env->CallStaticIntMethod(method.type, method.id); });
}

Outcome<JString> GetFullyQualifiedDnsName() {
  METHOD("WinUtil", "GetFullyQualifiedDnsName", "()Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id)));
  });
}

Outcome<JString> GetComputerNameNetBIOS() {
  METHOD("WinUtil", "GetComputerNameNetBIOS", "()Ljava/lang/String;");
  return Run<JString>([&](JNIEnv* env) {
    return jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(method.type, method.id)));
  });
}

Outcome<Nothing> TerminateProcess(int exitCode) {
  METHOD("WinUtil", "TerminateProcess", "(I)V");
  return Run<Nothing>([&](JNIEnv* env) {
    env->CallStaticVoidMethod(method.type, method.id, exitCode);
    return Nothing{};
  });
}

}  // namespace winutil
}  // namespace api
