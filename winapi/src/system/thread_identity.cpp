// Per-thread identity switches by raw system calls (see thread_identity.h).
#include "system/thread_identity.h"

#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace winhost::system {
namespace {

// What the calling thread is now, read from the kernel for this thread alone.
std::optional<UnixIdentity> Current() {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (syscall(SYS_getresuid, &ruid, &euid, &suid) != 0 || syscall(SYS_getresgid, &rgid, &egid, &sgid) != 0)
    return std::nullopt;
  long count = syscall(SYS_getgroups, 0, nullptr);
  if (count < 0) return std::nullopt;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = syscall(SYS_getgroups, static_cast<int>(groups.size()), groups.data());
  if (count < 0) return std::nullopt;
  groups.resize(static_cast<size_t>(count));
  return UnixIdentity{euid, egid, groups};
}

bool SameGroups(std::vector<gid_t> a, std::vector<gid_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  a.erase(std::unique(a.begin(), a.end()), a.end());
  b.erase(std::unique(b.begin(), b.end()), b.end());
  return a == b;
}

int Fail() { return errno != 0 ? errno : EPERM; }

// Sets the thread's effective ids: groups first, while it may still, the user last. Undoes what
// it did when a step is refused.
int Apply(const UnixIdentity& from, const UnixIdentity& to) {
  // Changing the group list takes a privilege even to set it to itself: an unchanged list is left.
  const bool groupsChange = !SameGroups(from.groups, to.groups);
  if (groupsChange && syscall(SYS_setgroups, to.groups.size(), to.groups.data()) != 0) return Fail();
  if (syscall(SYS_setresgid, -1, to.gid, -1) != 0) {
    const int error = Fail();
    if (groupsChange) syscall(SYS_setgroups, from.groups.size(), from.groups.data());
    return error;
  }
  if (syscall(SYS_setresuid, -1, to.uid, -1) != 0) {
    const int error = Fail();
    syscall(SYS_setresgid, -1, from.gid, -1);
    if (groupsChange) syscall(SYS_setgroups, from.groups.size(), from.groups.data());
    return error;
  }
  return 0;
}

// The thread's own identity, kept from before its first switch.
thread_local std::optional<UnixIdentity> self;

}  // namespace

int ActAs(const UnixIdentity& who) {
  std::optional<UnixIdentity> now = Current();
  if (!now) return Fail();
  if (!self) self = now;
  // From another identity, come back first: only the process's own may take a third.
  if (now->uid != self->uid) {
    if (int error = ActAsSelf(); error != 0) return error;
    now = self;
  }
  return Apply(*now, who);
}

int ActAsSelf() {
  if (!self) return 0;
  std::optional<UnixIdentity> now = Current();
  if (!now) return Fail();
  // The user first, which gives back the right to set the groups.
  if (now->uid != self->uid && syscall(SYS_setresuid, -1, self->uid, -1) != 0) return Fail();
  now->uid = self->uid;
  return Apply(*now, *self);
}

}  // namespace winhost::system
