#include "harness/jvm/harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "winhost/control.h"

namespace jvm {
namespace {

std::mutex outputMutex;
std::string output;

jint JNICALL CaptureOutput(FILE* stream, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char buffer[4096];
  int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  {
    std::lock_guard<std::mutex> guard(outputMutex);
    output.append(buffer, length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
  }
  return std::vfprintf(stream, format, args);
}

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : fallback;
}

JavaVM* StartVm() {
  static std::string classPath = "-Djava.class.path=" + EnvironmentOr("QUENTREL_TEST_CLASSPATH", "quentrel.jar");
  static std::string libraryPath = "-Djava.library.path=" + EnvironmentOr("QUENTREL_TEST_LIBRARY_PATH", ".");
  // One more option of a test's own, such as a hosts file for the JDK's resolver.
  static std::string extra = EnvironmentOr("QUENTREL_TEST_JVM_OPTION", "");
  JavaVMOption options[5];
  options[0].optionString = const_cast<char*>(classPath.c_str());
  options[1].optionString = const_cast<char*>(libraryPath.c_str());
  options[2].optionString = const_cast<char*>("-Xcheck:jni");
  options[3].optionString = const_cast<char*>("vfprintf");
  options[3].extraInfo = reinterpret_cast<void*>(&CaptureOutput);
  options[4].optionString = const_cast<char*>(extra.c_str());
  JavaVMInitArgs args;
  args.version = JNI_VERSION_10;
  args.nOptions = extra.empty() ? 4 : 5;
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    std::fprintf(stderr, "cannot start the JVM\n");
    std::abort();
  }
  return vm;
}

JavaVM* Vm() {
  static JavaVM* vm = StartVm();
  return vm;
}

}  // namespace

JNIEnv* Env() {
  JavaVM* vm = Vm();
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_10) == JNI_OK) return env;
  if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) std::abort();
  return env;
}

std::string TakeOutput() {
  std::lock_guard<std::mutex> guard(outputMutex);
  std::string taken;
  taken.swap(output);
  return taken;
}

bool HasJniWarning(const std::string& text) {
  return text.find("WARNING in native method") != std::string::npos ||
         text.find("WARNING: JNI local refs") != std::string::npos ||
         text.find("Warning: Calling other JNI functions") != std::string::npos;
}

std::string Thrown::ShortType() const {
  auto dot = type.rfind('.');
  return dot == std::string::npos ? type : type.substr(dot + 1);
}

std::optional<Thrown> TakeException(JNIEnv* env) {
  jthrowable pending = env->ExceptionOccurred();
  if (pending == nullptr) return std::nullopt;
  env->ExceptionClear();
  Thrown thrown;
  jclass throwableClass = env->GetObjectClass(pending);
  jclass classClass = env->FindClass("java/lang/Class");
  jmethodID getName = env->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
  auto name = static_cast<jstring>(env->CallObjectMethod(throwableClass, getName));
  env->ExceptionCheck();
  const char* nameChars = env->GetStringUTFChars(name, nullptr);
  thrown.type = nameChars;
  env->ReleaseStringUTFChars(name, nameChars);
  jclass throwable = env->FindClass("java/lang/Throwable");
  jmethodID getMessage = env->GetMethodID(throwable, "getMessage", "()Ljava/lang/String;");
  auto message = static_cast<jstring>(env->CallObjectMethod(pending, getMessage));
  env->ExceptionCheck();
  if (message != nullptr) {
    const char* chars = env->GetStringUTFChars(message, nullptr);
    thrown.message = chars;
    env->ReleaseStringUTFChars(message, chars);
    env->DeleteLocalRef(message);
  }
  env->DeleteLocalRef(name);
  env->DeleteLocalRef(classClass);
  env->DeleteLocalRef(throwable);
  env->DeleteLocalRef(throwableClass);
  env->DeleteLocalRef(pending);
  return thrown;
}

jstring ToJava(JNIEnv* env, const JString& text) {
  if (!text) return nullptr;
  return env->NewString(reinterpret_cast<const jchar*>(text->data()), static_cast<jsize>(text->size()));
}

jbyteArray ToJava(JNIEnv* env, const JBytes& bytes) {
  if (!bytes) return nullptr;
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes->size()));
  if (!bytes->empty())
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes->size()), reinterpret_cast<const jbyte*>(bytes->data()));
  return array;
}

JString FromJava(JNIEnv* env, jstring text) {
  if (env->ExceptionCheck() || text == nullptr) return std::nullopt;
  std::u16string out(static_cast<size_t>(env->GetStringLength(text)), u'\0');
  if (!out.empty()) env->GetStringRegion(text, 0, static_cast<jsize>(out.size()), reinterpret_cast<jchar*>(out.data()));
  return out;
}

JBytes FromJava(JNIEnv* env, jbyteArray bytes) {
  if (env->ExceptionCheck() || bytes == nullptr) return std::nullopt;
  std::vector<uint8_t> out(static_cast<size_t>(env->GetArrayLength(bytes)));
  if (!out.empty()) env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(out.size()), reinterpret_cast<jbyte*>(out.data()));
  return out;
}

jclass PackageClass(const char* simpleName) {
  JNIEnv* env = Env();
  std::string name = std::string("com/tarvex/pelk/quentrel/") + simpleName;
  jclass local = env->FindClass(name.c_str());
  if (local == nullptr) {
    auto thrown = TakeException(env);
    std::fprintf(stderr, "cannot load %s: %s\n", name.c_str(), thrown ? thrown->type.c_str() : "?");
    std::abort();
  }
  auto global = static_cast<jclass>(env->NewGlobalRef(local));
  env->DeleteLocalRef(local);
  return global;
}

}  // namespace jvm

void JvmTest::SetUp() {
  jvm::Env();
  winhost::Reset();
  jvm::TakeOutput();
}

void JvmTest::TearDown() {
  JNIEnv* env = jvm::Env();
  auto leftover = jvm::TakeException(env);
  EXPECT_FALSE(leftover.has_value()) << "exception left pending: " << (leftover ? leftover->type : "");
  std::string printed = jvm::TakeOutput();
  EXPECT_FALSE(jvm::HasJniWarning(printed)) << "the JVM reported a JNI problem:\n" << printed;
}
