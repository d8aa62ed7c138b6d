#include "bridge/thread_impersonation.h"

#include "bridge/jni_bridge.h"

namespace {

// The calling thread's current impersonation, or null. A plain pointer, so that nothing has to run
// when a thread ends or the library is unloaded.
thread_local ThreadImpersonation* current = nullptr;

// Released impersonations, owned here until their thread comes back for them. A thread that ends
// without calling the library again leaves its record in the list; it is a few bytes.
ThreadImpersonation* released = nullptr;

// Guards the list. Held for a few instructions at a time, so a spin is enough; it needs no set-up
// and outlives every load and unload.
std::atomic_flag releasedLock = ATOMIC_FLAG_INIT;

class ListGuard {
 public:
  ListGuard() noexcept {
    while (releasedLock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~ListGuard() { releasedLock.clear(std::memory_order_release); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
};

void List(ThreadImpersonation* impersonation) noexcept {
  ListGuard guard;
  impersonation->next = released;
  released = impersonation;
}

// Takes `impersonation` out of the list, if it is there.
void Unlist(ThreadImpersonation* impersonation) noexcept {
  ListGuard guard;
  for (ThreadImpersonation** link = &released; *link != nullptr; link = &(*link)->next) {
    if (*link != impersonation) continue;
    *link = impersonation->next;
    break;
  }
}

// Marks an impersonation released, listed first so that the thread that sees the mark finds it in
// the list. Its thread may be replacing it at this very moment, on a context of its own: one of the
// two changes of state wins. When the thread's wins, nobody will come back for it, so it is freed.
void Release(ThreadImpersonation* impersonation) noexcept {
  List(impersonation);
  int expected = ThreadImpersonation::kCurrent;
  if (impersonation->state.compare_exchange_strong(expected, ThreadImpersonation::kReleased,
                                                   std::memory_order_acq_rel))
    return;
  Unlist(impersonation);
  delete impersonation;
}

// Takes the calling thread's released impersonation out of the list, and frees it.
void Forget(ThreadImpersonation* impersonation) noexcept {
  Unlist(impersonation);
  delete impersonation;
}

}  // namespace

std::unique_ptr<ThreadImpersonation> PrepareThreadImpersonation() { return std::make_unique<ThreadImpersonation>(); }

void BeginThreadImpersonation(ThreadImpersonation* impersonation) noexcept {
  if (current != nullptr) {
    // Released since this call's entry, perhaps this very moment: the thread is about to be
    // someone else anyway. Otherwise whoever ends that impersonation frees it.
    int expected = ThreadImpersonation::kCurrent;
    if (!current->state.compare_exchange_strong(expected, ThreadImpersonation::kReplaced,
                                                std::memory_order_acq_rel))
      Forget(current);
  }
  current = impersonation;
}

bool IsThreadImpersonation(const ThreadImpersonation* impersonation) noexcept {
  return impersonation != nullptr && impersonation == current;
}

void EndThreadImpersonation(ThreadImpersonation* impersonation, bool reverted) noexcept {
  if (impersonation == nullptr) return;
  if (impersonation == current && reverted) {
    current = nullptr;
    delete impersonation;
  } else if (impersonation->state.load(std::memory_order_acquire) == ThreadImpersonation::kReplaced) {
    delete impersonation;  // its thread no longer points at it
  } else {
    Release(impersonation);
  }
}

bool ReturnReleasedThread(JNIEnv* env) {
  ThreadImpersonation* mine = current;
  if (mine == nullptr || mine->state.load(std::memory_order_acquire) != ThreadImpersonation::kReleased) return true;
  if (!RevertToSelf()) {
    ThrowPlatformError(env, GetLastError());
    return false;
  }
  current = nullptr;
  Forget(mine);
  return true;
}
