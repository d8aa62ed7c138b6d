// Host identity and process exit, against what the platform tells this program directly.
#include <windows.h>
#include <lm.h>

#include "wine/suite.h"

namespace {

using NameFn = jstring JNICALL(JNIEnv*, jclass);
using CodeFn = jint JNICALL(JNIEnv*, jclass);

std::optional<std::u16string> PlatformName(COMPUTER_NAME_FORMAT format) {
  wchar_t name[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!GetComputerNameExW(format, name, &size)) return std::nullopt;
  return Wide(name);
}

// Runs this program as a child that calls WinUtil.TerminateProcess(code); its exit code, or
// nothing when it could not be started or did not end.
std::optional<DWORD> ExitCodeOfChild(Context& c, int code) {
  std::wstring command = L"\"" + c.program + L"\" --terminate " + std::to_wstring(code) + L" \"" + c.dll + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(c.program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return std::nullopt;
  }
  std::optional<DWORD> result;
  DWORD exitCode = 0;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &exitCode)) {
    result = exitCode;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace

void CheckHostIdentity(Context& c) {
  Group("host identity");
  const Library& l = c.library;
  if (l.Has({"WinUtil_GetComputerNameNetBIOS", "WinUtil_GetFullyQualifiedDnsName"}, "computer names")) {
    auto netbios = Invoke(c.jvm, "GetComputerNameNetBIOS", l.Get<NameFn>("WinUtil_GetComputerNameNetBIOS"));
    CheckEqual(TakeText(c.jvm, netbios.value), PlatformName(ComputerNameNetBIOS),
               "the NetBIOS name is GetComputerNameExW's");
    auto dns = Invoke(c.jvm, "GetFullyQualifiedDnsName", l.Get<NameFn>("WinUtil_GetFullyQualifiedDnsName"));
    CheckEqual(TakeText(c.jvm, dns.value), PlatformName(ComputerNameDnsFullyQualified),
               "the fully qualified DNS name is GetComputerNameExW's");
  }
  if (l.Has({"WinUtil_GetDCCheckResultCode"}, "domain-controller check")) {
    LPBYTE name = nullptr;
    const NET_API_STATUS platform = NetGetAnyDCName(nullptr, nullptr, &name);
    if (name != nullptr) NetApiBufferFree(name);
    Note("NetGetAnyDCName answers " + std::to_string(platform));
    auto outcome = Invoke(c.jvm, "GetDCCheckResultCode", l.Get<CodeFn>("WinUtil_GetDCCheckResultCode"));
    CheckEqual<long>(outcome.value, static_cast<long>(platform), "the DC check code is NetGetAnyDCName's status");
    CheckEqual(outcome.thrown, std::string(), "and nothing is thrown");
  }
}

void CheckTermination(Context& c) {
  Group("process exit");
  if (!c.library.Has({"WinUtil_TerminateProcess"}, "WinUtil.TerminateProcess")) return;
  for (int code : {-1, 7}) {
    const std::optional<DWORD> exitCode = ExitCodeOfChild(c, code);
    if (!Check(exitCode.has_value(), "a child process that calls TerminateProcess(" + std::to_string(code) + ") ends")) continue;
    Check(*exitCode == static_cast<DWORD>(code), "its exit code is " + Hex(static_cast<DWORD>(code)),
          "got " + Hex(*exitCode) + (*exitCode == 103 ? " (the call returned)" : ""));
  }
}
