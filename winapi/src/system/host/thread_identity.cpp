// Per-thread identity switches by raw system calls (see thread_identity.h).
#include "system/host/thread_identity.h"

#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>

namespace winhost::system::host {
namespace {

// Every id the kernel keeps for the calling thread.
struct KernelIds {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  std::vector<gid_t> groups;

  UnixIdentity Effective() const { return UnixIdentity{euid, egid, groups}; }
};

std::optional<KernelIds> Current() {
  KernelIds ids;
  if (syscall(SYS_getresuid, &ids.ruid, &ids.euid, &ids.suid) != 0 ||
      syscall(SYS_getresgid, &ids.rgid, &ids.egid, &ids.sgid) != 0)
    return std::nullopt;
  long count = syscall(SYS_getgroups, 0, nullptr);
  if (count < 0) return std::nullopt;
  ids.groups.resize(static_cast<size_t>(count));
  count = syscall(SYS_getgroups, static_cast<int>(ids.groups.size()), ids.groups.data());
  if (count < 0) return std::nullopt;
  ids.groups.resize(static_cast<size_t>(count));
  return ids;
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
// it did when a step is refused. `groupsChange` is computed beforehand, as changing the group
// list takes a privilege even to set it to itself. Makes system calls only: it allocates nothing.
int Apply(const UnixIdentity& from, const UnixIdentity& to, bool groupsChange) {
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

// From another identity back to `self`: the user first, which gives back the right to set the
// groups. System calls only.
int Restore(const UnixIdentity& self, bool groupsChange) {
  if (syscall(SYS_setresuid, -1, self.uid, -1) != 0) return Fail();
  if (groupsChange && syscall(SYS_setgroups, self.groups.size(), self.groups.data()) != 0) return Fail();
  if (syscall(SYS_setresgid, -1, self.gid, -1) != 0) return Fail();
  return 0;
}

// What the library knows of the calling thread.
struct ThreadState {
  bool settled = false;
  std::optional<UnixIdentity> self;  // its own identity
  bool acting = false;               // acting as another through ActAs now
  bool groupsChanged = false;        // whether that other's groups are not its own
};
thread_local ThreadState thread;

// The process's identity, from the first thread the library met: what a thread born of an
// impersonating one goes back to.
std::mutex processMutex;
std::optional<KernelIds> process;

// Whether a thread with `now` was started by a thread that was acting as another: the kernel gave
// it its creator's ids, whose real and saved ones are the process's and effective ones are not.
bool BornImpersonating(const KernelIds& now, const KernelIds& own) {
  return now.ruid == own.ruid && now.suid == own.suid && now.rgid == own.rgid && now.sgid == own.sgid &&
         (now.euid != own.euid || now.egid != own.egid || !SameGroups(now.groups, own.groups));
}

}  // namespace

void SettleThreadIdentity() {
  if (thread.settled) return;
  const std::optional<KernelIds> now = Current();
  if (!now) return;  // asked again at the next call
  std::optional<KernelIds> own;
  {
    std::lock_guard<std::mutex> guard(processMutex);
    if (!process) process = now;
    own = process;
  }
  if (BornImpersonating(*now, *own)) {
    const UnixIdentity self = own->Effective();
    if (Restore(self, !SameGroups(now->groups, self.groups)) != 0) return;  // asked again at the next call
    thread.self = self;
  } else {
    thread.self = now->Effective();
  }
  thread.settled = true;
}

int ActAs(const UnixIdentity& who) {
  SettleThreadIdentity();
  if (!thread.settled) return Fail();
  // Everything is worked out before the first switch: from then on only system calls are made.
  const bool groupsChange = !SameGroups(thread.self->groups, who.groups);
  // From another identity, come back first: only the thread's own may take a third.
  if (int error = ActAsSelf(); error != 0) return error;
  const int error = Apply(*thread.self, who, groupsChange);
  if (error != 0) return error;
  thread.acting = true;
  thread.groupsChanged = groupsChange;
  return 0;
}

int ActAsSelf() {
  if (!thread.acting) return 0;
  if (int error = Restore(*thread.self, thread.groupsChanged); error != 0) return error;
  thread.acting = false;
  return 0;
}

}  // namespace winhost::system::host
