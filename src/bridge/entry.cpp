#include "bridge/entry.h"

void ReportNativeFailure(JNIEnv* env, const char* what) noexcept {
  if (env->ExceptionCheck()) return;
  jclass type = env->FindClass(javaclass::kOutOfMemoryError);
  if (type != nullptr) env->ThrowNew(type, what);
  env->DeleteLocalRef(type);
}
