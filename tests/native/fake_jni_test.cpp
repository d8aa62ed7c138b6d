// The fake JNI environment on its own, and the library's entry points called through it with no
// JVM at all: the way native tests (sanitizers, fuzzing, stress) reach the library.
#include <gtest/gtest.h>

#include <stdexcept>

#include "harness/jnifake/fake_jni.h"

extern "C" {
JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv*, jclass, jboolean, jint, jstring, jstring);
JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Initialize(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Accept(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_IsGroupMember(JNIEnv*, jclass, jint, jstring);
JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetContextInformation(JNIEnv*, jclass, jint);
}

namespace {

using fakejni::FakeJvm;

struct Unprovided : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class FakeJniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakejni::SetFailureHandler([](const std::string& what) { throw Unprovided(what); });
  }
  void TearDown() override {
    fakejni::SetFailureHandler(nullptr);
    EXPECT_EQ(jvm.HeldElements(), 0u);
    EXPECT_TRUE(jvm.TakeViolations().empty());
  }
  FakeJvm jvm;
  JNIEnv* env = jvm.env();
};

TEST_F(FakeJniTest, SlotsItDoesNotProvideFailLoudlyByName) {
  jstring text = jvm.String(u"x");
  try {
    env->GetObjectClass(text);
    FAIL() << "an unprovided slot returned";
  } catch (const Unprovided& failure) {
    EXPECT_NE(std::string(failure.what()).find("GetObjectClass"), std::string::npos) << failure.what();
  }
  EXPECT_THROW(env->CallStaticVoidMethod(nullptr, nullptr), Unprovided);
  jvm.Delete(text);
}

TEST_F(FakeJniTest, StringsAndArraysRoundTripWithoutATerminatorOrCopyBack) {
  jstring text = env->NewString(reinterpret_cast<const jchar*>(u"a\0b"), 3);
  EXPECT_EQ(env->GetStringLength(text), 3);
  const jchar* chars = env->GetStringChars(text, nullptr);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(chars), 3), std::u16string(u"a\0b", 3));
  EXPECT_EQ(jvm.HeldElements(), 1u);
  env->ReleaseStringChars(text, chars);

  jbyteArray array = jvm.Bytes({1, 2, 3});
  jbyte* elements = env->GetByteArrayElements(array, nullptr);
  elements[0] = 9;
  env->ReleaseByteArrayElements(array, elements, JNI_ABORT);
  EXPECT_EQ(jvm.BytesOf(array), (std::vector<uint8_t>{1, 2, 3})) << "JNI_ABORT copies nothing back";
  elements = env->GetByteArrayElements(array, nullptr);
  elements[0] = 9;
  env->ReleaseByteArrayElements(array, elements, 0);
  EXPECT_EQ(jvm.BytesOf(array), (std::vector<uint8_t>{9, 2, 3}));
  jvm.Delete(text);
  jvm.Delete(array);
  EXPECT_EQ(jvm.LiveReferences(), 0u);
}

TEST_F(FakeJniTest, ModifiedUtf8EncodesZeroAndNonAscii) {
  jstring text = jvm.String(std::u16string(u"\u00e9\0\u20ac", 3));
  const char* utf = env->GetStringUTFChars(text, nullptr);
  EXPECT_STREQ(utf, "\xc3\xa9\xc0\x80\xe2\x82\xac");
  env->ReleaseStringUTFChars(text, utf);
  jstring back = env->NewStringUTF("\xc3\xa9-S-1-5-32-544");
  EXPECT_EQ(jvm.TextOf(back), u"\u00e9-S-1-5-32-544");
  jvm.Delete(text);
  jvm.Delete(back);
}

TEST_F(FakeJniTest, MisuseIsRecordedAsTheJvmsChecksWouldReportIt) {
  jclass type = env->FindClass("com/tarvex/pelk/quentrel/WinAuthException");
  env->ThrowNew(type, "first");
  env->DeleteLocalRef(type);  // allowed with an exception pending
  EXPECT_TRUE(jvm.TakeViolations().empty());
  env->NewStringUTF("x");
  env->DeleteLocalRef(type);
  std::vector<std::string> violations = jvm.TakeViolations();
  ASSERT_EQ(violations.size(), 2u);
  EXPECT_EQ(violations[0], "NewStringUTF called with an exception pending");
  EXPECT_EQ(violations[1], "DeleteLocalRef given a deleted or unknown reference");
  ASSERT_TRUE(jvm.Take().has_value());

  jstring text = jvm.String(u"abc");
  const jchar* chars = env->GetStringChars(text, nullptr);
  env->ReleaseStringChars(text, chars);
  env->ReleaseStringChars(text, chars);
  EXPECT_EQ(jvm.TakeViolations().size(), 1u) << "a second release of the same characters";
  jvm.Delete(text);
}

