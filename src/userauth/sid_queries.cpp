// UserAuth.GetUserSID and UserAuth.IsGroupMember: an account's SID as text, and membership tests
// against the groups captured in a user context.
#include <cstring>

#include "bridge/entry.h"
#include "userauth/account_names.h"
#include "userauth/authorization_state.h"

namespace {

// Releases text that ConvertSidToStringSidA allocated.
struct LocalText {
  LPSTR text = nullptr;
  LocalText() = default;
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  ~LocalText() {
    if (text != nullptr) LocalFree(text);
  }
};

jstring GetUserSID(JNIEnv* env, jstring accountName) {
  const WideString name = JavaNameToWide(env, accountName);
  std::vector<uint8_t> sidBytes;
  std::vector<uint8_t> domainNameBytes;
  SID_NAME_USE use;
  if (LookupAccount(name, sidBytes, domainNameBytes, use) != ERROR_SUCCESS) return nullptr;
  LocalText sidText;
  // Without the text there is nothing to hand back; null, as for a name that cannot be resolved.
  if (!ConvertSidToStringSidA(sidBytes.data(), &sidText.text) || sidText.text == nullptr) return nullptr;
  return env->NewStringUTF(sidText.text);
}

jboolean IsGroupMember(JNIEnv* env, jint handle, jstring groupName) {
  if (!AuthorizationState().initialized) {
    ThrowWinAuthException(env, messages::kNotInitialized);
    return JNI_FALSE;
  }
  HeldUserContext record = HoldUserContext(handle);
  if (!record) {
    ThrowWinAuthException(env, messages::kInvalidHandle);
    return JNI_FALSE;
  }
  const WideString name = JavaNameToWide(env, groupName);
  std::vector<uint8_t> groupSid;
  if (DWORD error = ResolveGroupSid(name, groupSid); error != ERROR_SUCCESS) {
    ThrowGroupResolutionFailure(env, error);
    return JNI_FALSE;
  }
  // Every captured SID counts, whatever its attributes; the account's own SID is not among them.
  // A block too short for its count holds no groups.
  if (record->groupBytes.size() < sizeof(TOKEN_GROUPS)) return JNI_FALSE;
  const TOKEN_GROUPS* groups = record->groups();
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (EqualSid(groupSid.data(), groups->Groups[i].Sid)) return JNI_TRUE;
    // SIDs that differ give FALSE with ERROR_SUCCESS; any other error is a failure, which must not
    // pass for "not a member".
    if (DWORD error = GetLastError(); error != ERROR_SUCCESS) {
      ThrowPlatformError(env, error);
      return JNI_FALSE;
    }
  }
  return JNI_FALSE;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_UserAuth_GetUserSID(JNIEnv* env, jclass,
                                                                                     jstring accountName) {
  return GuardedEntry(env, static_cast<jstring>(nullptr), [&] { return GetUserSID(env, accountName); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_UserAuth_IsGroupMember(JNIEnv* env, jclass,
                                                                                          jint handle,
                                                                                          jstring groupName) {
  return GuardedEntry(env, jboolean{JNI_FALSE}, [&] { return IsGroupMember(env, handle, groupName); });
}
