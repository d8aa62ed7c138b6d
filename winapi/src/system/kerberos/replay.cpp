// The acceptor's replay check: which store is in use, what of a token identifies its
// authenticator, and the refusal of one seen before.
//
// An entry is kept twice the clock skew krb5 allows, and a minute more: krb5 refuses an
// authenticator whose time is more than the skew away from its own clock, so a copy that it would
// still accept comes within twice the skew of the first acceptance.
#include "system/kerberos/replay.h"

#include <profile.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "system/host/settings.h"
#include "system/host/trace.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

// The store in use. Stores are never released, so that a sign-on that read one may go on using it
// while another is installed; a process installs one or two in its life.
std::atomic<ReplayStore*> current{nullptr};
std::atomic<long> clockSkew{300};

void Keep(std::shared_ptr<ReplayStore> store) {
  static std::mutex mutex;
  static auto* kept = new std::vector<std::shared_ptr<ReplayStore>>();
  std::lock_guard<std::mutex> guard(mutex);
  kept->push_back(std::move(store));
}

// One DER element: its tag and contents. Definite lengths only, as DER and every Kerberos and
// SPNEGO encoder write them.
struct Der {
  const uint8_t* at;
  size_t left;

  bool Next(uint8_t& tag, Der& contents) {
    if (left < 2) return false;
    tag = at[0];
    size_t length = at[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t bytes = length & 0x7f;
      if (bytes == 0 || bytes > 4 || left < 2 + bytes) return false;
      length = 0;
      for (size_t i = 0; i < bytes; ++i) length = (length << 8) | at[2 + i];
      header += bytes;
    }
    if (length > left - header) return false;
    contents = Der{at + header, length};
    at += header + length;
    left -= header + length;
    return true;
  }
  // The contents of the next element, which must have `tag`.
  bool Expect(uint8_t tag, Der& contents) {
    uint8_t found = 0;
    return Next(found, contents) && found == tag;
  }
  // The contents of the context-specific field [n] of a SEQUENCE's contents.
  bool Field(uint8_t n, Der& contents) {
    Der walk = *this;
    uint8_t tag = 0;
    while (walk.Next(tag, contents))
      if (tag == (0xA0 | n)) return true;
    return false;
  }
};

const uint8_t kKrb5Oid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
const uint8_t kKrb5WrongOid[] = {0x2a, 0x86, 0x48, 0x82, 0xf7, 0x12, 0x01, 0x02, 0x02};
const uint8_t kSpnegoOid[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};

template <size_t N>
bool Is(const Der& oid, const uint8_t (&value)[N]) {
  return oid.left == N && std::memcmp(oid.at, value, N) == 0;
}

// Not a secret and not a defence against forgery (no one can change a ciphertext the acceptor
// took): a well-mixed 128 bits, so that two authenticators' entries never meet by chance.
AuthenticatorDigest Mix(const uint8_t* bytes, size_t length) {
  uint64_t a = 0x9E3779B97F4A7C15ULL ^ length, b = 0xC2B2AE3D27D4EB4FULL + length;
  auto finish = [](uint64_t x) {
    x ^= x >> 31;
    x *= 0x7FB5D329728EA185ULL;
    x ^= x >> 27;
    x *= 0x81DADEF4BC2DD44DULL;
    return x ^ (x >> 33);
  };
  for (size_t i = 0; i < length; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes + i, length - i < 8 ? length - i : 8);
    a = finish(a ^ word);
    b = finish(b + (word ^ (a << 1)));
  }
  return AuthenticatorDigest{finish(a ^ (b >> 7)), finish(b ^ a)};
}

// AP-REQ ::= [APPLICATION 14] SEQUENCE { ..., authenticator [4] EncryptedData }, and
// EncryptedData ::= SEQUENCE { etype [0], kvno [1] OPTIONAL, cipher [2] OCTET STRING }.
std::optional<AuthenticatorDigest> ApReq(Der token) {
  Der request, sequence, authenticator, encrypted, field, cipher;
  if (!token.Expect(0x6E, request) || !request.Expect(0x30, sequence) || !sequence.Field(4, authenticator) ||
      !authenticator.Expect(0x30, encrypted) || !encrypted.Field(2, field) || !field.Expect(0x04, cipher))
    return std::nullopt;
  return Mix(cipher.at, cipher.left);
}

std::optional<AuthenticatorDigest> Find(Der token, bool underSpnego);

// The mechanism token of SPNEGO's NegTokenInit ([0]) or NegTokenResp ([1]): field [2] of either.
std::optional<AuthenticatorDigest> SpnegoToken(Der choice) {
  Der sequence, field, inner;
  if (!choice.Expect(0x30, sequence) || !sequence.Field(2, field) || !field.Expect(0x04, inner)) return std::nullopt;
  return Find(inner, true);
}

