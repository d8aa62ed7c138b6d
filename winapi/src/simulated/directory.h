// The simulated host's account directory, shared by the areas that answer identity questions:
// account lookups, Authz client contexts and access tokens.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/sids.h"
#include "simulated/host.h"
#include "winhost/control_directory.h"

namespace winhost::simulated {

// LookupAccountNameW's resolution of a name: "DOMAIN\name" in that domain (or authority);
// an unqualified name, or one with an empty qualifier, among the well-known names, the domain
// names, then the accounts of the built-in, local and added domains in that order.
// Requires the world lock.
std::optional<Resolved> ResolveName(const std::u16string& name);
// LookupAccountSidW's resolution of a SID. Requires the world lock.
std::optional<Resolved> ResolveSid(const SidBytes& sid);

// The groups an account's authorization context or access token carries: the groups and aliases
// that hold it directly or through other groups, and the well-known groups every authenticated
// account gets (Everyone, Authenticated Users). The account's own SID is not among them.
// Requires the world lock.
std::vector<GroupEntry> GroupsOf(const SidBytes& account);

// True when `sid` names a user account of the directory. Requires the world lock.
bool IsUserAccount(const SidBytes& sid);

}  // namespace winhost::simulated
