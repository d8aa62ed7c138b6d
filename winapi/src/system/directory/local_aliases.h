// Who this computer's built-in aliases hold when its clients come from Windows domains.
//
// A member server's BUILTIN\Administrators holds its own domain's Domain Admins, and its
// BUILTIN\Users its own domain's Domain Users, both added when it joined; a trusted domain's
// groups of the same RIDs are nothing to it. So here: the domain this computer is a member of is
// the default realm's, its SID is QUENTREL_DOMAIN_SID when set, else what the directory names as
// that domain's "Domain Users" group, less its RID. QUENTREL_DOMAIN_ADMIN_GROUPS (default
// "Domain Admins") and QUENTREL_DOMAIN_USER_GROUPS (default "Domain Users") list the groups whose
// members the two aliases hold, comma-separated: a SID, a well-known domain group's name
// unqualified or qualified by this computer's domain (that domain's RID, needing no lookup), or any
// other name that the system world's lookups resolve to a group or an alias. A well-known name
// while this computer's domain is unknown, or a name nothing resolves, lets nobody in.
//
// The same rule holds whichever source gave a user's domain groups: a PAC, S4U2Self, winbind or
// the controllers' tokenGroups. Call without the world lock: it may ask the directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/directory/accounts.h"

namespace winhost::system::directory {

// The SID of the domain this computer is a member of; none when neither the setting nor the
// directory can say. Asked of the directory once per default realm while it answers.
std::optional<SidBytes> HomeDomainSid();

// The groups whose members BUILTIN\Administrators and BUILTIN\Users hold here.
struct LocalAliasGroups {
  std::vector<SidBytes> administrators;
  std::vector<SidBytes> users;
};
LocalAliasGroups LocalAliasMembers();

// A domain user's token groups on this computer, whichever source gave its domain groups:
// Everyone; `domainGroups` with their attributes, but never a SID this computer gives itself
// (Everyone, Authenticated Users, its built-in aliases S-1-5-32-*, its Unix SIDs S-1-22-*,
// SYSTEM); BUILTIN\Users and BUILTIN\Administrators when an enabled group of theirs in `aliases`
// is among them; Authenticated Users. Pure.
std::vector<GroupEntry> DomainTokenGroups(const std::vector<GroupEntry>& domainGroups, const LocalAliasGroups& aliases);

}  // namespace winhost::system::directory
