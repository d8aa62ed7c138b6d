// Account lookups and user contexts over the platform's own account database and Authz.
#include <windows.h>
#include <authz.h>
#include <sddl.h>
#define SECURITY_WIN32
#include <security.h>

#include "wine/suite.h"

namespace {

using SidFn = jstring JNICALL(JNIEnv*, jclass, jstring);
using CreateFn = jint JNICALL(JNIEnv*, jclass, jstring);
using FreeFn = void JNICALL(JNIEnv*, jclass, jint);
using MemberFn = jboolean JNICALL(JNIEnv*, jclass, jint, jstring);

// The SID of an account as this program finds it: text form, or nullopt with the error.
std::optional<std::u16string> PlatformSid(const std::u16string& account, DWORD& error, std::vector<BYTE>* bytes = nullptr) {
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use;
  LookupAccountNameW(nullptr, W(account), nullptr, &sidSize, nullptr, &domainSize, &use);
  error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
  std::vector<BYTE> sid(sidSize);
  std::vector<wchar_t> domain(domainSize);
  if (!LookupAccountNameW(nullptr, W(account), sid.data(), &sidSize, domain.data(), &domainSize, &use)) {
    error = GetLastError();
    return std::nullopt;
  }
  error = 0;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid.data(), &text)) return std::nullopt;
  std::u16string result = Wide(text);
  LocalFree(text);
  if (bytes != nullptr) *bytes = sid;
  return result;
}

// The library's authorization set-up, done by this program: its result says whether the
// library could be initialized on this platform.
bool PlatformAllowsSetUp(std::string& failed) {
  AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &manager)) {
    failed = "AuthzInitializeResourceManager: error " + std::to_string(GetLastError());
    return false;
  }
  AuthzFreeResourceManager(manager);
  wchar_t name[MAX_PATH];
  DWORD size = MAX_PATH;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    failed = "GetComputerNameExW: error " + std::to_string(GetLastError());
    return false;
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID builtin = nullptr;
  if (!AllocateAndInitializeSid(&nt, 1, SECURITY_BUILTIN_DOMAIN_RID, 0, 0, 0, 0, 0, 0, 0, &builtin)) {
    failed = "AllocateAndInitializeSid: error " + std::to_string(GetLastError());
    return false;
  }
  wchar_t account[MAX_PATH], domain[MAX_PATH];
  DWORD accountSize = MAX_PATH, domainSize = MAX_PATH;
  SID_NAME_USE use;
  const BOOL found = LookupAccountSidW(nullptr, builtin, account, &accountSize, domain, &domainSize, &use);
  const DWORD error = GetLastError();
  FreeSid(builtin);
  if (!found) failed = "LookupAccountSidW(S-1-5-32): error " + std::to_string(error);
  return found != FALSE;
}

// The groups Authz captures for an account, or nullopt with the error.
std::optional<std::vector<std::u16string>> PlatformGroups(std::vector<BYTE>& sid, DWORD& error) {
  AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
  AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
  LUID none = {0, 0};
  std::optional<std::vector<std::u16string>> groups;
  error = 0;
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &manager) ||
      !AuthzInitializeContextFromSid(0, sid.data(), manager, nullptr, none, nullptr, &context)) {
    error = GetLastError();
  } else {
    DWORD size = 0;
    AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, 0, &size, nullptr);
    std::vector<BYTE> buffer(size);
    if (size != 0 && AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, size, &size, buffer.data())) {
      groups.emplace();
      const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
      for (DWORD i = 0; i < list->GroupCount; ++i) {
        wchar_t* text = nullptr;
        if (ConvertSidToStringSidW(list->Groups[i].Sid, &text)) {
          groups->push_back(Wide(text));
          LocalFree(text);
        }
      }
    } else {
      error = GetLastError();
    }
  }
  if (context != nullptr) AuthzFreeContext(context);
  if (manager != nullptr) AuthzFreeResourceManager(manager);
  return groups;
}

void CheckSids(Context& c) {
  auto* getSid = c.library.Get<SidFn>("UserAuth_GetUserSID");
  for (const std::u16string& account : {std::u16string(u"BUILTIN\\Administrators"), std::u16string(u"Quentrel-No-Such-Account")}) {
    DWORD error = 0;
    const std::optional<std::u16string> platform = PlatformSid(account, error);
    if (!platform) Note(Narrow(account) + ": the platform's lookup fails with " + std::to_string(error));
    jstring name = c.jvm.String(account);
    auto outcome = Invoke(c.jvm, "GetUserSID", getSid, name);
    c.jvm.Delete(name);
    CheckEqual(outcome.thrown, std::string(), "GetUserSID(" + Narrow(account) + ") throws nothing");
    CheckEqual(TakeText(c.jvm, outcome.value), platform, "GetUserSID(" + Narrow(account) + ") is the platform's SID");
    if (account == u"BUILTIN\\Administrators" && platform) {
      CheckEqual(*platform, std::u16string(u"S-1-5-32-544"), "which is S-1-5-32-544");
    } else if (account != u"BUILTIN\\Administrators") {
      CheckEqual(error, static_cast<DWORD>(ERROR_NONE_MAPPED), "no account bears that name, says the platform");
    }
  }
}

