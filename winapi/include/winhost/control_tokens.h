// Control interface of the stand-in host's access tokens, thread impersonation and version, for
// tests and tools. The library never includes it.
//
// QuerySecurityContextToken gives, for an established server context, an impersonation token of
// the authenticated client: its SID and the groups the directory gives it at that moment. Every
// token handle is counted as "token" until CloseHandle. A thread impersonates per thread, as on
// Windows; Reset ends the impersonation of the thread that calls it, not of others.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winhost {

// The major version GetVersionExA reports (10 by default).
void SetMajorVersion(uint32_t major);

// Gives `account` ("DOMAIN\name") a split logon, as an administrator has under user account
// control: in the tokens of its contexts each of `elevatedGroups` is present for deny only, and
// TokenLinkedToken gives the elevated partner, which holds every group enabled, the elevated ones
// included. Without this, a token has no linked token (ERROR_NO_SUCH_LOGON_SESSION).
void SetSplitToken(const std::string& account, const std::vector<std::string>& elevatedGroups);

// The type (TOKEN_TYPE) and impersonation level of the tokens that QuerySecurityContextToken
// hands out from now on; by default an impersonation token at SecurityImpersonation, or at
// SecurityDelegation when the context negotiated delegation.
void SetContextTokenKind(uint32_t type, uint32_t level);

// The account the calling thread impersonates ("WINHOST\appuser"), or none when it acts as the
// process itself.
std::optional<std::string> ThreadIdentity();

}  // namespace winhost
