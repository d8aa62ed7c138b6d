// SSPI.FreeHandle: releases a context's SSPI resources and removes its record.
#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

void FreeHandle(jint handle) {
  LockGuard lock(LibraryLock);
  auto position = FindSecurityContextPosition(handle);
  if (position == SecurityContextTable.end()) return;
  ReleaseContextResources(**position);
  SecurityContextTable.erase(position);
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv* env, jclass, jint handle) {
  GuardedEntry(env, [&] { FreeHandle(handle); });
}
