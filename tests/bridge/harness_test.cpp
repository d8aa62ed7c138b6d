// The harness itself: a JNI misuse must show up as a failure, or a clean run proves nothing.
#include "harness/jvm/api.h"

namespace {

TEST(Harness, JniWarningsAreCaught) {
  JNIEnv* env = jvm::Env();
  jvm::TakeOutput();
  jclass sspi = jvm::PackageClass("SSPI");
  jmethodID token = env->GetStaticMethodID(sspi, "GetChallengeToken", "(I)[B");
  env->CallStaticObjectMethod(sspi, token, -5);  // throws "Invalid handle"
  jclass string = env->FindClass("java/lang/String");  // without checking for the exception first
  env->ExceptionClear();
  env->DeleteLocalRef(string);
  EXPECT_TRUE(jvm::HasJniWarning(jvm::TakeOutput()));
}

}  // namespace
