// kernel32's module lookup, WOW64 and process exit in the stand-in host.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "services_host.h"

namespace winhost {
namespace detail {
namespace {

struct ProcessWorld {
  Wow64 wow64 = Wow64::Off;
  std::string terminationRecord;
};

ProcessWorld& Process() {
  static ProcessWorld* world = new ProcessWorld();  // never destroyed
  return *world;
}

ResetHook resetProcess([] { Process() = ProcessWorld{}; });

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
  if (auto fault = Enter(Call{"IsWow64Process", {{"process", process == kCurrentProcess ? "current" : "other"}}})) {
    SetLastError(*fault);
    return FALSE;
  }
  if (Process().wow64 == Wow64::Failing) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (process != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (wow64Process == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *wow64Process = Process().wow64 == Wow64::On ? TRUE : FALSE;
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

Wow64 CurrentWow64() {
  WorldGuard guard(WorldMutex());
  return Process().wow64;
}

}  // namespace detail

using namespace detail;

void SetWow64(Wow64 mode) {
  WorldGuard guard(WorldMutex());
  Process().wow64 = mode;
}

Wow64 GetWow64() { return CurrentWow64(); }

void RecordTerminationIn(const std::string& path) {
  WorldGuard guard(WorldMutex());
  Process().terminationRecord = path;
}

}  // namespace winhost

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  using namespace winhost::detail;
  WorldGuard guard(WorldMutex());
  std::string name = moduleName == nullptr ? "null" : Narrow(moduleName);
  if (auto fault = Enter(winhost::Call{"GetModuleHandleW", {{"module", name}}})) {
    SetLastError(*fault);
    return nullptr;
  }
  if (moduleName == nullptr) return kMainModule;
  if (IsKernel32(name)) return kKernel32;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  using namespace winhost::detail;
  WorldGuard guard(WorldMutex());
  // A name below 0x10000 is an ordinal, as on Windows.
  bool byName = reinterpret_cast<uintptr_t>(procName) >= 0x10000;
  std::string name = byName ? procName : "#" + std::to_string(reinterpret_cast<uintptr_t>(procName));
  winhost::Call call{"GetProcAddress", {{"module", module == kKernel32 ? "kernel32" : "other"}, {"name", name}}};
  if (auto fault = Enter(std::move(call))) {
    SetLastError(*fault);
    return nullptr;
  }
  if (module != kKernel32) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == "IsWow64Process" && Process().wow64 != winhost::Wow64::Absent)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&IsWow64Process));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) { return winhost::detail::kCurrentProcess; }

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
  using namespace winhost::detail;
  std::string record;
  {
    WorldGuard guard(WorldMutex());
    winhost::Call call{"TerminateProcess", {{"process", process == kCurrentProcess ? "current" : "other"},
                                            {"code", std::to_string(exitCode)}}};
    if (auto fault = Enter(std::move(call))) {
      SetLastError(*fault);
      return FALSE;
    }
    // Only the current process can be ended here; there is no other to name.
    if (process != kCurrentProcess) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    record = Process().terminationRecord;
  }
  WriteRecord(record, exitCode);
  // At once, as on Windows: no exit handlers, no unload notifications, nothing flushed.
  _exit(static_cast<int>(exitCode));
}

}  // extern "C"
