#include "userauth/authorization_state.h"

#include <new>

#include "bridge/entry.h"

AuthorizationStateRecord& AuthorizationState() {
  // Built in static storage rather than on the heap, so that making it at load cannot fail for
  // memory; its empty strings and table allocate nothing until used.
  alignas(AuthorizationStateRecord) static unsigned char storage[sizeof(AuthorizationStateRecord)];
  static AuthorizationStateRecord* state = new (storage) AuthorizationStateRecord();
  return *state;
}

namespace {

// Room for a name of up to 259 characters and its terminator.
constexpr DWORD kNameBufferLength = MAX_PATH;

// The referenced domain name of the built-in domain, S-1-5-32, which each system names in its own
// language. 0, or the Windows error of the call that failed.
DWORD LookupBuiltinDomainName(WideString& domainName) {
  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  PSID builtinSid = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_BUILTIN_DOMAIN_RID, 0, 0, 0, 0, 0, 0, 0, &builtinSid))
    return GetLastError();

  WCHAR accountName[kNameBufferLength] = {0};
  WCHAR referencedDomain[kNameBufferLength] = {0};
  DWORD accountNameLength = kNameBufferLength;
  DWORD referencedDomainLength = kNameBufferLength;
  SID_NAME_USE use;
  const BOOL found = LookupAccountSidW(nullptr,                  // the local system
                                       builtinSid,               // S-1-5-32
                                       accountName,              // not used
                                       &accountNameLength,       // in: capacity
                                       referencedDomain,         // the name wanted
                                       &referencedDomainLength,  // in: capacity
                                       &use);                    // not used
  const DWORD error = found ? ERROR_SUCCESS : GetLastError();
  FreeSid(builtinSid);
  if (!found) return error;
  domainName = FromWide(referencedDomain);
  return ERROR_SUCCESS;
}

DWORD SetUpAuthorization(AuthorizationStateRecord& state) {
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT,  // no audit events
                                      nullptr,                 // no dynamic access check
                                      nullptr,                 // no dynamic groups
                                      nullptr,                 // nothing to free for them
                                      nullptr,                 // no resource manager name
                                      &state.resourceManager))
    return GetLastError();

  WCHAR hostName[kNameBufferLength] = {0};
  DWORD hostNameLength = kNameBufferLength;
  if (!GetComputerNameExW(ComputerNameDnsHostname, hostName, &hostNameLength)) return GetLastError();
  state.localComputerName = FromWide(hostName);

  if (DWORD error = LookupBuiltinDomainName(state.builtinDomainName); error != ERROR_SUCCESS) return error;

  state.initialized = true;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD InitializeAuthorizationState() {
  AuthorizationStateRecord& state = AuthorizationState();
  InitializeFamilyLock(state.UserAuthLock);
  state.LastUserContextHandle = 1;
  // Set-up runs inside the load notification, which nothing may leave by an exception: a name
  // that cannot be copied for lack of memory fails the set-up like any other step.
  try {
    return SetUpAuthorization(state);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

void ReleaseAuthorizationState() {
  AuthorizationStateRecord& state = AuthorizationState();
  EnterCriticalSection(&state.UserAuthLock);
  // Inside the unload notification too nothing may escape; whatever happens, the lock is left and
  // deleted.
  try {
    // Every client context goes back before the resource manager that made it.
    for (auto& record : state.userContexts) ReleaseUserContext(*record);
    state.userContexts.clear();
    // Called even when set-up never made one; the failure for a null handle is of no interest.
    AuthzFreeResourceManager(state.resourceManager);
  } catch (...) {
  }
  state.resourceManager = nullptr;
  state.initialized = false;
  LeaveCriticalSection(&state.UserAuthLock);
  DeleteCriticalSection(&state.UserAuthLock);
}

HeldUserContext HoldUserContext(jint handle) {
  std::shared_ptr<UserContextRecord> shared;
  {
    LockGuard lock(AuthorizationState().UserAuthLock);
    shared = AuthorizationState().userContexts.Share(handle);
  }
  return HeldUserContext(std::move(shared));
}

void ReleaseUserContext(UserContextRecord& record) {
  if (record.authzContext != nullptr) AuthzFreeContext(record.authzContext);
  record.authzContext = nullptr;
}
