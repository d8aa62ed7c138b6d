#include "harness/tool/in_process.h"

#include <gtest/gtest.h>

#include "harness/jvm/harness.h"

namespace report {
namespace {

// A captured stream: a ByteArrayOutputStream and a UTF-8 PrintStream over it.
struct Capture {
  jobject bytes = nullptr;
  jobject stream = nullptr;
};

bool Failed(JNIEnv* env, const char* what) {
  if (auto thrown = jvm::TakeException(env)) {
    ADD_FAILURE() << what << " threw " << thrown->type << ": " << thrown->message.value_or("<null>");
    return true;
  }
  return false;
}

Capture NewCapture(JNIEnv* env) {
  Capture capture;
  jclass bytesClass = env->FindClass("java/io/ByteArrayOutputStream");
  jclass streamClass = env->FindClass("java/io/PrintStream");
  if (Failed(env, "FindClass")) return capture;
  capture.bytes = env->NewObject(bytesClass, env->GetMethodID(bytesClass, "<init>", "()V"));
  if (Failed(env, "new ByteArrayOutputStream")) return capture;
  jstring utf8 = env->NewStringUTF("UTF-8");
  capture.stream = env->NewObject(streamClass, env->GetMethodID(streamClass, "<init>", "(Ljava/io/OutputStream;ZLjava/lang/String;)V"),
                                  capture.bytes, JNI_TRUE, utf8);
  Failed(env, "new PrintStream");
  return capture;
}

std::string Captured(JNIEnv* env, const Capture& capture) {
  if (capture.bytes == nullptr) return "";
  jclass bytesClass = env->GetObjectClass(capture.bytes);
  jstring utf8 = env->NewStringUTF("UTF-8");
  auto text = static_cast<jstring>(env->CallObjectMethod(
      capture.bytes, env->GetMethodID(bytesClass, "toString", "(Ljava/lang/String;)Ljava/lang/String;"), utf8));
  if (Failed(env, "ByteArrayOutputStream.toString")) return "";
  auto value = jvm::FromJava(env, text);
  std::string out;
  // The tool's output in these tests is ASCII.
  for (char16_t unit : value.value_or(u"")) out += static_cast<char>(unit);
  return out;
}

}  // namespace

tooltest::JsonValue InProcessRun::Json() const {
  std::string error;
  auto value = tooltest::ParseJson(out, &error);
  if (!value) {
    ADD_FAILURE() << "stdout is not JSON (" << error << "):\n" << out;
    return tooltest::JsonValue();
  }
  return *value;
}

InProcessRun RunInProcess(const std::vector<std::string>& args) {
  InProcessRun run;
  JNIEnv* env = jvm::Env();
  if (env->PushLocalFrame(32 + static_cast<jint>(args.size())) != 0) {
    Failed(env, "PushLocalFrame");
    return run;
  }
  jclass main = env->FindClass("com/tarvex/pelk/quentrel/tool/Main");
  jclass stringClass = env->FindClass("java/lang/String");
  if (!Failed(env, "FindClass")) {
    jmethodID method = env->GetStaticMethodID(main, "run", "([Ljava/lang/String;Ljava/io/PrintStream;Ljava/io/PrintStream;)I");
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(args.size()), stringClass, nullptr);
    for (size_t i = 0; i < args.size(); ++i) {
      env->SetObjectArrayElement(array, static_cast<jsize>(i), env->NewStringUTF(args[i].c_str()));
    }
    Capture out = NewCapture(env), err = NewCapture(env);
    if (!Failed(env, "setting up the run")) {
      run.exitCode = env->CallStaticIntMethod(main, method, array, out.stream, err.stream);
      if (!Failed(env, "Main.run")) {
        run.out = Captured(env, out);
        run.err = Captured(env, err);
      }
    }
  }
  env->PopLocalFrame(nullptr);
  return run;
}

}  // namespace report
