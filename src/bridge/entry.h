// Scaffolding shared by every exported entry point: the family lock held by a guard, and the edge
// where native exceptions stop.
#pragma once

#include <jni.h>

#include <new>
#include <stdexcept>
#include <type_traits>

#include "bridge/jni_bridge.h"
#include "bridge/messages.h"
#include "bridge/platform.h"
#include "bridge/thread_impersonation.h"

// How many times a thread waiting for a family lock looks again before it sleeps. A family's
// calls are mostly short, so a waiter usually gets the lock within its spin; sleeping and being
// woken would cost more than the call it waits for.
constexpr DWORD kFamilyLockSpinCount = 1000;

// Creates a family lock at load.
inline void InitializeFamilyLock(CRITICAL_SECTION& lock) {
  // Always succeeds on the systems the library runs on.
  InitializeCriticalSectionAndSpinCount(&lock, kFamilyLockSpinCount);
}

// Holds a family lock for one scope, so that it is left exactly once on every path, a native
// exception's included.
class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~LockGuard() { LeaveCriticalSection(&lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

// Turns a native failure that escaped the body into a pending Java error: OutOfMemoryError for
// allocation and length failures (the JVM's own error is kept when one is already pending).
void ReportNativeFailure(JNIEnv* env, const char* what) noexcept;

// Runs an entry point's body and returns its result; if a native exception escapes, any lock the
// body held has already been left by its guard, a Java error is made pending, and `neutral` is
// returned. No C++ exception crosses the JNI boundary. First of all, a thread whose impersonation
// was ended by another thread takes its own identity back (see bridge/thread_impersonation.h).
template <typename Result, typename Body>
Result GuardedEntry(JNIEnv* env, Result neutral, Body&& body) noexcept {
  try {
    if (!ReturnReleasedThread(env)) return neutral;
    return body();
  } catch (const JvmErrorPending&) {
  } catch (const std::bad_alloc&) {
    ReportNativeFailure(env, messages::kNativeOutOfMemory);
  } catch (const std::exception& failure) {
    ReportNativeFailure(env, failure.what());
  } catch (...) {
    ReportNativeFailure(env, messages::kNativeOutOfMemory);
  }
  return neutral;
}

template <typename Body>
void GuardedEntry(JNIEnv* env, Body&& body) noexcept {
  GuardedEntry(env, 0, [&] {
    body();
    return 0;
  });
}
