// The Wine suite: loads quentrel.dll as the JVM would, calls its entry points through the fake JNI
// environment, and compares each answer with what the platform gives this program directly.
//
//   quentrel_wine_tests.exe [quentrel.dll]          runs the suite
//   quentrel_wine_tests.exe --terminate CODE DLL    calls WinUtil.TerminateProcess(CODE)
//   quentrel_wine_tests.exe --kerberos TARGET       only an authentication through Kerberos
//   quentrel_wine_tests.exe --peer client|server|platform-client PACKAGE [TARGET]
//                                                   one side of an authentication with another
//                                                   process, over standard input and output
//                                                   (see peer.cpp); the report goes to stderr
#include "wine/suite.h"

#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

int passed = 0;
int failed = 0;
int skipped = 0;
// Where the report goes: standard error when standard output carries a peer's answers.
FILE* report = stdout;

const char kPackage[] = "Java_com_tarvex_pelk_quentrel_";

std::wstring Directory(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ThisProgram() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

// Child mode: the process ends inside the library, with the exit code it was given; a return
// from the call is reported with an exit code of its own.
int Terminate(int code, const wchar_t* dll) {
  HMODULE module = LoadLibraryW(dll);
  if (module == nullptr) return 101;
  using Fn = void JNICALL(JNIEnv*, jclass, jint);
  void* address = reinterpret_cast<void*>(GetProcAddress(module, "Java_com_tarvex_pelk_quentrel_WinUtil_TerminateProcess"));
  auto* entry = reinterpret_cast<Fn*>(address);
  if (entry == nullptr) return 102;
  fakejni::FakeJvm jvm;
  entry(jvm.env(), nullptr, code);
  std::printf("WinUtil.TerminateProcess returned\n");
  return 103;
}

// Whether the loader will skip the module's thread notifications, as DisableThreadLibraryCalls
// asks, read from the loader's own record of the module; nullopt when the module is not found.
// The record's layout is the 64-bit one: its flags follow the two names.
std::optional<bool> ThreadCallsDisabled(HMODULE module) {
#ifndef _WIN64
  (void)module;
  return std::nullopt;  // the suite runs the 64-bit DLL only
#else
  constexpr size_t kFlagsOffset = 0x68;
  constexpr ULONG kNoThreadCalls = 0x00040000;
  PROCESS_BASIC_INFORMATION process;
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof process, nullptr) != 0) {
    return std::nullopt;
  }
  const PEB_LDR_DATA* loader = process.PebBaseAddress->Ldr;
  const LIST_ENTRY* head = &loader->InMemoryOrderModuleList;
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    if (entry->DllBase != module) continue;
    ULONG flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(entry) + kFlagsOffset, sizeof flags);
    return (flags & kNoThreadCalls) != 0;
  }
  return std::nullopt;
#endif
}

void RunAll(Context& run) {
  CheckSspi(run);
  CheckUserAuth(run);
  CheckRegistry(run);
  CheckProductPaths(run);
  CheckHostIdentity(run);
  CheckTermination(run);
}

// The natives beyond the 27: each is exported, and the password context refuses a missing
// password with its own words before it touches the platform, leaving nothing behind.
void CheckExtensions(HMODULE module, fakejni::FakeJvm& jvm) {
  for (const char* name : {"CreateBoundContext", "GetContextExpiry", "CreatePasswordContext", "GetDelegationLimit"}) {
    Check(GetProcAddress(module, (std::string(kPackage) + "Extensions_" + name).c_str()) != nullptr,
          std::string("GetProcAddress finds the extension ") + name);
  }
  using PasswordContext = jint(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jstring, jcharArray);
  auto create = reinterpret_cast<PasswordContext>(reinterpret_cast<void*>(
      GetProcAddress(module, "Java_com_tarvex_pelk_quentrel_Extensions_CreatePasswordContext")));
  if (create == nullptr) return;
  jstring package = jvm.String(u"Kerberos"), target = jvm.String(u"HTTP/web"), user = jvm.String(u"alice");
  const size_t before = jvm.LiveReferences();
  const jint handle = create(jvm.env(), nullptr, package, target, user, nullptr);
  const std::optional<fakejni::Thrown> thrown = jvm.Take();
  Check(handle == 0 && thrown && thrown->message == "Password cannot be null",
        "CreatePasswordContext refuses a missing password in words", thrown ? thrown->message : "nothing thrown");
  Check(jvm.LiveReferences() == before && jvm.TakeViolations().empty(),
        "CreatePasswordContext leaves no reference and uses the JNI correctly");
  for (jobject reference : {static_cast<jobject>(package), static_cast<jobject>(target), static_cast<jobject>(user)})
    jvm.Delete(reference);
}

}  // namespace

