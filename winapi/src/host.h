// Shared machinery of the stand-in host: the world lock, the journal, faults and live counts.
// Each area of the host (security packages, accounts, registry, ...) keeps its own state in its
// own file and registers a reset hook here.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "winhost/control.h"
#include "winhost/base.h"

namespace winhost::detail {

// The lock behind Windows' critical sections (InitializeCriticalSectionAndSpinCount and the
// others): recursive, spinning up to the section's spin count before it sleeps. Internal to the
// host, so that its callers reach it directly rather than through the symbol table.
#define WINHOST_INTERNAL __attribute__((visibility("hidden")))
WINHOST_INTERNAL void InitializeLock(CRITICAL_SECTION& section, DWORD spinCount);
WINHOST_INTERNAL void EnterLock(CRITICAL_SECTION& section);
WINHOST_INTERNAL void LeaveLock(CRITICAL_SECTION& section);

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

// Adds a call to the journal and returns the fault armed for this function, if it fires now.
// The journal records the call whether or not it fails.
std::optional<uint32_t> Enter(Call call);

void AddLive(const std::string& kind, int delta);

// True when the machine's own services answer (see winhost::CurrentWorld). Cheap: read on every call.
bool InSystemWorld();

// Area reset hooks run by winhost::Reset(), in registration order, under the world lock.
struct ResetHook {
  explicit ResetHook(std::function<void()> hook);
};

std::string Narrow(const WCHAR* text);              // null gives ""
std::string Narrow(const WCHAR* text, size_t units);
std::u16string WideOf(const std::string& utf8);

// Makes each missing folder of an absolute `path`, parents first (mode 0755); false with errno set
// at the first that cannot be made. A part that exists already, of whatever kind, is passed over.
bool MakeFolderPath(const std::string& path);

// Heap copies that the caller releases through a Windows free function; counted as `kind`.
WCHAR* AllocWide(const std::u16string& text, const std::string& kind);
void* AllocBlock(size_t bytes, const std::string& kind);
bool FreeBlock(void* block, const std::string& kind);  // false when `block` is not live as `kind`

// The names of this computer and of the process user (shared by several areas).
ComputerNames& Names();
const std::string& ProcessUser();

}  // namespace winhost::detail
