// A real JVM in the test process, started once with -Xcheck:jni, through which tests call the
// library exactly as a Java server does: via the Java classes, so every native is bound by name.
#pragma once

#include <jni.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jvm {

// The calling thread's JNIEnv; starts the JVM on first use (classpath and library path from the
// environment set by the build: QUENTREL_TEST_CLASSPATH, QUENTREL_TEST_LIBRARY_PATH).
JNIEnv* Env();

// Everything the JVM printed (through its vfprintf hook) since the last call.
std::string TakeOutput();

// True when `output` holds a JNI warning of -Xcheck:jni.
bool HasJniWarning(const std::string& output);

// A Java exception that a call left pending, taken off the thread.
struct Thrown {
  std::string type;                    // "com.tarvex.pelk.quentrel.WinAuthException"
  std::optional<std::string> message;  // null message as nullopt
  std::string ShortType() const;       // "WinAuthException"
};

// Takes the pending exception, if any, off the current thread.
std::optional<Thrown> TakeException(JNIEnv* env);

using JString = std::optional<std::u16string>;  // nullopt is Java's null
using JBytes = std::optional<std::vector<uint8_t>>;

jstring ToJava(JNIEnv* env, const JString& text);
jbyteArray ToJava(JNIEnv* env, const JBytes& bytes);
JString FromJava(JNIEnv* env, jstring text);
JBytes FromJava(JNIEnv* env, jbyteArray bytes);

// Loads a class of the package, "SSPI" for com/tarvex/pelk/quentrel/SSPI (a global reference).
jclass PackageClass(const char* simpleName);

}  // namespace jvm

// Base of every JVM test: resets the stand-in host before the test, and after it fails the test
// when the JVM printed a JNI warning or an exception is still pending.
class JvmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
