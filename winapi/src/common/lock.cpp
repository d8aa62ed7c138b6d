// The host's lock: a critical section as Windows keeps one.
#include "common/lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

namespace winhost::common {

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

// The wait of a thread that found the lock word held: spin, then sleep until it is free.
__attribute__((noinline)) void WaitForWord(LONG* word, ULONG_PTR spinCount) {
  for (ULONG_PTR spun = 0; spun < spinCount; spun += kPausesBetweenLooks) {
    for (ULONG_PTR pause = 0; pause < kPausesBetweenLooks; ++pause) SpinPause();
    if (__atomic_load_n(word, __ATOMIC_RELAXED) == kLockFree && TryTake(word)) return;
  }
  // Whoever takes the lock this way cannot know whether others still sleep, so it keeps the mark;
  // at worst its leaving wakes no one.
  while (__atomic_exchange_n(word, kLockHeldWithSleepers, __ATOMIC_ACQUIRE) != kLockFree)
    Futex(word, FUTEX_WAIT_PRIVATE, kLockHeldWithSleepers);
}

void ReleaseWord(LONG* word) {
  if (__atomic_exchange_n(word, kLockFree, __ATOMIC_RELEASE) == kLockHeldWithSleepers)
    Futex(word, FUTEX_WAKE_PRIVATE, 1);
}

// A slim lock keeps its word in the first bytes of its pointer-sized field.
LONG* SlimWord(SRWLOCK& lock) {
  static_assert(sizeof(lock.Ptr) >= sizeof(LONG), "the lock word fits the slim lock");
  return reinterpret_cast<LONG*>(&lock.Ptr);
}

// Slim locks guard a record for the length of one call on it, which rarely meets another; a waiter
// spins about as long as a short call before it sleeps.
constexpr ULONG_PTR kSlimLockSpinCount = 1000;

}  // namespace

void EnterLock(CRITICAL_SECTION& section) {
  const HANDLE self = ThisThread();
  // Only this thread ever stores its own identity here, so a stale value can't be mistaken for it.
  if (__atomic_load_n(&section.OwningThread, __ATOMIC_RELAXED) == self) {
    ++section.RecursionCount;
    return;
  }
  if (!TryTake(&section.LockCount)) WaitForWord(&section.LockCount, section.SpinCount);
  __atomic_store_n(&section.OwningThread, self, __ATOMIC_RELAXED);
  section.RecursionCount = 1;
}

void LeaveLock(CRITICAL_SECTION& section) {
  if (--section.RecursionCount > 0) return;
  __atomic_store_n(&section.OwningThread, nullptr, __ATOMIC_RELAXED);
  ReleaseWord(&section.LockCount);
}

void EnterSlimLock(SRWLOCK& lock) {
  LONG* word = SlimWord(lock);
  if (TryTake(word)) return;
  static const ULONG_PTR spinCount = std::thread::hardware_concurrency() > 1 ? kSlimLockSpinCount : 0;
  WaitForWord(word, spinCount);
}

void LeaveSlimLock(SRWLOCK& lock) { ReleaseWord(SlimWord(lock)); }

HostLock::HostLock() { InitializeLock(section_, kHostLockSpinCount); }

HostLock& WorldMutex() {
  static HostLock* lock = new HostLock();
  return *lock;
}

}  // namespace winhost::common
