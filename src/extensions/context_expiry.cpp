// Extensions.GetContextExpiry: when an established context's authentication runs out (the end of
// the client's ticket for Kerberos), so that a session resting on it ends no later.
#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

// 100-nanosecond intervals between 1601-01-01, where a TimeStamp counts from, and 1970-01-01.
constexpr long long kUnixEpochIn1601 = 116444736000000000LL;
// What a package answers for a context that never expires.
constexpr long long kNeverExpires = 0x7FFFFFFFFFFFFFFFLL;

// Milliseconds since 1970, as Java counts time; Long.MAX_VALUE for a context that never expires.
jlong JavaTime(const TimeStamp& stamp) {
  const long long ticks = static_cast<long long>(stamp.QuadPart);
  if (ticks >= kNeverExpires - kUnixEpochIn1601) return kNeverExpires;
  return static_cast<jlong>((ticks - kUnixEpochIn1601) / 10000);
}

jlong GetContextExpiry(JNIEnv* env, jint handle) {
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  if (!record) return 0;
  SecPkgContext_Lifespan lifespan;
  lifespan.tsStart.QuadPart = 0;
  lifespan.tsExpiry.QuadPart = 0;
  SECURITY_STATUS status = QueryContextAttributesW(record->context, SECPKG_ATTR_LIFESPAN, &lifespan);
  if (status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return 0;
  }
  return JavaTime(lifespan.tsExpiry);
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_tarvex_pelk_quentrel_Extensions_GetContextExpiry(JNIEnv* env, jclass,
                                                                                           jint handle) {
  return GuardedEntry(env, jlong{0}, [&] { return GetContextExpiry(env, handle); });
}
