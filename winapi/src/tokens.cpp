// Access tokens of the stand-in host: the token of a server context's client, per-thread
// impersonation, token queries and membership, handle closing and the version.
#include <cstring>
#include <new>
#include <optional>

#include "common/journal.h"
#include "common/sspi.h"
#include "common/text.h"
#include "common/tokens.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

extern "C" {

SECURITY_STATUS SEC_ENTRY QuerySecurityContextToken(PCtxtHandle context, HANDLE* token) {
  WorldLock lock(WorldMutex());
  if (auto fault = Enter(Call{"QuerySecurityContextToken", {{"context", HandleText(context)}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  return world::ContextToken(lock, context, token);
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
  return TokenInformation(found, infoClass, information, informationLength, returnLength);
}

BOOL WINAPI ImpersonateLoggedOnUser(HANDLE token) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"ImpersonateLoggedOnUser", {{"token", TokenText(token)}}})) return FailWith(*fault);
  TokenRef found = FindToken(token);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  // Everything the thread's new state needs is made before its identity changes, so that nothing
  // can fail after the switch.
  TokenRef own = ImpersonationTokenOf(*found);
  if (DWORD error = world::Impersonate(*found); error != ERROR_SUCCESS) return FailWith(error);
  AdoptThreadToken(std::move(own));
  return TRUE;
}

BOOL WINAPI RevertToSelf(void) {
  WorldGuard guard(WorldMutex());
  // A journal entry that cannot be had is left out: nothing may keep a thread as its client.
  std::optional<uint32_t> fault;
  try {
    fault = Enter(Call{"RevertToSelf", {{"was", ThreadToken() ? Describe(ThreadToken()->data) : "self"}}});
  } catch (const std::bad_alloc&) {
  }
  if (fault) return FailWith(*fault);
  return world::RevertThread() ? TRUE : FailWith(ERROR_ACCESS_DENIED);
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
  if (!ThreadToken()) return FailWith(ERROR_NO_TOKEN);
  if (ThreadToken()->data.level == SecurityAnonymous) return FailWith(ERROR_CANT_OPEN_ANONYMOUS);
  *token = NewTokenHandle(ThreadToken(), "thread");
  return TRUE;
}

BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sidToCheck, PBOOL isMember) {
  WorldLock lock(WorldMutex());
  auto sid = ReadSid(sidToCheck);
  Call call{"CheckTokenMembership", {{"token", TokenText(token)}, {"sid", sid ? SidText(*sid) : "invalid"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (isMember == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (!sid) return FailWith(ERROR_INVALID_SID);
  TokenRef found = token == nullptr ? world::DefaultToken(lock) : FindToken(token);
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
  return CloseTokenHandle(object) ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA versionInfo) {
  WorldGuard guard(WorldMutex());
  Call call{"GetVersionExA", {{"size", versionInfo ? std::to_string(versionInfo->dwOSVersionInfoSize) : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (versionInfo == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (versionInfo->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  versionInfo->dwMajorVersion = MajorVersion();
  versionInfo->dwMinorVersion = 0;
  versionInfo->dwBuildNumber = MajorVersion() >= 10 ? 19045 : 2600;
  versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(versionInfo->szCSDVersion, 0, sizeof versionInfo->szCSDVersion);
  return TRUE;
}

}  // extern "C"
