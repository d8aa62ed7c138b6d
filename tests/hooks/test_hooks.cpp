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
