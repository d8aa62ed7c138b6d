// The stand-in host's account directory, shared by the areas that answer identity questions:
// account lookups (advapi32), Authz client contexts and access tokens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "winhost/control_directory.h"
#include "winhost/security.h"

namespace winhost::detail {

using SidBytes = std::vector<uint8_t>;

// A SID's bytes when `sid` points to a well-formed SID, or none.
std::optional<SidBytes> ReadSid(const void* sid);
// "S-1-5-32-544"; the identifier authority in hexadecimal when it does not fit 32 bits.
std::string SidText(const SidBytes& sid);
// The SID of a text such as "S-1-5-21-1-2-3"; none when malformed.
std::optional<SidBytes> ParseSid(const std::string& text);

struct Resolved {
  SidBytes sid;
  std::u16string domain;  // the referenced domain name
  std::u16string name;    // the account's own name (for a domain, the domain's name)
  SID_NAME_USE use;
};

// LookupAccountNameW's resolution of a name: "DOMAIN\name" in that domain (or authority);
// an unqualified name, or one with an empty qualifier, among the well-known names, the domain
// names, then the accounts of the built-in, local and added domains in that order.
// Requires the world lock.
std::optional<Resolved> ResolveName(const std::u16string& name);
// LookupAccountSidW's resolution of a SID. Requires the world lock.
std::optional<Resolved> ResolveSid(const SidBytes& sid);

struct GroupEntry {
  SidBytes sid;
  DWORD attributes;
};

// The groups an account's authorization context or access token carries: the groups and aliases
// that hold it directly or through other groups, and the well-known groups every authenticated
// account gets (Everyone, Authenticated Users). The account's own SID is not among them.
// Requires the world lock.
std::vector<GroupEntry> GroupsOf(const SidBytes& account);

// True when `sid` names a user account of the directory. Requires the world lock.
bool IsUserAccount(const SidBytes& sid);

}  // namespace winhost::detail
