// Load and unload: everything the library sets up lives from DllMain's attach to its detach.
#include "bridge/entry.h"
#include "bridge/platform.h"
#include "sspi/context_table.h"
#include "userauth/authorization_state.h"

namespace {

void Notify(HINSTANCE module, DWORD reason) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(module);
      InitializeFamilyLock(LibraryLock);
      // A failed set-up only disables the UserAuth operations that need it; the load goes on.
      InitializeAuthorizationState();
      LastContextHandle = 1;
      break;
    case DLL_PROCESS_DETACH:
      ReleaseAuthorizationState();
      // Security contexts still held are left to the process: no SSPI call is made for them.
      DeleteCriticalSection(&LibraryLock);
      DiscardSecurityContexts();
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  // Both routines of the authorization state keep their failures to themselves; this catch is the
  // last guard of the loader's notification, which no exception may leave.
  try {
    Notify(module, reason);
  } catch (...) {
  }
  return TRUE;
}

#ifndef _WIN32
#include <dlfcn.h>

// Elsewhere the loader has no DllMain: the library's constructor and destructor stand in for the
// attach and detach notifications.
namespace {

HINSTANCE ThisModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&DllMain), &info) == 0) return nullptr;
  return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void AttachLibrary() { DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr); }
__attribute__((destructor)) void DetachLibrary() { DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
#endif
