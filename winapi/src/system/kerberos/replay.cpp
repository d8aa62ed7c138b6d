// The acceptor's replay check: which store is in use, what of a token identifies its
// authenticator, and the refusal of one seen before.
//
// An entry is kept twice the clock skew krb5 allows, and a minute more: krb5 refuses an
// authenticator whose time is more than the skew away from its own clock, so a copy that it would
// still accept comes within twice the skew of the first acceptance.
#include "system/kerberos/replay.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "system/host/settings.h"
#include "system/host/trace.h"
#include "system/kerberos/ap_request.h"
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

}  // namespace

std::optional<AuthenticatorDigest> AuthenticatorOf(const uint8_t* token, size_t length) {
  const std::optional<Der> request = FindApReq(token, length);
  return request ? ApReq(*request) : std::nullopt;
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

bool ReplayStoreInUse() { return current.load() != nullptr; }

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