TEST_F(FakeJniTest, UnknownClassesAndInjectedFailuresLeaveTheJvmsErrorPending) {
  EXPECT_EQ(env->FindClass("com/tarvex/pelk/quentrel/NoSuchException"), nullptr);
  EXPECT_EQ(jvm.Take()->className, "java/lang/NoClassDefFoundError");
  jvm.FailNext("NewByteArray");
  EXPECT_EQ(env->NewByteArray(4), nullptr);
  EXPECT_EQ(jvm.Take()->className, "java/lang/OutOfMemoryError");
  jbyteArray array = env->NewByteArray(4);
  EXPECT_NE(array, nullptr) << "only the next call fails";
  jvm.Delete(array);
}

// The library itself through the fake: results, exceptions and what each call leaves behind.
class NativeEntryTest : public FakeJniTest {
 protected:
  jint Create(bool client, const std::u16string& package) {
    jstring name = jvm.String(package);
    jint handle = Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(env, nullptr, client, 0, name, nullptr);
    jvm.Delete(name);
    return handle;
  }
};

TEST_F(NativeEntryTest, RefusalsMakeExactlyOneExceptionAndLeaveNoReference) {
  EXPECT_EQ(Create(false, u"NoSuchPackage"), 0);
  auto thrown = jvm.Take();
  ASSERT_TRUE(thrown.has_value());
  EXPECT_EQ(thrown->className, "com/tarvex/pelk/quentrel/WinAuthException");
  EXPECT_EQ(thrown->message, "Platform error: 80090305");
  EXPECT_EQ(Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, 0x7fff0000), nullptr);
  EXPECT_EQ(jvm.Take()->message, "Invalid handle");
  EXPECT_EQ(jvm.LiveReferences(), 0u) << "the exception class's local reference is deleted";
}

TEST_F(NativeEntryTest, ResultsAreNewArraysAndAFailedArrayLeavesOnlyTheJvmsError) {
  const jint server = Create(false, u"Negotiate");
  ASSERT_GT(server, 1);
  jbyteArray token = Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, server);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(jvm.BytesOf(token).empty()) << "an empty token is a zero-length array";
  jvm.Delete(token);

  jvm.FailNext("NewByteArray");
  EXPECT_EQ(Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, server), nullptr);
  auto thrown = jvm.Take();
  ASSERT_TRUE(thrown.has_value());
  EXPECT_EQ(thrown->className, "java/lang/OutOfMemoryError");
  EXPECT_EQ(thrown->message, "NewByteArray failed") << "the JVM's own error, nothing thrown over it";

  jvm.RemoveClass("com/tarvex/pelk/quentrel/WinAuthException");
  EXPECT_EQ(Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, 0x7fff0000), nullptr);
  EXPECT_EQ(jvm.Take()->className, "java/lang/NoClassDefFoundError");

  Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(env, nullptr, server);
  EXPECT_FALSE(jvm.Pending().has_value());
  EXPECT_EQ(jvm.LiveReferences(), 0u);
}

// An established loopback pair, then JVM failures in the middle of calls that hold the family
// lock: each call returns its neutral value with only the JVM's error pending, and leaves the lock
// (the next call would wait for ever otherwise).
TEST_F(NativeEntryTest, JvmFailuresUnderTheLockLeaveItAndOnlyTheJvmsError) {
  const jint server = Create(false, u"Negotiate");
  const jint client = Create(true, u"Negotiate");
  ASSERT_GT(client, server);
  bool clientDone = false, serverDone = false;
  for (int leg = 0; leg < 6 && !(clientDone && serverDone); ++leg) {
    const bool toServer = leg % 2 == 0;
    jbyteArray token = Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, toServer ? client : server);
    ASSERT_NE(token, nullptr);
    if (toServer) {
      serverDone = Java_com_tarvex_pelk_quentrel_SSPI_Accept(env, nullptr, server, token);
    } else if (!clientDone && !jvm.BytesOf(token).empty()) {
      clientDone = Java_com_tarvex_pelk_quentrel_SSPI_Initialize(env, nullptr, client, token);
    } else {
      clientDone = true;
    }
    jvm.Delete(token);
    ASSERT_FALSE(jvm.Pending().has_value()) << jvm.Pending()->message;
  }
  ASSERT_TRUE(serverDone);

  jstring group = jvm.String(u"BUILTIN\\Users");
  jvm.FailNext("GetStringChars");
  EXPECT_FALSE(Java_com_tarvex_pelk_quentrel_SSPI_IsGroupMember(env, nullptr, server, group));
  auto thrown = jvm.Take();
  ASSERT_TRUE(thrown.has_value());
  EXPECT_EQ(thrown->message, "GetStringChars failed") << "nothing thrown over the JVM's own error";

  jvm.FailNext("NewString");
  EXPECT_EQ(Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(env, nullptr, server), nullptr);
  thrown = jvm.Take();
  ASSERT_TRUE(thrown.has_value());
  EXPECT_EQ(thrown->message, "NewString failed");

  jstring report = Java_com_tarvex_pelk_quentrel_SSPI_GetContextInformation(env, nullptr, server);
  ASSERT_NE(report, nullptr) << "the lock was left";
  EXPECT_EQ(jvm.TextOf(report).rfind(u"Type: server\nState: success", 0), 0u);
  jvm.Delete(report);
  jvm.Delete(group);
  Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(env, nullptr, client);
  Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(env, nullptr, server);
  EXPECT_EQ(jvm.LiveReferences(), 0u);
}

}  // namespace
