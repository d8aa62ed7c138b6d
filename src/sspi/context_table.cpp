#include "sspi/context_table.h"

#include "bridge/entry.h"
#include "bridge/jni_bridge.h"
#include "bridge/messages.h"

CRITICAL_SECTION LibraryLock;
ContextTable& SecurityContextTable = *new ContextTable();
jint LastContextHandle = 1;

SecurityContextRecord* FindSecurityContext(jint handle) { return SecurityContextTable.Find(handle); }

HeldContext HoldSecurityContextOrThrow(JNIEnv* env, jint handle) {
  std::shared_ptr<SecurityContextRecord> shared;
  {
    LockGuard lock(LibraryLock);
    shared = SecurityContextTable.Share(handle);
  }
  HeldContext record(std::move(shared));
  if (!record) ThrowWinAuthException(env, messages::kInvalidHandle);
  return record;
}

HeldContext HoldSecurityContextFor(JNIEnv* env, jint handle, ContextSide side,
                                   std::initializer_list<ContextState> states) {
  HeldContext record = HoldSecurityContextOrThrow(env, handle);
  if (!record) return record;
  if ((side == ContextSide::Client && !record->isClient) || (side == ContextSide::Server && record->isClient)) {
    ThrowWinAuthException(env, messages::kWrongContextType);
    return HeldContext();
  }
  for (ContextState allowed : states)
    if (record->state == allowed) return record;
  ThrowWinAuthException(env, messages::kInvalidState);
  return HeldContext();
}

bool QueryContextSizes(SecurityContextRecord& record, JNIEnv* env) {
  SECURITY_STATUS status = QueryContextAttributesW(record.context, SECPKG_ATTR_SIZES, &record.sizes);
  if (status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return false;
  }
  if (record.sizes.cbSecurityTrailer != 0) record.trailerBuffer.resize(record.sizes.cbSecurityTrailer);
  if (record.sizes.cbBlockSize != 0) record.blockBuffer.resize(record.sizes.cbBlockSize);
  return true;
}

SECURITY_STATUS ReleaseContextResources(SecurityContextRecord& record) {
  SECURITY_STATUS reverted = SEC_E_OK;
  if (!record.isClient && record.impersonating) {
    if (IsThreadImpersonation(record.impersonation)) {
      reverted = RevertSecurityContext(record.context);
      // The thread impersonates through the client's token, so RevertToSelf undoes it as well; only
      // when neither works does the thread stay the client's, and the caller must say so.
      if (reverted != SEC_E_OK && RevertToSelf()) reverted = SEC_E_OK;
    }
    EndThreadImpersonation(record.impersonation, reverted == SEC_E_OK);
    record.impersonation = nullptr;
    record.impersonating = false;
  }
  DeleteSecurityContext(record.context);
  FreeCredentialsHandle(record.credential);
  delete record.credential;
  delete record.context;
  record.credential = nullptr;
  record.context = nullptr;
  return reverted;
}

void DiscardSecurityContexts() {
  // Unload comes when no thread calls the library any more, so no record's lock is wanted.
  for (const auto& record : SecurityContextTable) EndThreadImpersonation(record->impersonation, false);
  SecurityContextTable.clear();
}
