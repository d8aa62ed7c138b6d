// The replay check of the Kerberos acceptor: every authenticator a server accepted is refused the
// second time it comes, within the time krb5 would still accept it, in this process and in every
// other process of the host that runs as the same user.
//
// GSSAPI's own replay cache is a file that each acceptance reads and rewrites under a lock, a good
// part of a sign-on. The acceptor credential is taken with it switched off when our own check can
// stand in for it, and each accepted AP-REQ then goes through a ReplayStore instead: by default a
// table of the host in a shared mapping, with no lock and no system call on the way.
#pragma once

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <krb5/krb5.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "winhost/sspi.h"

namespace winhost::system::kerberos {

struct Context;

// What identifies an authenticator: a digest of its ciphertext, which no one can change without
// the acceptor failing to decrypt it. Equal digests are one authenticator.
using AuthenticatorDigest = std::array<uint64_t, 2>;

enum class ReplayVerdict {
  First,     // never seen: recorded, the sign-on may stand
  Replayed,  // seen before and still within its time: refuse
  NoRoom,    // the store cannot record it now: refuse, nothing may go unchecked
};

// Where accepted authenticators are kept. An implementation answers FirstUse atomically: of any
// number of callers, in any number of processes or hosts that share it, with the same digest at
// once, exactly one gets First. A store shared by the nodes behind a load balancer implements this
// and is installed with InstallReplayStore before the first server credential is taken.
class ReplayStore {
 public:
  virtual ~ReplayStore() = default;
  // Records `digest` for `keepSeconds` from `now` unless it is recorded and not yet expired.
  // Called without any lock of the library's held; must not wait long (a sign-on waits on it).
  virtual ReplayVerdict FirstUse(const AuthenticatorDigest& digest, std::time_t now, long keepSeconds) = 0;
  // What the trace calls it.
  virtual std::string Describe() const = 0;
};

// The sizes the host's table may have, in slots: a power of two from kMinReplaySlots to
// kMaxReplaySlots (8 KiB to 1 GiB of file).
constexpr uint64_t kMinReplaySlots = uint64_t{1} << 10;
constexpr uint64_t kMaxReplaySlots = uint64_t{1} << 27;
bool IsReplayTableSize(uint64_t slots);

// The store of this host: a fixed-size table in a file mapped shared, one per effective user, in
// `directory` (0600, owned by that user, never through a link), made with `slots` slots when there
// is none; one already there keeps the size it was made with, whatever `slots` says, since every
// process must see the same table. Null, with the reason in `why`, when the file cannot be used as
// it is.
std::unique_ptr<ReplayStore> OpenHostReplayStore(const std::string& directory, size_t slots, std::string& why);

// Replaces the store the acceptor uses. There is no going back to GSSAPI's own cache: credentials
// taken without it may still be in use.
void InstallReplayStore(std::shared_ptr<ReplayStore> store);

// Whether a new acceptor credential leaves replays to us (and switches GSSAPI's cache off): opens
// the host's store on first use (under KRB5RCACHEDIR, else /var/tmp, as GSSAPI's own cache), and
// notes the clock skew `krb5` allows, which sets how long an entry is kept. Requires the world lock.
bool PrepareReplayCheck(krb5_context krb5);

// Whether replays are ours now: a store is installed, and no acceptance need leave them to GSSAPI.
bool ReplayStoreInUse();

// The credential-store element that switches GSSAPI's replay cache off, for gss_acquire_cred_from.
const gss_key_value_element_desc& GssReplayCacheOff();

// After GSSAPI accepted `token` on `context` without error: refuses a token whose AP-REQ was
// accepted before (SEC_E_LOGON_DENIED, what a replay always got), and a Kerberos context that
// completes without an AP-REQ it could check. SEC_E_OK otherwise, and always while no store is
// installed (every acceptor credential then has GSSAPI's own cache).
SECURITY_STATUS CheckReplay(const gss_buffer_desc& token, Context& context, OM_uint32 major, gss_OID actual);

// The digest of the authenticator in a token of a Kerberos acceptor: a bare AP-REQ, one framed
// as a krb5 token (either OID), or one inside SPNEGO's first or later message. None when the token
// holds no AP-REQ. Exposed for tests.
std::optional<AuthenticatorDigest> AuthenticatorOf(const uint8_t* token, size_t length);

}  // namespace winhost::system::kerberos
