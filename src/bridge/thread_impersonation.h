// The impersonations that threads begin through the library, so that a thread is never left as
// somebody it does not report, and no call changes the identity of a thread other than its own.
//
// A server context that impersonates keeps the record of that impersonation, and the thread that
// impersonates points at it as its current one. Ending the impersonation on that thread reverts
// the thread. Ending it from any other thread (the context released by another thread, a stop
// asked for elsewhere) leaves the caller's identity alone: the record is marked released, and the
// impersonating thread takes its own identity back at the start of its next call into the
// library, before that call does anything else. Reverting that thread at once from elsewhere
// would change its identity in the middle of what it is doing for its client, from the client's
// rights to the process's, which no platform makes safe; so it is never done.
#pragma once

#include <jni.h>

#include <atomic>
#include <memory>

#include "bridge/platform.h"

class ThreadImpersonation {
 public:
  enum State { kCurrent, kReplaced, kReleased };

  // What the thread is to this record: its current impersonation, one it has since replaced by
  // another (it is then nobody's), or one ended from elsewhere that it still has to revert.
  std::atomic<int> state{kCurrent};
  ThreadImpersonation* next = nullptr;  // in the list of released ones
};

// A record for an impersonation about to begin: made before the thread changes identity, as it is
// the only step that needs memory. May throw std::bad_alloc.
std::unique_ptr<ThreadImpersonation> PrepareThreadImpersonation();

// The calling thread now impersonates through `impersonation`, which its context owns; the one
// it impersonated through before, if any, is replaced. Requires the context's lock. Cannot fail.
void BeginThreadImpersonation(ThreadImpersonation* impersonation) noexcept;

// Whether `impersonation` is the calling thread's current one: only then does ending it revert
// the calling thread.
bool IsThreadImpersonation(const ThreadImpersonation* impersonation) noexcept;

// The context lets go of `impersonation` (it stops impersonating or is released). When it is the
// calling thread's own and `reverted` says the thread has its identity back, it is forgotten; when
// the thread it belongs to is another, or could not be reverted, it is released, and that thread
// reverts at its next call into the library. Requires the context's lock: each impersonation is
// ended once, while its thread may be replacing it at the same moment. Cannot fail.
void EndThreadImpersonation(ThreadImpersonation* impersonation, bool reverted) noexcept;

// At the start of every entry point: a thread whose current impersonation was released takes its
// own identity back. False, with "Platform error" pending, when the platform cannot revert it:
// the call then does nothing else, and the next one tries again.
bool ReturnReleasedThread(JNIEnv* env);
