// The acceptor credentials that server contexts share. Acquiring one costs GSSAPI a krb5 context,
// a read of the Kerberos configuration and of the keytab, and under Negotiate a second acquisition
// for the check that krb5 has keys: more than the acceptance it serves. A server makes one per
// client, so the package keeps the credential it acquired and hands it to the next server that
// asks under the same conditions:
//
// - the default keytab is the same file (name, device, inode) with the same size and modification
//   time, so that a keytab that is rotated, rewritten, emptied or removed is acquired afresh and
//   fails or succeeds as a fresh acquisition would;
// - the calling thread acts as the same user with the same groups, so that a thread acting as a
//   client that may not read the keytab gets no credential through another's.
//
// - the server's acceptor policy is the same, since the kept credential holds the keys of the
//   principals it accepts (gss_acceptor_keys.cpp).
//
// A keytab that is not a file (MEMORY:, KEYRING:, a name krb5 cannot give) is never kept for. A
// credential of the policy's keys holds a copy of them taken when it was acquired; every server
// context acquires its credential afresh, and a keytab that changed meanwhile gives it a new copy,
// so keeping it changes when GSSAPI looks, never what it accepts.
#include <krb5/krb5.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "system/kerberos/gss_host.h"

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

  bool operator==(const Conditions& other) const {
    return keytab == other.keytab && device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           user == other.user && group == other.group && groups == other.groups;
  }
};

struct Kept {
  const Mechanism* mechanism;
  AcceptorPolicy policy;
  Conditions conditions;
  SharedCredential cred;
  SharedCredential whole;
  std::string keys;
  OM_uint32 lifetime;
};

bool SamePolicy(const AcceptorPolicy& a, const AcceptorPolicy& b) {
  return a.kind == b.kind && a.service == b.service && a.principals == b.principals;
}

std::vector<Kept>& KeptCredentials() {
  static auto* kept = new std::vector<Kept>();
  return *kept;
}

// The conditions the calling thread acquires under now; false when they cannot all be read.
bool CurrentConditions(Conditions& now) {
  now.keytab = KeytabFile(SharedKrb5());
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
  const long count = syscall(SYS_getgroups, 0, nullptr);
  if (count < 0) return false;
  now.groups.resize(static_cast<size_t>(count));
  if (syscall(SYS_getgroups, static_cast<int>(count), now.groups.data()) != count) return false;
  return true;
}

}  // namespace

SECURITY_STATUS SharedAcceptor(const Mechanism* mechanism, const AcceptorPolicy& policy, const AcquireFunction& acquire,
                               SharedCredential& shared, SharedCredential& whole, std::string& keys,
                               OM_uint32& lifetime) {
  // Read before the acquisition: a keytab that changes meanwhile differs from them next time.
  Conditions now;
  const bool known = CurrentConditions(now);
  auto& kept = KeptCredentials();
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if (it->mechanism != mechanism) continue;
    if (known && SamePolicy(it->policy, policy) && it->conditions == now) {
      shared = it->cred;
      whole = it->whole;
      keys = it->keys;
      lifetime = it->lifetime;
      return SEC_E_OK;
    }
    // Acquired under other conditions: no server takes it any more; those that hold it keep it.
    kept.erase(it);
    break;
  }
  GssCredential cred;
  if (SECURITY_STATUS status = acquire(std::string(), cred, lifetime); status != SEC_E_OK) return status;
  shared = Share(std::move(cred));
  whole = nullptr;
  keys.clear();
  // Where the policy's keys cannot be had on their own, the whole credential serves, checked after
  // each acceptance as before.
  const AllowedKeys allowed(SharedKrb5(), policy);
  OM_uint32 ignored = 0;
  if (!allowed.Name().empty() && acquire(allowed.Name(), cred, ignored) == SEC_E_OK) {
    whole = std::move(shared);
    shared = Share(std::move(cred));
    keys = allowed.Name();
  }
  if (known) kept.push_back(Kept{mechanism, policy, std::move(now), shared, whole, keys, lifetime});
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
