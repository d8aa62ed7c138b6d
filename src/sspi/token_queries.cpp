// The three queries of the token exchange: the token for the peer, and the negotiated
// attributes and maximum token size of an established context.
#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

jbyteArray GetChallengeToken(JNIEnv* env, jint handle) {
  HeldContext record = HoldSecurityContextOrThrow(env, handle);
  if (!record) return nullptr;
  return NewJavaByteArray(env, record->outputToken);
}

jint GetNegotiatedAttributes(JNIEnv* env, jint handle) {
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  return !record ? 0 : static_cast<jint>(record->negotiatedAttributes);
}

jint GetMaxTokenSize(JNIEnv* env, jint handle) {
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  return !record ? 0 : static_cast<jint>(record->sizes.cbMaxToken);
}

}  // namespace

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(JNIEnv* env, jclass,
                                                                                           jint handle) {
  return GuardedEntry(env, jbyteArray{nullptr}, [&] { return GetChallengeToken(env, handle); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetNegotiatedAttributes(JNIEnv* env, jclass,
                                                                                           jint handle) {
  return GuardedEntry(env, jint{0}, [&] { return GetNegotiatedAttributes(env, handle); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetMaxTokenSize(JNIEnv* env, jclass, jint handle) {
  return GuardedEntry(env, jint{0}, [&] { return GetMaxTokenSize(env, handle); });
}
