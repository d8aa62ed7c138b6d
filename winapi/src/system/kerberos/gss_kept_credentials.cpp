// The acceptor credentials that server contexts share. Acquiring one costs GSSAPI a krb5 context,
// a read of the Kerberos configuration and of the keytab, and under Negotiate a second acquisition
// for the check that krb5 has keys: more than the acceptance it serves. A server makes one per
// client, so the package keeps what it acquired, with the policy and realms it prepared for it,
// and hands them to the next server that asks under the same conditions:
//
// - the default keytab is the same file (name, device, inode) with the same size and modification
//   time, so that a keytab that is rotated, rewritten, emptied or removed is acquired afresh and
//   fails or succeeds as a fresh acquisition would;
// - the calling thread acts as the same user with the same groups, so that a thread acting as a
//   client that may not read the keytab gets no credential through another's;
// - the Kerberos configuration's files and the settings the policy and realms come from are what
//   they were, since the kept credential holds the keys of the principals the policy accepts
//   (gss_acceptor_keys.cpp).
//
// GSSAPI lets one acceptance at a time use an acceptor credential (MIT holds the credential's lock
// across the ticket's decryption), so one credential for all would make every sign-on of the
// process wait for the one before. The package keeps a few alike instead, up to twice the
// processors, and gives a new server the one fewest servers hold; one more is acquired only when
// every one is held.
//
// A keytab that is not a file (MEMORY:, KEYRING:, a name krb5 cannot give) is never kept for. A
// credential of the policy's keys holds a copy of them taken when it was acquired; every server
// context acquires its credential afresh, and a keytab that changed meanwhile gives it a new copy,
// so keeping it changes when GSSAPI looks, never what it accepts.
#include <krb5/krb5.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "system/host/settings.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/krb5_config.h"

namespace winhost::system::kerberos {
namespace {

// What a kept credential was acquired under.
struct Conditions {
  std::string keytab;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {0, 0};
  uid_t user = 0;
  gid_t group = 0;
  std::vector<gid_t> groups;
  unsigned long configuration = 0;
  std::optional<std::string> accepted;
  std::optional<std::string> realmDomains;

  bool operator==(const Conditions& other) const {
    return keytab == other.keytab && device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           user == other.user && group == other.group && groups == other.groups &&
           configuration == other.configuration && accepted == other.accepted && realmDomains == other.realmDomains;
  }
};

struct Kept {
  const Mechanism* mechanism;
  Conditions conditions;
  AcceptorPolicy acceptors;
  RealmDomains realms;
  // Alike credentials of the policy's keys (else of the whole keytab), one per acceptance at once.
  std::vector<SharedCredential> alike;
  SharedCredential whole;
  std::string keys;
  OM_uint32 lifetime;
};

std::vector<Kept>& KeptCredentials() {
  static auto* kept = new std::vector<Kept>();
  return *kept;
}

// The conditions the calling thread acquires under now; false when they cannot all be read.
bool CurrentConditions(Conditions& now) {
  krb5_context context = SharedKrb5();
  now.configuration = SharedKrb5Generation();
  now.accepted = host::RawSetting(host::SettingId::kAcceptPrincipals);
  now.realmDomains = host::RawSetting(host::SettingId::kRealmDomains);
  now.keytab = KeytabFile(context);
  struct stat status;
  if (now.keytab.empty() || stat(now.keytab.c_str(), &status) != 0) return false;
  now.device = status.st_dev;
  now.inode = status.st_ino;
  now.size = status.st_size;
  now.modified = status.st_mtim;
  // The kernel's ids of this thread alone: a thread acting as a client has ids of its own.
  uid_t ruid, suid;
  gid_t rgid, sgid;
  if (syscall(SYS_getresuid, &ruid, &now.user, &suid) != 0 || syscall(SYS_getresgid, &rgid, &now.group, &sgid) != 0)
    return false;
  // Most threads have a few groups: asked once into room for many, a second time only for more.
  gid_t room[64];
  long count = syscall(SYS_getgroups, 64, room);
  if (count >= 0) {
    now.groups.assign(room, room + count);
    return true;
  }
  count = syscall(SYS_getgroups, 0, nullptr);
  if (count < 0) return false;
  now.groups.resize(static_cast<size_t>(count));
  return syscall(SYS_getgroups, static_cast<int>(count), now.groups.data()) == count;
}

size_t MostAlike() {
  static const size_t most = std::clamp<size_t>(2 * std::max(1u, std::thread::hardware_concurrency()), 2, 64);
  return most;
}

// The credential of `kept` that the fewest server handles hold: one that none holds, else a new
// one while there are fewer than MostAlike(), else the least held.
SharedCredential LeastHeld(Kept& kept, const AcquireFunction& acquire) {
  const SharedCredential* least = nullptr;
  for (const SharedCredential& cred : kept.alike) {
    if (cred.use_count() == 1) return cred;
    if (least == nullptr || cred.use_count() < least->use_count()) least = &cred;
  }
  GssCredential fresh;
  OM_uint32 ignored = 0;
  if (kept.alike.size() < MostAlike() && acquire(kept.keys, fresh, ignored) == SEC_E_OK) {
    kept.alike.push_back(Share(std::move(fresh)));
    return kept.alike.back();
  }
  return *least;
}

}  // namespace

SECURITY_STATUS SharedAcceptor(Credential& made, bool keysByPolicy, const AcquireFunction& acquire,
                               OM_uint32& lifetime) {
  // Read before the acquisition: a keytab that changes meanwhile differs from them next time.
  Conditions now;
  const bool known = CurrentConditions(now);
  auto& kept = KeptCredentials();
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if (it->mechanism != made.mechanism) continue;
    if (known && it->conditions == now) {
      made.acceptors = it->acceptors;
      made.realms = it->realms;
      made.cred = LeastHeld(*it, acquire);
      made.whole = it->whole;
      made.keys = it->keys;
      lifetime = it->lifetime;
      return SEC_E_OK;
    }
    // Acquired under other conditions: no server takes it any more; those that hold it keep it.
    kept.erase(it);
    break;
  }
  PrepareAcceptor(made);
  // What a server lets in is fixed when it takes its credential, and chooses the keys it holds.
  const AcceptorPolicy policy = keysByPolicy ? made.acceptors : AcceptorPolicy{};
  GssCredential cred;
  if (SECURITY_STATUS status = acquire(std::string(), cred, lifetime); status != SEC_E_OK) return status;
  made.cred = Share(std::move(cred));
  made.whole = nullptr;
  made.keys.clear();
  // Where the policy's keys cannot be had on their own, the whole credential serves, checked after
  // each acceptance as before.
  const AllowedKeys allowed(SharedKrb5(), policy);
  OM_uint32 ignored = 0;
  if (!allowed.Name().empty() && acquire(allowed.Name(), cred, ignored) == SEC_E_OK) {
    made.whole = std::move(made.cred);
    made.cred = Share(std::move(cred));
    made.keys = allowed.Name();
  }
  if (known)
    kept.push_back(Kept{made.mechanism, std::move(now), made.acceptors, made.realms, {made.cred}, made.whole,
                        made.keys, lifetime});
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
