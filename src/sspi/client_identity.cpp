// The server's view of its client: SSPI.GetClientUserName, SSPI.StartImpersonating,
// SSPI.StopImpersonating and SSPI.IsGroupMember. All four work on established server contexts.
//
// Impersonation goes through the client's access token and ImpersonateLoggedOnUser, so that the
// thread's identity is the token's, whatever the package would do with the context itself.
#include <atomic>
#include <cstring>
#include <memory>

#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/owned_handles.h"
#include "userauth/account_names.h"

namespace {

// An established server context, held, or empty with the refusal pending.
HeldContext HoldEstablishedServer(JNIEnv* env, jint handle) {
  return HoldSecurityContextFor(env, handle, ContextSide::Server, {kStateSuccess});
}

// Whether the system is Vista or later, asked once per process; a failed probe is not remembered.
// Threads checking membership on different contexts may probe at once, and all find the same.
enum VersionProbe : int { kNotProbed, kBefore6, kVersion6OrLater };
std::atomic<int> versionProbe{kNotProbed};

static_assert(sizeof(OSVERSIONINFOA) == 148, "GetVersionExA is told the size of the ANSI record");

DWORD IsVersion6OrLater(bool& answer) {
  int probed = versionProbe.load(std::memory_order_relaxed);
  if (probed == kNotProbed) {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // the version is wanted as the system reports it
#endif
    if (!GetVersionExA(&version)) return GetLastError();
    probed = version.dwMajorVersion > 5 ? kVersion6OrLater : kBefore6;
    versionProbe.store(probed, std::memory_order_relaxed);
  }
  answer = probed == kVersion6OrLater;
  return ERROR_SUCCESS;
}

// The linked token of a split logon into `linked`, left empty where there is none: before Vista
// no system has one, and the query's two "none" errors are no failure.
DWORD GetLinkedToken(HANDLE token, AccessToken& linked) {
  bool version6OrLater = false;
  if (DWORD error = IsVersion6OrLater(version6OrLater); error != ERROR_SUCCESS) return error;
  if (!version6OrLater) return ERROR_SUCCESS;
  TOKEN_LINKED_TOKEN information = {nullptr};
  DWORD length = 0;
  if (GetTokenInformation(token, TokenLinkedToken, &information, sizeof information, &length)) {
    linked.Adopt(information.LinkedToken);
    return ERROR_SUCCESS;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_NO_SUCH_LOGON_SESSION || error == ERROR_PRIVILEGE_NOT_HELD) return ERROR_SUCCESS;
  return error;
}

// Opens the calling thread's impersonation token into `threadToken` and tests `groupSid` against
// it. 0, or the error of the call that failed.
DWORD CheckThreadMembership(std::vector<uint8_t>& groupSid, AccessToken& threadToken, BOOL& isMember) {
  HANDLE handle = nullptr;
  if (!OpenThreadToken(GetCurrentThread(),              // the thread that impersonates
                       TOKEN_QUERY | TOKEN_DUPLICATE,   // enough to test membership
                       TRUE,                            // opened as the process, not as the client
                       &handle))
    return GetLastError();
  threadToken.Adopt(handle);
  if (!CheckTokenMembership(threadToken.get(), groupSid.data(), &isMember)) return GetLastError();
  return ERROR_SUCCESS;
}

jstring GetClientUserName(JNIEnv* env, jint handle) {
  HeldContext record = HoldEstablishedServer(env, handle);
  if (!record) return nullptr;
  SecPkgContext_NamesW names = {nullptr};
  if (SECURITY_STATUS status = QueryContextAttributesW(record->context, SECPKG_ATTR_NAMES, &names); status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return nullptr;
  }
  ContextBuffer packageName(names.sUserName);
  const WideString userName = FromWide(names.sUserName);
  packageName.Free();
  return WideToJavaString(env, StripLocalDomain(userName));
}

void StartImpersonating(JNIEnv* env, jint handle) {
  HeldContext record = HoldEstablishedServer(env, handle);
  if (!record) return;
  if (record->impersonating) {
    ThrowWinAuthException(env, messages::kAlreadyImpersonating);
    return;
  }
  AccessToken token;
  if (SECURITY_STATUS status = QueryClientToken(record->context, token); status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return;
  }
  // Made before the thread changes identity, so that nothing can fail once it has.
  std::unique_ptr<ThreadImpersonation> impersonation = PrepareThreadImpersonation();
  if (!ImpersonateLoggedOnUser(token.get())) {
    ThrowPlatformError(env, GetLastError());
    return;
  }
  record->impersonating = true;
  record->impersonation = impersonation.release();
  BeginThreadImpersonation(record->impersonation);
  // The thread keeps a reference of its own; the handle is no longer needed.
  token.Close();
}

void StopImpersonating(JNIEnv* env, jint handle) {
  HeldContext record = HoldEstablishedServer(env, handle);
  if (!record) return;
  if (!record->impersonating) {
    ThrowWinAuthException(env, messages::kNotImpersonating);
    return;
  }
  // Only the thread that impersonates through the context is reverted, and only here. Another
  // thread's impersonation ends at that thread's next call into the library; one that this thread
  // has since replaced by another leaves the thread as it is.
  if (IsThreadImpersonation(record->impersonation) && !RevertToSelf()) {
    ThrowPlatformError(env, GetLastError());
    return;
  }
  EndThreadImpersonation(record->impersonation, true);
  record->impersonation = nullptr;
  record->impersonating = false;
}

jboolean IsGroupMember(JNIEnv* env, jint handle, jstring groupName) {
  if (groupName == nullptr) {
    ThrowWinAuthException(env, messages::kGroupNameCannotBeNull);
    return JNI_FALSE;
  }
  HeldContext record = HoldEstablishedServer(env, handle);
  if (!record) return JNI_FALSE;
  const WideString name = JavaNameToWide(env, groupName);
  std::vector<uint8_t> groupSid;
  if (DWORD error = ResolveGroupSid(name, groupSid); error != ERROR_SUCCESS) {
    ThrowGroupResolutionFailure(env, error);
    return JNI_FALSE;
  }

  // Declared in this order so that they close linked, thread, context, whichever were obtained.
  AccessToken contextToken;
  AccessToken threadToken;
  AccessToken linkedToken;
  if (SECURITY_STATUS status = QueryClientToken(record->context, contextToken); status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return JNI_FALSE;
  }
  if (DWORD error = GetLinkedToken(contextToken.get(), linkedToken); error != ERROR_SUCCESS) {
    ThrowPlatformError(env, error);
    return JNI_FALSE;
  }
  // A split logon's linked token is the full one: its groups are what the client really holds.
  if (!ImpersonateLoggedOnUser(linkedToken ? linkedToken.get() : contextToken.get())) {
    ThrowPlatformError(env, GetLastError());
    return JNI_FALSE;
  }
  BOOL isMember = FALSE;
  DWORD checkError;
  try {
    checkError = CheckThreadMembership(groupSid, threadToken, isMember);
  } catch (...) {
    // Whatever stops the check, the thread does not leave as the client.
    RevertToSelf();
    throw;
  }
  // The thread gives the client's identity back whatever the check gave, and before the JVM is
  // asked to make an exception, which may load classes. A thread that cannot go back must not
  // carry on as the client unnoticed: that failure outranks any answer.
  if (!RevertToSelf()) {
    ThrowPlatformError(env, GetLastError());
    return JNI_FALSE;
  }
  if (checkError != ERROR_SUCCESS) {
    ThrowPlatformError(env, checkError);
    return JNI_FALSE;
  }
  return isMember ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(JNIEnv* env, jclass,
                                                                                        jint handle) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetClientUserName(env, handle); });
}

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_StartImpersonating(JNIEnv* env, jclass,
                                                                                      jint handle) {
  GuardedEntry(env, [&] { StartImpersonating(env, handle); });
}

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_StopImpersonating(JNIEnv* env, jclass,
                                                                                     jint handle) {
  GuardedEntry(env, [&] { StopImpersonating(env, handle); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_IsGroupMember(JNIEnv* env, jclass,
                                                                                     jint handle,
                                                                                     jstring groupName) {
  return GuardedEntry(env, jboolean{JNI_FALSE}, [&] { return IsGroupMember(env, handle, groupName); });
}
