// The host core: world lock, journal, faults, live counts, kernel32 basics.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host.h"
#include "system/accounts.h"
#include "system/names.h"
#include "system/thread_identity.h"

namespace winhost {
namespace detail {
namespace {

struct Fault {
  uint32_t code;
  int skip;
  bool persistent;
};

struct Core {
  std::vector<Call> journal;
  std::map<std::string, Fault> faults;
  std::map<std::string, int> live;
  std::map<void*, std::string> blocks;  // live heap blocks handed out, by kind
  std::vector<std::function<void()>> resetHooks;
  ComputerNames names;
};

ComputerNames DefaultNames() { return ComputerNames{"WINHOST", "winhost", "example.test"}; }

Core& TheCore() {
  static Core* core = [] {
    auto* created = new Core();
    created->names = DefaultNames();
    return created;
  }();  // never destroyed: the library may call in during unload
  return *core;
}

thread_local DWORD lastError = 0;

// The world, chosen from the environment on first use; a test may select another.
World WorldFromEnvironment() {
  const char* named = std::getenv("QUENTREL_WORLD");
  return named != nullptr && std::strcmp(named, "simulated") == 0 ? World::Simulated : World::System;
}

std::atomic<World>& TheWorld() {
  static std::atomic<World> world{WorldFromEnvironment()};
  return world;
}

}  // namespace

bool InSystemWorld() { return TheWorld().load(std::memory_order_relaxed) == World::System; }

// ---- locks ----------------------------------------------------------------------------------
//
// A critical section as Windows keeps one: taken with one compare-and-swap when free; a waiter
// spins up to its spin count pauses, watching the lock word without writing it, and only then sleeps on
// the word (a futex), marking it so that the holder wakes one sleeper on leaving. The owner may
// enter again. Spinning first matters on contention: a lock held for a short while changes hands
// far sooner than a sleeping thread can be woken, and a holder that finds no sleeper leaves
// without a system call.

namespace {

enum : LONG { kLockFree = 0, kLockHeld = 1, kLockHeldWithSleepers = 2 };

// A spinning waiter looks at the lock this seldom. Taking a lock that another processor used last
// moves the lock and what it guards between the processors' caches, which costs more than a short
// call under the lock; a waiter that looked after every pause would take the lock in each gap
// between its holder's calls, and two threads would then pay that move on every call. Looking
// seldom lets the holder run a stretch of calls between hand-overs, while a waiter still finds a
// lock freed after a long call within about ten microseconds.
constexpr ULONG_PTR kPausesBetweenLooks = 256;

// Windows keeps the top byte of a spin count for flags of its own.
constexpr DWORD kSpinCountMask = 0x00FFFFFF;

HANDLE ThisThread() { return reinterpret_cast<HANDLE>(pthread_self()); }

void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

bool TryTake(LONG* word) {
  LONG expected = kLockFree;
  return __atomic_compare_exchange_n(word, &expected, kLockHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void Futex(LONG* word, int operation, LONG value) {
  syscall(SYS_futex, word, operation, value, nullptr, nullptr, 0);
}

}  // namespace

void InitializeLock(CRITICAL_SECTION& section, DWORD spinCount) {
  section.LockCount = kLockFree;
  section.RecursionCount = 0;
  section.OwningThread = nullptr;
  // Spinning waits for another processor to leave the lock; with one there is none.
  section.SpinCount = std::thread::hardware_concurrency() > 1 ? (spinCount & kSpinCountMask) : 0;
}

namespace {

// The wait of a thread that found the lock held: spin, then sleep until it is free.
__attribute__((noinline)) void WaitForLock(CRITICAL_SECTION& section) {
  for (ULONG_PTR spun = 0; spun < section.SpinCount; spun += kPausesBetweenLooks) {
    for (ULONG_PTR pause = 0; pause < kPausesBetweenLooks; ++pause) SpinPause();
    if (__atomic_load_n(&section.LockCount, __ATOMIC_RELAXED) == kLockFree && TryTake(&section.LockCount)) return;
  }
  // Whoever takes the lock this way cannot know whether others still sleep, so it keeps the mark;
  // at worst its leaving wakes no one.
  while (__atomic_exchange_n(&section.LockCount, kLockHeldWithSleepers, __ATOMIC_ACQUIRE) != kLockFree)
    Futex(&section.LockCount, FUTEX_WAIT_PRIVATE, kLockHeldWithSleepers);
}

}  // namespace

void EnterLock(CRITICAL_SECTION& section) {
  const HANDLE self = ThisThread();
  // Only this thread ever stores its own identity here, so a stale value can't be mistaken for it.
  if (__atomic_load_n(&section.OwningThread, __ATOMIC_RELAXED) == self) {
    ++section.RecursionCount;
    return;
  }
  if (!TryTake(&section.LockCount)) WaitForLock(section);
  __atomic_store_n(&section.OwningThread, self, __ATOMIC_RELAXED);
  section.RecursionCount = 1;
}

void LeaveLock(CRITICAL_SECTION& section) {
  if (--section.RecursionCount > 0) return;
  __atomic_store_n(&section.OwningThread, nullptr, __ATOMIC_RELAXED);
  if (__atomic_exchange_n(&section.LockCount, kLockFree, __ATOMIC_RELEASE) == kLockHeldWithSleepers)
    Futex(&section.LockCount, FUTEX_WAKE_PRIVATE, 1);
}

HostLock::HostLock() { InitializeLock(section_, kHostLockSpinCount); }

HostLock& WorldMutex() {
  static HostLock* lock = new HostLock();
  return *lock;
}

// A server runs on the system world for months: there the journal keeps only the most recent
// calls, dropping the older half at once when it is full so that each call costs the same.
constexpr size_t kSystemJournalLimit = 20000;

std::optional<uint32_t> Enter(Call call) {
  // A thread's first call: one started by a thread that acted as a client is put back first.
  if (InSystemWorld()) SettleThreadIdentity();
  WorldGuard guard(WorldMutex());
  Core& core = TheCore();
  std::string function = call.function;
  if (InSystemWorld() && core.journal.size() >= kSystemJournalLimit)
    core.journal.erase(core.journal.begin(), core.journal.begin() + kSystemJournalLimit / 2);
  core.journal.push_back(std::move(call));
  auto it = core.faults.find(function);
  if (it == core.faults.end()) return std::nullopt;
  if (it->second.skip > 0) {
    --it->second.skip;
    return std::nullopt;
  }
  uint32_t code = it->second.code;
  if (!it->second.persistent) core.faults.erase(it);
  return code;
}

void AddLive(const std::string& kind, int delta) {
  WorldGuard guard(WorldMutex());
  TheCore().live[kind] += delta;
}

ResetHook::ResetHook(std::function<void()> hook) {
  WorldGuard guard(WorldMutex());
  TheCore().resetHooks.push_back(std::move(hook));
}

std::string Narrow(const WCHAR* text) {
  if (text == nullptr) return std::string();
  size_t n = 0;
  while (text[n] != 0) ++n;
  return Narrow(text, n);
}

std::string Narrow(const WCHAR* text, size_t units) {
  return winhost::Narrow(std::u16string(text, units));
}

std::u16string WideOf(const std::string& utf8) { return winhost::Wide(utf8); }

void* AllocBlock(size_t bytes, const std::string& kind) {
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block == nullptr) return nullptr;
  WorldGuard guard(WorldMutex());
  TheCore().blocks[block] = kind;
  TheCore().live[kind] += 1;
  return block;
}

WCHAR* AllocWide(const std::u16string& text, const std::string& kind) {
  auto* out = static_cast<WCHAR*>(AllocBlock((text.size() + 1) * sizeof(WCHAR), kind));
  if (out != nullptr) std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
  return out;
}

bool FreeBlock(void* block, const std::string& kind) {
  WorldGuard guard(WorldMutex());
  auto it = TheCore().blocks.find(block);
  if (it == TheCore().blocks.end() || it->second != kind) return false;
  TheCore().blocks.erase(it);
  TheCore().live[kind] -= 1;
  std::free(block);
  return true;
}

ComputerNames& Names() { return TheCore().names; }

const std::string& ProcessUser() {
  static const std::string user = "appuser";
  return user;
}

}  // namespace detail

using namespace detail;

World CurrentWorld() { return TheWorld().load(); }

void SelectWorld(World world) { TheWorld().store(world); }

void Reset() {
  WorldGuard guard(WorldMutex());
  Core& core = TheCore();
  core.journal.clear();
  core.faults.clear();
  core.names = DefaultNames();
  for (auto& hook : core.resetHooks) hook();
}

ComputerNames GetComputerNames() {
  WorldGuard guard(WorldMutex());
  return TheCore().names;
}

void SetComputerNames(const ComputerNames& names) {
  WorldGuard guard(WorldMutex());
  TheCore().names = names;
}

// In the system world the process user is the real one, so that the security packages that still
// stand in for the machine's authenticate the account the process runs as.
std::string ProcessUserName() {
  if (!InSystemWorld()) return ProcessUser();
  SystemAccount account = SystemProcessUser();
  return winhost::Narrow(account.name);
}

std::string ProcessUserQualifiedName() {
  if (InSystemWorld()) return winhost::Narrow(SystemProcessUser().QualifiedName());
  WorldGuard guard(WorldMutex());
  return TheCore().names.netbios + "\\" + ProcessUser();
}

void Fail(const std::string& function, uint32_t code, int skip, bool persistent) {
  WorldGuard guard(WorldMutex());
  TheCore().faults[function] = Fault{code, skip, persistent};
}

void ClearFaults() {
  WorldGuard guard(WorldMutex());
  TheCore().faults.clear();
}

std::string Call::Arg(const std::string& name) const {
  for (const auto& [key, value] : args)
    if (key == name) return value;
  return "<absent>";
}

std::string Call::ToString() const {
  std::ostringstream out;
  out << function << "(";
  for (size_t i = 0; i < args.size(); ++i) out << (i ? ", " : "") << args[i].first << "=" << args[i].second;
  out << ")";
  return out.str();
}

std::vector<Call> Journal() {
  WorldGuard guard(WorldMutex());
  return TheCore().journal;
}

std::vector<Call> JournalOf(const std::string& function) {
  std::vector<Call> out;
  for (auto& call : Journal())
    if (call.function == function) out.push_back(call);
  return out;
}

std::vector<std::string> JournalFunctions() {
  std::vector<std::string> out;
  for (auto& call : Journal()) out.push_back(call.function);
  return out;
}

void ClearJournal() {
  WorldGuard guard(WorldMutex());
  TheCore().journal.clear();
}

int LiveCount(const std::string& kind) {
  WorldGuard guard(WorldMutex());
  auto it = TheCore().live.find(kind);
  return it == TheCore().live.end() ? 0 : it->second;
}

std::map<std::string, int> LiveCounts() {
  WorldGuard guard(WorldMutex());
  std::map<std::string, int> out;
  for (auto& [kind, count] : TheCore().live)
    if (count != 0) out[kind] = count;
  return out;
}

std::u16string Wide(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c >> 5) == 6) { cp = c & 0x1F; len = 2; }
    else if ((c >> 4) == 14) { cp = c & 0x0F; len = 3; }
    else { cp = c & 0x07; len = 4; }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Narrow(const std::u16string& utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace winhost

// ---- kernel32 basics -----------------------------------------------------------------------

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  InitializeCriticalSectionAndSpinCount(section, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
  winhost::detail::InitializeLock(*section, spinCount);
  winhost::detail::AddLive("critical-section", 1);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { winhost::detail::EnterLock(*section); }

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { winhost::detail::LeaveLock(*section); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  // A sleeping waiter holds no resource of its own, so there is nothing to destroy.
  section->SpinCount = 0;
  winhost::detail::AddLive("critical-section", -1);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
  winhost::Call call{"DisableThreadLibraryCalls", {{"module", module ? "set" : "null"}}};
  if (auto fault = winhost::detail::Enter(std::move(call))) {
    SetLastError(*fault);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT nameType, LPWSTR buffer, LPDWORD size) {
  using namespace winhost::detail;
  WorldLock guard(WorldMutex());
  winhost::Call call{"GetComputerNameExW", {{"type", std::to_string(static_cast<int>(nameType))},
                                             {"size", size ? std::to_string(*size) : "null"}}};
  if (auto fault = Enter(std::move(call))) {
    SetLastError(*fault);
    return FALSE;
  }
  std::string name;
  if (InSystemWorld()) {
    guard.unlock();  // the resolver may take its time
    if (DWORD error = SystemComputerName(nameType, name); error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
  } else {
    const winhost::ComputerNames& names = Names();
    switch (nameType) {
      case ComputerNameNetBIOS:
      case ComputerNamePhysicalNetBIOS: name = names.netbios; break;
      case ComputerNameDnsHostname:
      case ComputerNamePhysicalDnsHostname: name = names.dnsHost; break;
      case ComputerNameDnsDomain:
      case ComputerNamePhysicalDnsDomain: name = names.dnsDomain; break;
      case ComputerNameDnsFullyQualified:
      case ComputerNamePhysicalDnsFullyQualified:
        name = names.dnsDomain.empty() ? names.dnsHost : names.dnsHost + "." + names.dnsDomain;
        break;
      default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
  }
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string wide = WideOf(name);
  // Too small: the size needed, terminator included, and ERROR_MORE_DATA, as on Windows.
  if (buffer == nullptr || *size < wide.size() + 1) {
    *size = static_cast<DWORD>(wide.size() + 1);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::copy(wide.begin(), wide.end(), buffer);
  buffer[wide.size()] = 0;
  *size = static_cast<DWORD>(wide.size());
  return TRUE;
}

DWORD WINAPI GetLastError(void) { return winhost::detail::lastError; }

void WINAPI SetLastError(DWORD error) { winhost::detail::lastError = error; }

}  // extern "C"
