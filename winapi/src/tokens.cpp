// Access tokens of the stand-in host: the token of a server context's client, linked tokens of a
// split logon, per-thread impersonation, token membership, handle closing and the version.
//
// A token is an immutable object behind any number of counted handles; a thread that impersonates
// holds a reference of its own, as on Windows, so closing every handle leaves the thread as it is.
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <cerrno>

#include "directory_host.h"
#include "sspi_host.h"
#include "system/accounts.h"
#include "system/gss_host.h"
#include "system/thread_identity.h"
#include "winhost/control_tokens.h"
#include "winhost/token.h"

namespace winhost {
namespace detail {
namespace {

// What one token says about its account.
struct TokenData {
  std::string account;  // "WINHOST\appuser", for the journal and ThreadIdentity
  SidBytes user;
  std::vector<GroupEntry> groups;
  // Raw values, as a test may set a level no SDK name stands for.
  uint32_t type = TokenImpersonation;
  uint32_t level = SecurityImpersonation;
  bool elevated = false;
  // In the system world, who a thread that impersonates with this token is to the kernel; none
  // for a client whose principal maps to no account.
  std::optional<UnixIdentity> identity;
  // In the system world, what the client delegated to the context the token came from.
  std::shared_ptr<gss::Delegation> delegation;
};

struct TokenObject {
  TokenData data;
  std::optional<TokenData> linked;  // the other half of a split logon
};

using TokenRef = std::shared_ptr<const TokenObject>;

// A handle names a token and says where it came from ("context", "linked", "thread"), so that the
// journal tells the handles of one account apart.
struct TokenHandle {
  TokenRef token;
  std::string source;
};

struct TokenWorld {
  std::map<uintptr_t, TokenHandle> handles;
  uintptr_t nextHandle = 0x7000;
  uint32_t majorVersion = 10;
  std::map<std::string, std::vector<std::string>> splitLogons;  // account -> elevated groups
  std::optional<std::pair<uint32_t, uint32_t>> contextTokenKind;
};

// Handles the library holds outlive a Reset, so only the settings are reset.
TokenWorld& Tokens() {
  static TokenWorld* world = new TokenWorld();
  return *world;
}

ResetHook resetTokens([] {
  Tokens().majorVersion = 10;
  Tokens().splitLogons.clear();
  Tokens().contextTokenKind.reset();
});

// The token the calling thread impersonates with; null while it acts as the process.
thread_local TokenRef threadToken;

ResetHook resetThread([] { threadToken.reset(); });

// Windows' pseudo-handle of the current thread.
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

constexpr DWORD kDenyOnly = SE_GROUP_MANDATORY | SE_GROUP_USE_FOR_DENY_ONLY;
constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE NewHandle(TokenRef token, const std::string& source) {
  TokenWorld& world = Tokens();
  world.nextHandle += 4;
  world.handles[world.nextHandle] = TokenHandle{std::move(token), source};
  AddLive("token", 1);
  return reinterpret_cast<HANDLE>(world.nextHandle);
}

TokenRef FindToken(HANDLE handle) {
  auto it = Tokens().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == Tokens().handles.end() ? nullptr : it->second.token;
}

std::string Describe(const TokenData& data) { return data.account + (data.elevated ? " (elevated)" : ""); }

std::string TokenText(HANDLE handle) {
  if (handle == nullptr) return "null";
  auto it = Tokens().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == Tokens().handles.end()) return "unknown " + std::to_string(reinterpret_cast<uintptr_t>(handle));
  return Describe(it->second.token->data) + " [" + it->second.source + "]";
}

// What the token of a system-world account says: its SID, groups and Unix identity.
TokenData SystemTokenData(const SystemAccount& account) {
  TokenData data;
  data.account = winhost::Narrow(account.QualifiedName());
  data.user = account.sid;
  data.groups = account.groups;
  data.identity = account.identity;
  return data;
}

// The user a qualified name names in the system world, with its groups, or none.
std::optional<SystemAccount> SystemLogonAccount(const std::string& account) {
  SystemAccount named;
  if (SystemResolveName(WideOf(account), named) != ERROR_SUCCESS || named.use != SidTypeUser) return std::nullopt;
  SystemAccount user;
  if (SystemUserOfSid(named.sid, user) != ERROR_SUCCESS) return std::nullopt;
  return user;
}

// The token of a logon by `account`, with its partner when the account has a split logon.
std::optional<TokenObject> LogonToken(const std::string& account, ULONG contextAttributes) {
  TokenData data;
  if (InSystemWorld()) {
    auto user = SystemLogonAccount(account);
    if (!user) return std::nullopt;
    data = SystemTokenData(*user);
    data.account = account;
  } else {
    auto resolved = ResolveName(WideOf(account));
    if (!resolved || !IsUserAccount(resolved->sid)) return std::nullopt;
    data.account = account;
    data.user = resolved->sid;
    data.groups = GroupsOf(resolved->sid);
  }
  data.level = (contextAttributes & ASC_RET_DELEGATE) != 0 ? SecurityDelegation : SecurityImpersonation;
  if (Tokens().contextTokenKind) std::tie(data.type, data.level) = *Tokens().contextTokenKind;

  TokenObject token{data, std::nullopt};
  auto split = Tokens().splitLogons.find(account);
  if (split == Tokens().splitLogons.end()) return token;
  TokenData elevated = data;
  elevated.elevated = true;
  // A linked token handed to a caller without the TCB privilege identifies but cannot act.
  elevated.level = SecurityIdentification;
  for (const std::string& name : split->second) {
    std::optional<SidBytes> group;
    if (InSystemWorld()) {
      SystemAccount found;
      if (SystemResolveName(WideOf(name), found) == ERROR_SUCCESS) group = found.sid;
    } else if (auto resolved = ResolveName(WideOf(name))) {
      group = resolved->sid;
    }
    if (!group) continue;
    bool present = false;
    for (GroupEntry& entry : token.data.groups) {
      if (entry.sid != *group) continue;
      entry.attributes = kDenyOnly;
      present = true;
    }
    if (!present) {
      token.data.groups.push_back({*group, kDenyOnly});
      elevated.groups.push_back({*group, kEnabled});
    }
  }
  token.linked = elevated;
  return token;
}

// CheckTokenMembership's answer: only the user and the enabled groups count; a deny-only group is
// no membership.
BOOL Member(const TokenRef& token, const SidBytes& sid, PBOOL isMember) {
  bool member = !token->data.user.empty() && token->data.user == sid;
  for (const GroupEntry& group : token->data.groups)
    member = member || (group.sid == sid && (group.attributes & SE_GROUP_ENABLED) != 0 &&
                        (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0);
  *isMember = member ? TRUE : FALSE;
  return TRUE;
}

// System world: the token of a server context's client, the account its principal maps to by
// krb5's auth_to_local rules, or a token of Everyone and Authenticated Users for a principal that
// maps to none. NSS may wait: the world lock is let go meanwhile.
SECURITY_STATUS SystemContextToken(WorldLock& guard, PCtxtHandle context, HANDLE* token) {
  gss::Context* found = gss::FindContext(context);
  if (found == nullptr || token == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->client || !found->established || found->peer == GSS_C_NO_NAME) return SEC_E_NO_IMPERSONATION;
  const std::string client = gss::WindowsName(gss::NameText(found->peer));
  const std::optional<std::string> local = gss::LocalAccountOf(found->peer, found->actual);
  const uint32_t level = (found->attributes & ASC_RET_DELEGATE) != 0 ? SecurityDelegation : SecurityImpersonation;
  std::shared_ptr<gss::Delegation> delegation = found->delegation;
  guard.unlock();
  SystemAccount account;
  DWORD error = local ? SystemAccountNamed(*local, account) : static_cast<DWORD>(ERROR_NONE_MAPPED);
  if (error == ERROR_NONE_MAPPED) {
    const size_t slash = client.find('\\');
    account = slash == std::string::npos
                  ? SystemUnmappedAccount(u"", WideOf(client))
                  : SystemUnmappedAccount(WideOf(client.substr(0, slash)), WideOf(client.substr(slash + 1)));
    error = ERROR_SUCCESS;
  }
  guard.lock();
  if (error != ERROR_SUCCESS) return SEC_E_INTERNAL_ERROR;
  TokenData data = SystemTokenData(account);
  data.account = client;
  data.level = level;
  data.delegation = std::move(delegation);
  *token = NewHandle(std::make_shared<const TokenObject>(TokenObject{data, std::nullopt}), "context");
  return SEC_E_OK;
}

// Who a thread acts as for a client of no account: "nobody", who may read only what all may.
UnixIdentity NobodyIdentity() {
  SystemAccount nobody;
  if (SystemAccountNamed("nobody", nobody) == ERROR_SUCCESS && nobody.identity) return *nobody.identity;
  return UnixIdentity{65534, 65534, {65534}};
}

// Writes a fixed-size answer of GetTokenInformation, or fails as Windows does when it does not fit.
template <typename Value>
BOOL Answer(const Value& value, LPVOID information, DWORD length, PDWORD returnLength) {
  if (returnLength == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  *returnLength = sizeof(Value);
  if (information == nullptr || length < sizeof(Value)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(information, &value, sizeof(Value));
  return TRUE;
}

}  // namespace
}  // namespace detail

using namespace detail;

void SetMajorVersion(uint32_t major) {
  WorldGuard guard(WorldMutex());
  Tokens().majorVersion = major;
}

void SetSplitToken(const std::string& account, const std::vector<std::string>& elevatedGroups) {
  WorldGuard guard(WorldMutex());
  Tokens().splitLogons[account] = elevatedGroups;
}

void SetContextTokenKind(uint32_t type, uint32_t level) {
  WorldGuard guard(WorldMutex());
  Tokens().contextTokenKind = std::make_pair(type, level);
}

namespace detail {

bool RevertThreadToken() {
  if (InSystemWorld() && ActAsSelf() != 0) return false;
  threadToken.reset();
  return true;
}

std::optional<std::shared_ptr<gss::Delegation>> gss::ThreadDelegation() {
  if (!threadToken) return std::nullopt;
  return threadToken->data.delegation;
}

}  // namespace detail

std::optional<std::string> ThreadIdentity() {
  if (!threadToken) return std::nullopt;
  return Describe(threadToken->data);
}

}  // namespace winhost

using namespace winhost;
using namespace winhost::detail;

extern "C" {

SECURITY_STATUS SEC_ENTRY QuerySecurityContextToken(PCtxtHandle context, HANDLE* token) {
  WorldLock guard(WorldMutex());
  if (auto fault = Enter(Call{"QuerySecurityContextToken", {{"context", HandleText(context)}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) return SystemContextToken(guard, context, token);
  Context* found = FindContext(context);
  if (found == nullptr || token == nullptr) return SEC_E_INVALID_HANDLE;
  // Only a server that has authenticated its client has someone to give a token of.
  if (found->client || !found->established) return SEC_E_NO_IMPERSONATION;
  auto logon = LogonToken(found->peerUser, found->attributes);
  if (!logon) return SEC_E_NO_IMPERSONATION;
  *token = NewHandle(std::make_shared<const TokenObject>(*logon), "context");
  return SEC_E_OK;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                                DWORD informationLength, PDWORD returnLength) {
  WorldGuard guard(WorldMutex());
  Call call{"GetTokenInformation", {{"token", TokenText(token)},
                                    {"class", std::to_string(static_cast<int>(infoClass))},
                                    {"length", std::to_string(informationLength)}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  TokenRef found = FindToken(token);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  switch (infoClass) {
    case TokenType:
      return Answer(found->data.type, information, informationLength, returnLength);
    case TokenImpersonationLevel:
      // A primary token has no impersonation level.
      if (found->data.type != TokenImpersonation) return FailWith(ERROR_INVALID_PARAMETER);
      return Answer(found->data.level, information, informationLength, returnLength);
    case TokenLinkedToken: {
      if (!found->linked) return FailWith(ERROR_NO_SUCH_LOGON_SESSION);
      if (returnLength == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      *returnLength = sizeof(TOKEN_LINKED_TOKEN);
      if (information == nullptr || informationLength < sizeof(TOKEN_LINKED_TOKEN))
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
      auto partner = std::make_shared<const TokenObject>(TokenObject{*found->linked, found->data});
      static_cast<TOKEN_LINKED_TOKEN*>(information)->LinkedToken = NewHandle(std::move(partner), "linked");
      return TRUE;
    }
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
}

BOOL WINAPI ImpersonateLoggedOnUser(HANDLE token) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"ImpersonateLoggedOnUser", {{"token", TokenText(token)}}})) return FailWith(*fault);
  TokenRef found = FindToken(token);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  // System world: the thread acts as the account, and only where the process may let it.
  if (InSystemWorld()) {
    const int error = ActAs(found->data.identity ? *found->data.identity : NobodyIdentity());
    if (error != 0) return FailWith(error == EPERM ? ERROR_PRIVILEGE_NOT_HELD : ERROR_ACCESS_DENIED);
  }
  // The thread gets an impersonation token of its own; a primary token is duplicated into one.
  auto own = std::make_shared<TokenObject>(*found);
  if (own->data.type == TokenPrimary) {
    own->data.type = TokenImpersonation;
    own->data.level = SecurityImpersonation;
  }
  threadToken = std::move(own);
  return TRUE;
}

BOOL WINAPI RevertToSelf(void) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"RevertToSelf", {{"was", threadToken ? Describe(threadToken->data) : "self"}}}))
    return FailWith(*fault);
  return RevertThreadToken() ? TRUE : FailWith(ERROR_ACCESS_DENIED);
}

HANDLE WINAPI GetCurrentThread(void) {
  Enter(Call{"GetCurrentThread", {}});
  return kCurrentThread;
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf, PHANDLE token) {
  WorldGuard guard(WorldMutex());
  Call call{"OpenThreadToken", {{"thread", thread == kCurrentThread ? "current" : "other"},
                                {"access", FlagsText(desiredAccess)},
                                {"openAsSelf", std::to_string(openAsSelf)}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (thread != kCurrentThread || token == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  if (!threadToken) return FailWith(ERROR_NO_TOKEN);
  if (threadToken->data.level == SecurityAnonymous) return FailWith(ERROR_CANT_OPEN_ANONYMOUS);
  *token = NewHandle(threadToken, "thread");
  return TRUE;
}

BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sidToCheck, PBOOL isMember) {
  WorldLock guard(WorldMutex());
  auto sid = ReadSid(sidToCheck);
  Call call{"CheckTokenMembership", {{"token", TokenText(token)}, {"sid", sid ? SidText(*sid) : "invalid"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (isMember == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (!sid) return FailWith(ERROR_INVALID_SID);
  // Without a token Windows asks the thread's impersonation token, else the process's own; the
  // process's own is the real account's in the system world.
  if (token == nullptr && InSystemWorld() && !threadToken) {
    guard.unlock();  // NSS names the process's ids and groups
    TokenRef self = std::make_shared<const TokenObject>(TokenObject{SystemTokenData(SystemProcessAccount()), std::nullopt});
    return Member(self, *sid, isMember);
  }
  TokenRef found = token == nullptr && InSystemWorld() ? threadToken : FindToken(token);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  if (found->data.type != TokenImpersonation) return FailWith(ERROR_NO_IMPERSONATION_TOKEN);
  return Member(found, *sid, isMember);
}

BOOL WINAPI CloseHandle(HANDLE object) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"CloseHandle", {{"handle", object == kCurrentThread ? "current thread" : TokenText(object)}}}))
    return FailWith(*fault);
  // Closing a pseudo-handle does nothing.
  if (object == kCurrentThread) return TRUE;
  if (Tokens().handles.erase(reinterpret_cast<uintptr_t>(object)) == 0) return FailWith(ERROR_INVALID_HANDLE);
  AddLive("token", -1);
  return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA versionInfo) {
  WorldGuard guard(WorldMutex());
  Call call{"GetVersionExA", {{"size", versionInfo ? std::to_string(versionInfo->dwOSVersionInfoSize) : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (versionInfo == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (versionInfo->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  versionInfo->dwMajorVersion = Tokens().majorVersion;
  versionInfo->dwMinorVersion = 0;
  versionInfo->dwBuildNumber = Tokens().majorVersion >= 10 ? 19045 : 2600;
  versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(versionInfo->szCSDVersion, 0, sizeof versionInfo->szCSDVersion);
  return TRUE;
}

}  // extern "C"
