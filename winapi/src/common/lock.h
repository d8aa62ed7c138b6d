// The lock of the stand-in host: the one behind Windows' critical sections, and the host's own,
// which every area takes while it reads or changes its state.
#pragma once

#include <mutex>

#include "winhost/base.h"

// Internal to the host, so that its callers reach it directly rather than through the symbol table.
#define WINHOST_INTERNAL __attribute__((visibility("hidden")))

namespace winhost::common {

// The lock behind Windows' critical sections (InitializeCriticalSectionAndSpinCount and the
// others): recursive, spinning up to the section's spin count before it sleeps.
WINHOST_INTERNAL void InitializeLock(CRITICAL_SECTION& section, DWORD spinCount);
WINHOST_INTERNAL void EnterLock(CRITICAL_SECTION& section);
WINHOST_INTERNAL void LeaveLock(CRITICAL_SECTION& section);

// The lock behind Windows' slim reader/writer locks, taken exclusively: the same spin and sleep,
// without an owner or a count, as these locks are not recursive.
WINHOST_INTERNAL void EnterSlimLock(SRWLOCK& lock);
WINHOST_INTERNAL void LeaveSlimLock(SRWLOCK& lock);

// How long a thread waiting for the host's own lock spins before it sleeps: about as long as the
// longest call made under it on a small message, so that threads taking turns rarely sleep.
constexpr DWORD kHostLockSpinCount = 1000;

// The same lock for the host's own use, with the interface std::lock_guard expects.
class HostLock {
 public:
  HostLock();
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;
  void lock() { EnterLock(section_); }
  void unlock() { LeaveLock(section_); }

 private:
  CRITICAL_SECTION section_;
};

// One lock for the whole host: the library serialises its own calls, but tests and several
// Java threads may reach the host at once.
HostLock& WorldMutex();
using WorldGuard = std::lock_guard<HostLock>;
// For a function that lets the lock go before it waits on the machine's services.
using WorldLock = std::unique_lock<HostLock>;

}  // namespace winhost::common
