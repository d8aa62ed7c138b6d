// Extensions.GetDelegationLimit: what the domain says of a server context's client that stops every
// service from acting as it onward, so that a refused second hop can name its reason. Protected
// Users shows in the client's token; "sensitive and cannot be delegated" is a flag of the account
// that only its domain's controllers hold.
#include <cstring>
#include <vector>

#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/owned_handles.h"

namespace {

constexpr jint kProtectedUsers = 0x1;
constexpr jint kNotDelegated = 0x2;
constexpr jint kAccountFlagsRead = 0x4;
// Protected Users is this relative ID in the user's own domain.
constexpr DWORD kProtectedUsersRid = 525;
// User and domain names; a DNS domain name can be far longer than a NetBIOS one.
constexpr DWORD kNameUnits = 257;

// The client's SID as its token gives it: Windows' SID layout, copied out of the answer.
std::vector<BYTE> UserSid(HANDLE token) {
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  if (length < sizeof(TOKEN_USER)) return {};
  std::vector<BYTE> answer(length);
  if (!GetTokenInformation(token, TokenUser, answer.data(), length, &length)) return {};
  const BYTE* sid = static_cast<const BYTE*>(reinterpret_cast<const TOKEN_USER*>(answer.data())->User.Sid);
  if (sid == nullptr) return {};
  return std::vector<BYTE>(sid, sid + 8 + 4 * static_cast<size_t>(sid[1]));
}

// A domain account's SID (S-1-5-21-a-b-c-rid) with the rid of `rid`; empty for any other SID,
// whose authority has no such group.
std::vector<BYTE> InSameDomain(std::vector<BYTE> sid, DWORD rid) {
  static const BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
  // Revision, count, the six bytes of the authority, then the sub-authorities of four bytes each.
  if (sid.size() < 8 + 4 * 5 || sid[0] != SID_REVISION || sid.size() != 8 + 4 * static_cast<size_t>(sid[1]) ||
      std::memcmp(sid.data() + 2, kNtAuthority, 6) != 0)
    return {};
  DWORD first = 0;
  std::memcpy(&first, sid.data() + 8, sizeof first);
  if (first != 21) return {};
  std::memcpy(sid.data() + sid.size() - 4, &rid, sizeof rid);
  return sid;
}

bool InProtectedUsers(HANDLE token, const std::vector<BYTE>& user) {
  std::vector<BYTE> group = InSameDomain(user, kProtectedUsersRid);
  BOOL member = FALSE;
  return !group.empty() && CheckTokenMembership(token, group.data(), &member) && member;
}

// Asked of a controller of the account's domain, as this process: kAccountFlagsRead, with
// kNotDelegated when the account is so marked; 0 when no controller tells (a client without a
// domain, a domain whose controller does not answer or does not know the account).
jint AccountLimits(std::vector<BYTE> user) {
  WCHAR name[kNameUnits] = {};
  WCHAR domain[kNameUnits] = {};
  DWORD nameUnits = kNameUnits;
  DWORD domainUnits = kNameUnits;
  SID_NAME_USE use = SidTypeUnknown;
  if (!LookupAccountSidW(nullptr, user.data(), name, &nameUnits, domain, &domainUnits, &use) || use != SidTypeUser)
    return 0;
  LPBYTE controller = nullptr;
  if (NetGetAnyDCName(nullptr, domain, &controller) != NERR_Success) return 0;
  LPBYTE answer = nullptr;
  const NET_API_STATUS status = NetUserGetInfo(reinterpret_cast<LPCWSTR>(controller), name, 1, &answer);
  NetApiBufferFree(controller);
  if (status != NERR_Success) return 0;
  const bool marked = (reinterpret_cast<const USER_INFO_1*>(answer)->usri1_flags & UF_NOT_DELEGATED) != 0;
  NetApiBufferFree(answer);
  return kAccountFlagsRead | (marked ? kNotDelegated : 0);
}

jint GetDelegationLimit(JNIEnv* env, jint handle) {
  AccessToken token;
  {
    // The context is held only while its token is taken: the directory may keep the caller waiting.
    HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Server, {kStateSuccess});
    if (!record) return 0;
    if (SECURITY_STATUS status = QueryClientToken(record->context, token); status != SEC_E_OK) {
      ThrowPlatformError(env, static_cast<uint32_t>(status));
      return 0;
    }
  }
  const std::vector<BYTE> user = UserSid(token.get());
  if (user.empty()) return 0;
  jint limits = InProtectedUsers(token.get(), user) ? kProtectedUsers : 0;
  token.Close();
  limits |= AccountLimits(user);
  return limits;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_Extensions_GetDelegationLimit(JNIEnv* env, jclass,
                                                                                            jint handle) {
  return GuardedEntry(env, jint{0}, [&] { return GetDelegationLimit(env, handle); });
}
