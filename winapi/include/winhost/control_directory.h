// Control interface of the stand-in host's account directory, for tests and tools. The library
// never includes it.
//
// The default world: the built-in domain (BUILTIN, S-1-5-32) with its aliases, the well-known
// groups (Everyone, NT AUTHORITY\Authenticated Users, ...), and a local account domain named after
// this computer's NetBIOS name, holding the process user "appuser" (a member of BUILTIN\Users and
// of the domain's "None" group, as Windows makes every local account), "Administrator" and
// "Guest". Names are given as "DOMAIN\name"; letter case is ignored as Windows ignores it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winhost {

// The machine SID of the local account domain.
std::string LocalDomainSid();

// Renames the built-in domain (an English system calls it BUILTIN, a German one VORDEFINIERT).
void SetBuiltinDomainName(const std::string& name);

// Adds a domain, with `sid` as its SID text, or a new S-1-5-21-a-b-c when `sid` is empty.
// Returns the SID text. The computer is then a member of that domain: its accounts are found by
// unqualified names too, after the well-known, built-in and local ones.
std::string AddDomain(const std::string& name, const std::string& sid = "");

// Adds a user, a global group or an alias to a domain ("BUILTIN", this computer's NetBIOS name or
// an added domain), with the next free relative identifier. Returns the SID text.
std::string AddUser(const std::string& domain, const std::string& name);
std::string AddGroup(const std::string& domain, const std::string& name);
std::string AddAlias(const std::string& domain, const std::string& name);

// Makes `member` (a user, group or alias, "DOMAIN\name") a direct member of `group`. Membership is
// followed transitively when an account's groups are computed.
void AddMember(const std::string& group, const std::string& member);
void RemoveMember(const std::string& group, const std::string& member);

// The SID text of an account or domain name as LookupAccountNameW resolves it; "" for none.
std::string SidOf(const std::string& name);

// The groups an authorization context or access token of the account gets, as SID texts: its
// transitive memberships and the well-known groups every account receives.
std::vector<std::string> GroupSidsOf(const std::string& accountName);

// Scripts the group list that the next Authz client context captures, in place of the directory's
// answer: SID texts with their SE_GROUP_* attributes, in order. Scripts are used in order.
struct ScriptedGroup {
  std::string sid;
  uint32_t attributes;
};
void ScriptContextGroups(const std::vector<ScriptedGroup>& groups);

}  // namespace winhost