void CheckUserContexts(Context& c) {
  auto* create = c.library.Get<CreateFn>("UserAuth_CreateUserContext");
  auto* release = c.library.Get<FreeFn>("UserAuth_FreeHandle");
  auto* member = c.library.Get<MemberFn>("UserAuth_IsGroupMember");
  auto Create = [&](const std::u16string& account) {
    jstring name = c.jvm.String(account);
    auto outcome = Invoke(c.jvm, "CreateUserContext", create, name);
    c.jvm.Delete(name);
    return outcome;
  };
  auto IsMember = [&](jint handle, const std::u16string& group) {
    jstring name = c.jvm.String(group);
    auto outcome = Invoke(c.jvm, "UserAuth.IsGroupMember", member, handle, name);
    c.jvm.Delete(name);
    return outcome;
  };

  std::string failed;
  if (!PlatformAllowsSetUp(failed)) {
    Note("the platform refuses the authorization set-up: " + failed);
    CheckEqual(Create(u"BUILTIN\\Administrators").thrown, std::string("WinAuthException: Not initialized"),
               "CreateUserContext reports Not initialized");
    CheckEqual(Create(u"alice").thrown, std::string("WinAuthException: Not initialized"), "before any test of the name");
    CheckEqual(IsMember(2, u"BUILTIN\\Users").thrown, std::string("WinAuthException: Not initialized"),
               "IsGroupMember reports Not initialized");
    CheckEqual(InvokeVoid(c.jvm, "UserAuth.FreeHandle", release, jint{2}).thrown, std::string(), "FreeHandle stays silent");
    return;
  }

  Note("the platform allows the authorization set-up");
  CheckEqual(Create(u"alice").thrown, std::string("WinAuthException: Local users not allowed"), "an unqualified name is refused");
  CheckEqual(IsMember(0x7fff0000, u"BUILTIN\\Users").thrown, std::string("WinAuthException: Invalid handle"),
             "IsGroupMember of an unknown handle");

  // The process's own account, qualified as the platform qualifies it.
  wchar_t user[512];
  ULONG size = 512;
  if (!GetUserNameExW(NameSamCompatible, user, &size)) {
    Skip("user contexts", "the platform cannot name this process's account");
    return;
  }
  const std::u16string account = Wide(user);
  DWORD error = 0;
  std::vector<BYTE> sid;
  if (!PlatformSid(account, error, &sid)) {
    CheckEqual(Create(account).thrown, std::string(error == ERROR_NONE_MAPPED ? "UserNotFoundException: " : "WinAuthException: " + PlatformError(error)),
               "a user context for " + Narrow(account) + " fails as the platform's lookup does");
    return;
  }
  const std::optional<std::vector<std::u16string>> groups = PlatformGroups(sid, error);
  auto outcome = Create(account);
  if (!groups) {
    CheckEqual(outcome.thrown, "WinAuthException: " + PlatformError(error),
               "a user context for " + Narrow(account) + " fails as the platform's Authz does");
    return;
  }
  if (!CheckEqual(outcome.thrown, std::string(), "a user context for " + Narrow(account))) return;
  CheckEqual<long>(outcome.value, 2, "is the first user context, handle 2");
  for (const auto& [group, sidText] : {std::pair<std::u16string, std::u16string>{u"BUILTIN\\Administrators", u"S-1-5-32-544"},
                                      {u"BUILTIN\\Users", u"S-1-5-32-545"}}) {
    bool expected = false;
    for (const std::u16string& captured : *groups) expected = expected || captured == sidText;
    auto answer = IsMember(outcome.value, group);
    CheckEqual(answer.thrown, std::string(), "IsGroupMember(" + Narrow(group) + ") throws nothing");
    CheckEqual(answer.value != JNI_FALSE, expected, "IsGroupMember(" + Narrow(group) + ") as Authz captured the groups");
  }
  InvokeVoid(c.jvm, "UserAuth.FreeHandle", release, outcome.value);
  CheckEqual(IsMember(outcome.value, u"BUILTIN\\Users").thrown, std::string("WinAuthException: Invalid handle"),
             "a freed user context names nothing");
}

}  // namespace

void CheckUserAuth(Context& c) {
  Group("UserAuth");
  if (c.library.Has({"UserAuth_GetUserSID"}, "account SIDs")) CheckSids(c);
  if (c.library.Has({"UserAuth_CreateUserContext", "UserAuth_FreeHandle", "UserAuth_IsGroupMember"}, "user contexts")) {
    CheckUserContexts(c);
  }
}
