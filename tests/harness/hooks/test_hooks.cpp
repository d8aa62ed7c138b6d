// Hooks linked only into the test build of the library: they reach state that no Java call can
// set in reasonable time, such as a handle counter near its end.
#include <jni.h>

#include "bridge/entry.h"
#include "sspi/context_table.h"

extern "C" __attribute__((visibility("default"))) void quentrel_test_SetLastContextHandle(jint value) {
  LockGuard lock(LibraryLock);
  LastContextHandle = value;
}

extern "C" __attribute__((visibility("default"))) jint quentrel_test_GetLastContextHandle() {
  LockGuard lock(LibraryLock);
  return LastContextHandle;
}

// ---- the UserAuth family -----------------------------------------------------------------------

#include <algorithm>

#include "userauth/account_names.h"
#include "userauth/authorization_state.h"

extern "C" __attribute__((visibility("default"))) void quentrel_test_SetLastUserContextHandle(jint value) {
  LockGuard lock(AuthorizationState().UserAuthLock);
  AuthorizationState().LastUserContextHandle = value;
}

extern "C" __attribute__((visibility("default"))) jint quentrel_test_GetLastUserContextHandle() {
  LockGuard lock(AuthorizationState().UserAuthLock);
  return AuthorizationState().LastUserContextHandle;
}

// StripLocalDomain over the names recorded at load: writes up to `capacity` units of the result
// and returns its full length.
extern "C" __attribute__((visibility("default"))) size_t quentrel_test_StripLocalDomain(const char16_t* name,
                                                                                      size_t length,
                                                                                      char16_t* result,
                                                                                      size_t capacity) {
  WideString stripped = StripLocalDomain(WideString(name, length));
  std::copy_n(stripped.begin(), std::min(capacity, stripped.size()), result);
  return stripped.size();
}

// ---- the server's view of its client -------------------------------------------------------------

// Puts any value into a record's state, including ones no operation writes. False when no record
// has the handle.
extern "C" __attribute__((visibility("default"))) bool quentrel_test_SetContextState(jint handle, int32_t state) {
  LockGuard lock(LibraryLock);
  SecurityContextRecord* record = FindSecurityContext(handle);
  if (record == nullptr) return false;
  record->state = static_cast<ContextState>(state);
  return true;
}

// ---- what the benchmark needs to call the package directly -----------------------------------

// The SSPI context handle of a record and the message sizes the library queried for it, so that a
// benchmark can call the package on the very contexts the library uses. Null when no record has
// the handle; the block stays valid until the record is freed.
extern "C" __attribute__((visibility("default"))) CtxtHandle* quentrel_test_ContextOf(jint handle,
                                                                                      SecPkgContext_Sizes* sizes,
                                                                                      ULONG* attributes) {
  LockGuard lock(LibraryLock);
  const SecurityContextRecord* record = FindSecurityContext(handle);
  if (record == nullptr) return nullptr;
  *sizes = record->sizes;
  *attributes = record->negotiatedAttributes;
  return record->context;
}

// ---- native allocation failures ------------------------------------------------------------------
//
// The library's own operator new, local to this build (the version script hides it), so that only
// the library's allocations are counted and failed: the JVM, the host and the tests allocate as
// usual. Each allocation is passed on to the operator new the process would otherwise use (the
// C++ runtime's, or a sanitizer's), so memory is always released by its own deallocator.

#include <dlfcn.h>

#include <atomic>
#include <new>

namespace {

using NewFunction = void* (*)(size_t);

std::atomic<long> allocationsMade{0};
// 0: nothing armed; n > 0: the n-th allocation from now fails with std::bad_alloc.
std::atomic<long> allocationCountdown{0};

void* Allocate(NewFunction real, size_t size) {
  allocationsMade.fetch_add(1);
  long armed = allocationCountdown.load();
  while (armed > 0 && !allocationCountdown.compare_exchange_weak(armed, armed - 1)) {
  }
  if (armed == 1) throw std::bad_alloc();
  return real(size);
}

NewFunction Next(const char* mangledName) { return reinterpret_cast<NewFunction>(dlsym(RTLD_DEFAULT, mangledName)); }

}  // namespace

void* operator new(size_t size) {
  static const NewFunction next = Next("_Znwm");
  return Allocate(next, size);
}
void* operator new[](size_t size) {
  static const NewFunction next = Next("_Znam");
  return Allocate(next, size);
}

// Arms the failure of the `nth` allocation the library makes from now (0 disarms); returns the
// number of allocations made so far.
extern "C" __attribute__((visibility("default"))) long quentrel_test_FailAllocation(long nth) {
  allocationCountdown.store(nth);
  return allocationsMade.load();
}

// ---- load and unload -------------------------------------------------------------------------------

#include "bridge/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

// Runs the loader's notification again, as a fresh load or unload would.
extern "C" __attribute__((visibility("default"))) BOOL quentrel_test_DllMain(DWORD reason) {
  return DllMain(nullptr, reason, nullptr);
}
