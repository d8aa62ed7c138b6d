// SSPI.FreeHandle: releases a context's SSPI resources and removes its record.
#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

void FreeHandle(JNIEnv* env, jint handle) {
  LockGuard lock(LibraryLock);
  auto position = FindSecurityContextPosition(handle);
  if (position == SecurityContextTable.end()) return;
  const SECURITY_STATUS reverted = ReleaseContextResources(**position);
  SecurityContextTable.erase(position);
  // The context is gone either way; a thread left as its client is the one thing worth telling.
  if (reverted != SEC_E_OK) ThrowPlatformError(env, static_cast<uint32_t>(reverted));
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv* env, jclass, jint handle) {
  GuardedEntry(env, [&] { FreeHandle(env, handle); });
}
