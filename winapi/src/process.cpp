// kernel32's module lookup, WOW64 and process exit in the stand-in host, the same in both worlds.
#include <fcntl.h>
#include <unistd.h>

#include "common/journal.h"
#include "common/lock.h"
#include "common/process.h"
#include "common/text.h"
#include "winhost/host_services.h"

using namespace winhost;
using namespace winhost::common;

namespace {

// Module handles are tokens, never dereferenced.
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7ff10000));
const HMODULE kMainModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x00400000));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

bool IsKernel32(const std::string& name) {
  std::string lower;
  for (char c : name) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return lower == "kernel32" || lower == "kernel32.dll";
}

// Reached only through GetProcAddress, as a library that does not import it finds it on Windows.
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"IsWow64Process", {{"process", process == kCurrentProcess ? "current" : "other"}}}))
    return FailWith(*fault);
  if (Wow64Setting() == Wow64::Failing) return FailWith(ERROR_ACCESS_DENIED);
  if (process != kCurrentProcess) return FailWith(ERROR_INVALID_HANDLE);
  if (wow64Process == nullptr) return FailWith(ERROR_NOACCESS);
  *wow64Process = Wow64Setting() == Wow64::On ? TRUE : FALSE;
  return TRUE;
}

void WriteRecord(const std::string& path, UINT exitCode) {
  if (path.empty()) return;
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) return;
  std::string text = std::to_string(exitCode) + "\n";
  ssize_t written = write(file, text.data(), text.size());
  (void)written;
  close(file);
}

}  // namespace

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  WorldGuard guard(WorldMutex());
  std::string name = moduleName == nullptr ? "null" : Narrow(moduleName);
  if (auto fault = Enter(Call{"GetModuleHandleW", {{"module", name}}})) {
    SetLastError(*fault);
    return nullptr;
  }
  if (moduleName == nullptr) return kMainModule;
  if (IsKernel32(name)) return kKernel32;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  WorldGuard guard(WorldMutex());
  // A name below 0x10000 is an ordinal, as on Windows.
  bool byName = reinterpret_cast<uintptr_t>(procName) >= 0x10000;
  std::string name = byName ? procName : "#" + std::to_string(reinterpret_cast<uintptr_t>(procName));
  if (auto fault = Enter(Call{"GetProcAddress", {{"module", module == kKernel32 ? "kernel32" : "other"}, {"name", name}}})) {
    SetLastError(*fault);
    return nullptr;
  }
  if (module != kKernel32) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == "IsWow64Process" && Wow64Setting() != Wow64::Absent)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&IsWow64Process));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
  std::string record;
  {
    WorldGuard guard(WorldMutex());
    Call call{"TerminateProcess", {{"process", process == kCurrentProcess ? "current" : "other"},
                                   {"code", std::to_string(exitCode)}}};
    if (auto fault = Enter(std::move(call))) return FailWith(*fault);
    // Only the current process can be ended here; there is no other to name.
    if (process != kCurrentProcess) return FailWith(ERROR_INVALID_HANDLE);
    record = TerminationRecord();
  }
  WriteRecord(record, exitCode);
  // At once, as on Windows: no exit handlers, no unload notifications, nothing flushed.
  _exit(static_cast<int>(exitCode));
}

}  // extern "C"
