// A domain client's account as its ticket's PAC tells it, once GSSAPI has verified the PAC's
// signature with the service's key: the domain controller's own word on the client's SID and
// groups, needing no directory lookup.
//
// The token holds:
// - the user's SID, LogonDomainId + UserId;
// - Everyone; every GroupId (LogonDomainId + RID) with its attributes, and the primary group;
//   the ExtraSids when the PAC's flags say it has them; the resource groups
//   (ResourceGroupDomainSid + RID) when its flags say it has them;
// - the aliases a domain user falls in on a member server: BUILTIN\Users through the logon
//   domain's Domain Users (RID 513), and BUILTIN\Administrators through any group that
//   QUENTREL_DOMAIN_ADMIN_GROUPS lists (comma-separated SIDs or names; default "Domain Admins",
//   RID 512 of the logon domain). A name qualified by another domain, or of a group that is not
//   one of a domain's own well-known groups, counts once the host's directory resolves it;
//   an entry nothing resolves lets nobody in;
// - Authenticated Users.
// SIDs that are this computer's to give (Everyone and Authenticated Users, which it adds itself;
// its built-in aliases S-1-5-32-*, its Unix accounts S-1-22-*, SYSTEM) are never taken from a
// PAC: a domain controller has no say over them.
//
// The account's name is LogonDomainName\EffectiveName. A thread that impersonates the client acts
// as the Unix account NSS gives for DOMAIN\user or user@dns.domain (winbind's and SSSD's names),
// else as the account krb5 maps the principal to, else (no identity) as nobody.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/accounts.h"
#include "system/pac.h"

namespace winhost::system {

// The groups of the token of a PAC's client, given the SIDs of the groups whose members are
// administrators here. Pure.
std::vector<GroupEntry> PacTokenGroups(const pac::LogonInfo& logon, const std::vector<SidBytes>& administratorGroups);

// The SIDs of the groups QUENTREL_DOMAIN_ADMIN_GROUPS names, for a client of `logon`'s domain.
// NSS or the directory may be asked (for names only): call without the world lock.
std::vector<SidBytes> DomainAdminGroups(const pac::LogonInfo& logon);

// The SID of a domain group by its name ("SAMDOM\Engineers"), as the host's account lookups
// (NSS, SSSD, the directory) resolve it; none when they know no group or alias of that name.
std::optional<SidBytes> DomainGroupSid(const std::u16string& name);

// The account of a PAC's client. `realm` is the client principal's realm, whose lower-case form
// is the DNS domain SSSD names accounts by; `mapped` is the local account krb5 maps the principal
// to, if any. 0, or the code of an NSS failure.
DWORD SystemPacAccount(const pac::LogonInfo& logon, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account);

}  // namespace winhost::system
