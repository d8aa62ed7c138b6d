// SSPI.FreeHandle: removes a context's record and releases its SSPI resources.
#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

void FreeHandle(JNIEnv* env, jint handle) {
  std::shared_ptr<SecurityContextRecord> removed;
  {
    LockGuard lock(LibraryLock);
    removed = SecurityContextTable.Take(handle);
  }
  // Off the table, the handle names nothing for any later call; an operation already under way on
  // the context finishes first, and one still waiting for it then finds it released.
  HeldContext record(std::move(removed));
  if (!record) return;
  const SECURITY_STATUS reverted = ReleaseContextResources(*record);
  record->released = true;
  record.Reset();
  // The context is gone either way; a thread left as its client is the one thing worth telling.
  if (reverted != SEC_E_OK) ThrowPlatformError(env, static_cast<uint32_t>(reverted));
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv* env, jclass, jint handle) {
  GuardedEntry(env, [&] { FreeHandle(env, handle); });
}
