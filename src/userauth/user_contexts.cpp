// UserAuth.CreateUserContext and UserAuth.FreeHandle: an Authz client context for a named account,
// with the account's groups captured at creation, and its release.
#include "bridge/entry.h"
#include "userauth/account_names.h"
#include "userauth/authorization_state.h"

namespace {

constexpr char16_t kQualifierSeparator = u'\\';

// A name passes only with a non-empty qualifier before its first backslash; this looks at the form
// alone, so a name qualified with this computer's own name passes.
bool IsQualified(const WideString& name) {
  const size_t separator = name.find(kQualifierSeparator);
  return separator != WideString::npos && separator > 0;
}

// UserNotFoundException with an empty message for a name no account bears, otherwise the platform
// error; without the class the failure is still reported, as a platform error.
void ThrowAccountLookupFailure(JNIEnv* env, DWORD code) {
  jclass userNotFound = env->FindClass(javaclass::kUserNotFoundException);
  if (userNotFound == nullptr) {
    env->ExceptionClear();
  } else if (code == ERROR_NONE_MAPPED) {
    env->ThrowNew(userNotFound, "");
    env->DeleteLocalRef(userNotFound);
    return;
  }
  env->DeleteLocalRef(userNotFound);
  ThrowPlatformError(env, code);
}

// Fills the new record: the account's SID, its Authz client context and the groups captured with
// it. False, with the Java exception pending, when a step fails.
bool BuildUserContext(JNIEnv* env, const WideString& accountName, UserContextRecord& record) {
  if (DWORD error = LookupAccount(accountName, record.sidBytes, record.domainNameBytes, record.sidNameUse);
      error != ERROR_SUCCESS) {
    ThrowAccountLookupFailure(env, error);
    return false;
  }

  const LUID noIdentifier = {0, 0};
  if (!AuthzInitializeContextFromSid(0,                                     // no flags
                                     record.sid(),                          // the account
                                     AuthorizationState().resourceManager,  // the process's manager
                                     nullptr,                               // never expires
                                     noIdentifier,                          // identifier {0, 0}
                                     nullptr,                               // no dynamic groups
                                     &record.authzContext)) {
    record.authzContext = nullptr;
    ThrowPlatformError(env, GetLastError());
    return false;
  }

  DWORD groupsSize = 0;
  const BOOL sized = AuthzGetInformationFromContext(record.authzContext, AuthzContextInfoGroupsSids, 0, &groupsSize,
                                                    nullptr);
  // The size query cannot succeed with no buffer; if it ever did, there would be nothing to size.
  const DWORD sizeError = sized ? ERROR_INVALID_PARAMETER : GetLastError();
  if (sizeError != ERROR_INSUFFICIENT_BUFFER) {
    ThrowPlatformError(env, sizeError);
    return false;
  }
  record.groupBytes.assign(groupsSize, 0);
  if (!AuthzGetInformationFromContext(record.authzContext, AuthzContextInfoGroupsSids, groupsSize, &groupsSize,
                                      record.groupBytes.data())) {
    ThrowPlatformError(env, GetLastError());
    return false;
  }
  return true;
}

jint CreateUserContext(JNIEnv* env, jstring accountName) {
  if (!AuthorizationState().initialized) {
    ThrowWinAuthException(env, messages::kNotInitialized);
    return 0;
  }
  const WideString name = JavaNameToWide(env, accountName);
  if (!IsQualified(name)) {
    ThrowWinAuthException(env, messages::kLocalUsersNotAllowed);
    return 0;
  }

  // The account lookup, which may wait on a controller, runs outside the family's lock: the record
  // is on the table meanwhile, its own lock held, so that handles stay in order.
  AuthorizationStateRecord& state = AuthorizationState();
  NewRecord<UserContextRecord> record(state.UserAuthLock, state.userContexts, state.LastUserContextHandle,
                                      [](UserContextRecord& abandoned) { ReleaseUserContext(abandoned); });
  if (!record.Open(std::make_shared<UserContextRecord>())) {
    ThrowWinAuthException(env, messages::kHandleLimitReached);
    return 0;
  }
  if (!BuildUserContext(env, name, *record)) return 0;
  return record.Commit();
}

void FreeHandle(jint handle) {
  std::shared_ptr<UserContextRecord> removed;
  {
    LockGuard lock(AuthorizationState().UserAuthLock);
    removed = AuthorizationState().userContexts.Take(handle);
  }
  // A check under way on the record finishes first; one still waiting then finds it released.
  HeldUserContext record(std::move(removed));
  if (!record) return;
  ReleaseUserContext(*record);
  record->released = true;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_UserAuth_CreateUserContext(JNIEnv* env, jclass,
                                                                                         jstring accountName) {
  return GuardedEntry(env, jint{0}, [&] { return CreateUserContext(env, accountName); });
}

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_UserAuth_FreeHandle(JNIEnv* env, jclass, jint handle) {
  GuardedEntry(env, [&] { FreeHandle(handle); });
}