std::optional<AuthenticatorDigest> Find(Der token, bool underSpnego) {
  if (token.left == 0) return std::nullopt;
  if (token.at[0] == 0x6E) return ApReq(token);
  if (token.at[0] == 0xA1 && !underSpnego) {
    Der response;
    return token.Expect(0xA1, response) ? SpnegoToken(response) : std::nullopt;
  }
  // A framed token: [APPLICATION 0] { mechanism OID, the mechanism's token }.
  Der framed, oid;
  if (!token.Expect(0x60, framed) || !framed.Expect(0x06, oid)) return std::nullopt;
  if (Is(oid, kKrb5Oid) || Is(oid, kKrb5WrongOid)) {
    // krb5's two-byte token id: 01 00 is an AP-REQ.
    if (framed.left < 2 || framed.at[0] != 0x01 || framed.at[1] != 0x00) return std::nullopt;
    return ApReq(Der{framed.at + 2, framed.left - 2});
  }
  Der init;
  if (Is(oid, kSpnegoOid) && !underSpnego && framed.Expect(0xA0, init)) return SpnegoToken(init);
  return std::nullopt;
}

long SkewOf(krb5_context krb5) {
  int skew = 300;
  profile_t profile = nullptr;
  if (krb5 != nullptr && krb5_get_profile(krb5, &profile) == 0) {
    profile_get_integer(profile, "libdefaults", "clockskew", nullptr, 300, &skew);
    profile_release(profile);
  }
  return skew > 0 ? skew : 300;
}

}  // namespace

std::optional<AuthenticatorDigest> AuthenticatorOf(const uint8_t* token, size_t length) {
  if (token == nullptr) return std::nullopt;
  return Find(Der{token, length}, false);
}

void InstallReplayStore(std::shared_ptr<ReplayStore> store) {
  if (!store) return;  // once replays are ours, they stay ours: credentials without GSSAPI's cache may be out
  current.store(store.get());
  Keep(std::move(store));
}

// The size a table made now is given: QUENTREL_REPLAY_SLOTS, or its default when it names no size
// a table may have (and the trace says so).
size_t AskedSlots() {
  const size_t fallback = std::strtoull(host::SettingOf(host::SettingId::kReplaySlots).fallback, nullptr, 10);
  const std::optional<std::string> given = host::GivenSetting(host::SettingId::kReplaySlots);
  if (!given) return fallback;
  const std::optional<long long> slots = host::CountSetting(host::SettingId::kReplaySlots);
  if (slots && IsReplayTableSize(static_cast<uint64_t>(*slots))) return static_cast<size_t>(*slots);
  host::Trace("QUENTREL_REPLAY_SLOTS=" + *given + " is no power of two from " + std::to_string(kMinReplaySlots) +
              " to " + std::to_string(kMaxReplaySlots) + "; a table made now has " + std::to_string(fallback) + " slots");
  return fallback;
}

bool PrepareReplayCheck(krb5_context krb5) {
  clockSkew.store(SkewOf(krb5));
  if (current.load() != nullptr) return true;
  // A table that cannot be used now is tried again a minute later; GSSAPI's cache serves meanwhile.
  // One caller at a time makes the attempt: the others find its stamp and go on with GSSAPI's.
  static std::atomic<std::time_t> tried{0};
  const std::time_t now = std::time(nullptr);
  std::time_t last = tried.load();
  if ((last != 0 && now - last < 60) || !tried.compare_exchange_strong(last, now)) return current.load() != nullptr;
  std::string why;
  std::unique_ptr<ReplayStore> store =
      OpenHostReplayStore(host::TextSetting(host::SettingId::kKrb5ReplayFolder), AskedSlots(), why);
  if (!store) {
    host::Trace("the host's replay table cannot be used: " + why + "; GSSAPI's own replay cache checks instead");
    return false;
  }
  InstallReplayStore(std::move(store));
  return true;
}

const gss_key_value_element_desc& GssReplayCacheOff() {
  static const gss_key_value_element_desc element = {"rcache", "none:"};
  return element;
}

SECURITY_STATUS CheckReplay(const gss_buffer_desc& token, Context& context, OM_uint32 major, gss_OID actual) {
  ReplayStore* store = current.load();
  // Without a store every acceptor credential has GSSAPI's cache; NTLM has no authenticator.
  if (store == nullptr || context.mechanism->package == "NTLM") return SEC_E_OK;
  const std::optional<AuthenticatorDigest> digest = AuthenticatorOf(static_cast<const uint8_t*>(token.value), token.length);
  if (digest) {
    const long keep = 2 * clockSkew.load() + 60;
    switch (store->FirstUse(*digest, std::time(nullptr), keep)) {
      case ReplayVerdict::First:
        context.authenticatorChecked = true;
        return SEC_E_OK;
      case ReplayVerdict::Replayed:
        TraceRefusal("an authenticator", "accepted before: a replay");
        return SEC_E_LOGON_DENIED;
      case ReplayVerdict::NoRoom:
        TraceRefusal("an authenticator", (store->Describe() + " has no room for it now").c_str());
        return SEC_E_LOGON_DENIED;
    }
  }
  const bool kerberos = IsKerberos(actual) || IsKerberos(context.actual) || IsKerberos(context.mechanism->oid);
  if (major == GSS_S_COMPLETE && kerberos && !context.authenticatorChecked) {
    TraceRefusal("a Kerberos token", "it holds no AP-REQ whose authenticator could be checked for a replay");
    return SEC_E_LOGON_DENIED;
  }
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
