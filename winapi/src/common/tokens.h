// Access tokens as both worlds hand them out: an immutable object behind any number of counted
// handles; a thread that impersonates holds a reference of its own, as on Windows, so closing
// every handle leaves the thread as it is.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/sids.h"
#include "winhost/token.h"

namespace winhost::common {

// Who an account is to the kernel: what a thread that acts as it switches to.
struct UnixIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, the primary one included
};

// What a logon keeps for authenticating onward as its account, where a world keeps anything: the
// system world's credential that a client delegated. Shared by the tokens of that logon.
class LogonCredentials {
 public:
  virtual ~LogonCredentials() = default;
};

// What one token says about its account.
struct TokenData {
  std::string account;  // "WINHOST\appuser", for the journal and ThreadIdentity
  SidBytes user;
  std::vector<GroupEntry> groups;
  // Raw values, as a test may set a level no SDK name stands for.
  uint32_t type = TokenImpersonation;
  uint32_t level = SecurityImpersonation;
  bool elevated = false;
  // Who a thread that impersonates with this token is to the kernel, where the world says; none
  // for a client whose principal maps to no account.
  std::optional<UnixIdentity> identity;
  std::shared_ptr<LogonCredentials> credentials;
  // The logon's account flags (USER_* of SAMR), where its ticket's PAC gave them; 0 otherwise.
  uint32_t accountControl = 0;
};

struct TokenObject {
  TokenData data;
  std::optional<TokenData> linked;  // the other half of a split logon
};

using TokenRef = std::shared_ptr<const TokenObject>;

constexpr DWORD kDenyOnly = SE_GROUP_MANDATORY | SE_GROUP_USE_FOR_DENY_ONLY;
constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

// Windows' pseudo-handle of the current thread.
extern const HANDLE kCurrentThread;

// The handle table; each requires the world lock. `source` ("context", "linked", "thread") tells
// the handles of one account apart in the journal.
HANDLE NewTokenHandle(TokenRef token, const std::string& source);
TokenRef FindToken(HANDLE handle);
bool CloseTokenHandle(HANDLE handle);  // false when no token has the handle
std::string TokenText(HANDLE handle);  // for the journal
std::string Describe(const TokenData& data);

// The token the calling thread impersonates with; null while it acts as the process.
TokenRef& ThreadToken();
// The impersonation token a thread gets of its own for `token`: a primary token is duplicated into
// one. Made before the thread changes identity, as it is the one step that needs memory.
TokenRef ImpersonationTokenOf(const TokenObject& token);
// Gives the calling thread that token. Cannot fail.
void AdoptThreadToken(TokenRef token) noexcept;

// CheckTokenMembership's answer: only the user and the enabled groups count; a deny-only group is
// no membership.
BOOL Member(const TokenRef& token, const SidBytes& sid, PBOOL isMember);
// GetTokenInformation for a known token.
BOOL TokenInformation(const TokenRef& token, TOKEN_INFORMATION_CLASS infoClass, LPVOID information, DWORD length,
                      PDWORD returnLength);

// The major version GetVersionExA reports. Requires the world lock.
uint32_t& MajorVersion();

}  // namespace winhost::common
