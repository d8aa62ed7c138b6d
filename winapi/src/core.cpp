// kernel32 basics of the stand-in host: critical sections, the last error and the computer's names.
#include <algorithm>

#include "common/journal.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

thread_local DWORD lastError = 0;

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  InitializeCriticalSectionAndSpinCount(section, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
  InitializeLock(*section, spinCount);
  AddLive("critical-section", 1);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { EnterLock(*section); }

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { LeaveLock(*section); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  // A sleeping waiter holds no resource of its own, so there is nothing to destroy.
  section->SpinCount = 0;
  AddLive("critical-section", -1);
}

void WINAPI InitializeSRWLock(PSRWLOCK lock) { lock->Ptr = nullptr; }

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) { EnterSlimLock(*lock); }

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock) { LeaveSlimLock(*lock); }

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
  if (auto fault = Enter(Call{"DisableThreadLibraryCalls", {{"module", module ? "set" : "null"}}}))
    return FailWith(*fault);
  return TRUE;
}

BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT nameType, LPWSTR buffer, LPDWORD size) {
  WorldLock lock(WorldMutex());
  Call call{"GetComputerNameExW", {{"type", std::to_string(static_cast<int>(nameType))},
                                    {"size", size ? std::to_string(*size) : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  std::string name;
  if (DWORD error = world::ComputerName(lock, nameType, name); error != ERROR_SUCCESS) return FailWith(error);
  if (size == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  std::u16string wide = WideOf(name);
  // Too small: the size needed, terminator included, and ERROR_MORE_DATA, as on Windows.
  if (buffer == nullptr || *size < wide.size() + 1) {
    *size = static_cast<DWORD>(wide.size() + 1);
    return FailWith(ERROR_MORE_DATA);
  }
  std::copy(wide.begin(), wide.end(), buffer);
  buffer[wide.size()] = 0;
  *size = static_cast<DWORD>(wide.size());
  return TRUE;
}

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD error) { lastError = error; }

}  // extern "C"
