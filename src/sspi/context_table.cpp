#include "sspi/context_table.h"

#include <limits>

#include "bridge/jni_bridge.h"
#include "bridge/messages.h"

CRITICAL_SECTION LibraryLock;
ContextTable& SecurityContextTable = *new ContextTable();
jint LastContextHandle = 1;

ContextTable::iterator FindSecurityContextPosition(jint handle) { return SecurityContextTable.Position(handle); }

SecurityContextRecord* FindSecurityContext(jint handle) { return SecurityContextTable.Find(handle); }

SecurityContextRecord* FindSecurityContextOrThrow(JNIEnv* env, jint handle) {
  SecurityContextRecord* record = FindSecurityContext(handle);
  if (record == nullptr) ThrowWinAuthException(env, messages::kInvalidHandle);
  return record;
}

SecurityContextRecord* FindSecurityContextFor(JNIEnv* env, jint handle, ContextSide side,
                                              std::initializer_list<ContextState> states) {
  SecurityContextRecord* record = FindSecurityContextOrThrow(env, handle);
  if (record == nullptr) return nullptr;
  if ((side == ContextSide::Client && !record->isClient) || (side == ContextSide::Server && record->isClient)) {
    ThrowWinAuthException(env, messages::kWrongContextType);
    return nullptr;
  }
  for (ContextState allowed : states)
    if (record->state == allowed) return record;
  ThrowWinAuthException(env, messages::kInvalidState);
  return nullptr;
}

bool IssueContextHandle(jint& handle) {
  if (LastContextHandle == std::numeric_limits<jint>::max()) return false;
  handle = ++LastContextHandle;
  return true;
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
  for (const auto& record : SecurityContextTable) EndThreadImpersonation(record->impersonation, false);
  SecurityContextTable.clear();
}