bool Check(bool ok, const std::string& what, const std::string& detail) {
  if (ok) {
    ++passed;
    std::fprintf(report, "  ok    %s\n", what.c_str());
  } else {
    ++failed;
    std::fprintf(report, "  FAIL  %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(report);
  return ok;
}

void Skip(const std::string& what, const std::string& why) {
  ++skipped;
  std::fprintf(report, "  skip  %s (%s)\n", what.c_str(), why.c_str());
}

void Note(const std::string& text) { std::fprintf(report, "  note  %s\n", text.c_str()); }

void Group(const std::string& name) {
  std::fprintf(report, "%s\n", name.c_str());
  std::fflush(report);
}

int Failures() { return failed; }

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out;
}

std::string Quoted(const std::optional<std::u16string>& text) { return text ? "\"" + Narrow(*text) + "\"" : "null"; }

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::u16string Wide(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

std::string PlatformError(uint32_t code) {
  char text[40];
  std::snprintf(text, sizeof text, "Platform error: %08x", static_cast<unsigned>(code));
  return text;
}

Library::Library(HMODULE module) {
  for (const std::string& name : Names()) {
    // Through void*, as a JVM does: the address means nothing until it is given its JNI type.
    void* entry = reinterpret_cast<void*>(GetProcAddress(module, (kPackage + name).c_str()));
    if (entry != nullptr) entries_[name] = entry;
  }
}

bool Library::Has(const std::vector<std::string>& names, const std::string& group) const {
  std::string missing;
  for (const std::string& name : names) {
    if (entries_.count(name) == 0) missing += (missing.empty() ? "" : ", ") + name;
  }
  if (missing.empty()) return true;
  Skip(group, "not exported yet: " + missing);
  return false;
}

const std::vector<std::string>& Library::Names() {
  static const std::vector<std::string> names = {
      "SSPI_CreateContext", "SSPI_Initialize", "SSPI_Accept", "SSPI_GetChallengeToken",
      "SSPI_GetNegotiatedAttributes", "SSPI_GetMaxTokenSize", "SSPI_Wrap", "SSPI_Unwrap",
      "SSPI_GetClientUserName", "SSPI_StartImpersonating", "SSPI_StopImpersonating", "SSPI_IsGroupMember",
      "SSPI_GetContextInformation", "SSPI_FreeHandle", "UserAuth_CreateUserContext", "UserAuth_FreeHandle",
      "UserAuth_GetUserSID", "UserAuth_IsGroupMember", "WinUtil_GetHKLMStringRegValue",
      "WinUtil_SetHKLMStringRegValue", "WinUtil_SetHKLMIntRegValue", "WinUtil_GetProductInstallPath",
      "WinUtil_GetCommonAppDataFilePath", "WinUtil_GetDCCheckResultCode", "WinUtil_GetFullyQualifiedDnsName",
      "WinUtil_GetComputerNameNetBIOS", "WinUtil_TerminateProcess"};
  return names;
}

std::string TakeThrown(fakejni::FakeJvm& jvm) {
  std::optional<fakejni::Thrown> thrown = jvm.Take();
  if (!thrown) return "";
  const size_t slash = thrown->className.find_last_of('/');
  return thrown->className.substr(slash == std::string::npos ? 0 : slash + 1) + ": " + thrown->message;
}

void CheckCallHygiene(fakejni::FakeJvm& jvm, const std::string& call, size_t referencesBefore, bool madeResult) {
  for (const std::string& violation : jvm.TakeViolations()) Check(false, call + " uses the JNI correctly", violation);
  if (jvm.HeldElements() != 0) {
    Check(false, call + " releases every string and array it reads",
          std::to_string(jvm.HeldElements()) + " still held");
  }
  const size_t expected = referencesBefore + (madeResult ? 1 : 0);
  if (jvm.LiveReferences() != expected) {
    Check(false, call + " leaves no local reference of its own",
          std::to_string(jvm.LiveReferences() - referencesBefore) + " left, expected " + std::to_string(expected - referencesBefore));
  }
}

std::optional<std::u16string> TakeText(fakejni::FakeJvm& jvm, jstring text) {
  if (text == nullptr) return std::nullopt;
  std::u16string value = jvm.TextOf(text);
  jvm.Delete(text);
  return value;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--terminate") == 0) return Terminate(_wtoi(argv[2]), argv[3]);

  const bool kerberos = argc == 3 && std::wcscmp(argv[1], L"--kerberos") == 0;
  const bool peer = (argc == 4 || argc == 5) && std::wcscmp(argv[1], L"--peer") == 0;
  if (peer) report = stderr;
  fakejni::FakeJvm jvm;
  const std::wstring program = ThisProgram();
  const std::wstring dll = argc == 2 ? argv[1] : Directory(program) + L"quentrel.dll";

  Group("load");
  HMODULE module = LoadLibraryW(dll.c_str());
  if (!Check(module != nullptr, "LoadLibraryW loads quentrel.dll", "error " + std::to_string(GetLastError()))) return 1;
  Library library(module);
  size_t found = 0;
  for (const std::string& name : Library::Names()) {
    if (library.Get<void>(name) != nullptr) ++found;
  }
  Check(found == Library::Names().size(), "GetProcAddress finds all 27 entry points by their JNI names",
        std::to_string(found) + " found");
  // DllMain asks for no thread notifications. The loader grants that only to a module without
  // static TLS, and a statically linked runtime brings TLS of its own; whether the request was
  // granted is compared with what the loader answers when this program makes it again.
  const std::optional<bool> noThreadCalls = ThreadCallsDisabled(module);
  const bool platformGrants = DisableThreadLibraryCalls(module) != FALSE;
  if (Check(noThreadCalls.has_value(), "the loader keeps a record of the library")) {
    CheckEqual(*noThreadCalls, platformGrants, std::string("DllMain asked for no thread notifications, which the loader ") +
                                                   (platformGrants ? "grants" : "refuses a module with static TLS"));
  }
  Check(GetProcAddress(module, "JNI_OnLoad") == nullptr && GetProcAddress(module, "JNI_OnUnload") == nullptr,
        "no JNI_OnLoad or JNI_OnUnload, so the JVM treats it as a plain JNI library");

  CheckExtensions(module, jvm);

  Context run{jvm, library, program, dll};
  if (kerberos) {
    CheckKerberos(run, Wide(argv[2]));
  } else if (peer) {
    ServePeer(run, Wide(argv[2]), Wide(argv[3]), argc == 5 ? Wide(argv[4]) : u"");
  } else {
    RunAll(run);
  }

  Group("unload");
  Check(FreeLibrary(module) != FALSE, "FreeLibrary unloads the library");
  Check(GetModuleHandleW(dll.c_str()) == nullptr, "the library is gone from the process");

  std::fprintf(report, "\n%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}
