// A domain client's account as its ticket's PAC tells it, once GSSAPI has verified the PAC's
// signature with the service's key: the domain controller's own word on the client's SID and
// groups, needing no directory lookup.
//
// The token holds:
// - the user's SID, LogonDomainId + UserId;
// - Everyone; every GroupId (LogonDomainId + RID) with its attributes, and the primary group;
//   the ExtraSids when the PAC's flags say it has them; the resource groups
//   (ResourceGroupDomainSid + RID) when its flags say it has them;
// - the aliases a domain user falls in on a member server, and Authenticated Users, as every
//   domain user's token has them (DomainTokenGroups, system/directory/domain_accounts.h): BUILTIN\Users
//   through Domain Users, BUILTIN\Administrators through QUENTREL_DOMAIN_ADMIN_GROUPS. SIDs that
//   are this computer's to give are never taken from a PAC: a domain controller has no say over
//   them.
//
// The account's name is LogonDomainName\EffectiveName. A thread that impersonates the client acts
// as the Unix account NSS gives for DOMAIN\user or user@dns.domain (winbind's and SSSD's names),
// else as the account krb5 maps the principal to, else (no identity) as nobody.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/directory/accounts.h"
#include "system/kerberos/pac.h"

namespace winhost::system {

// The domain groups a PAC gives its client, with the attributes it gives them: every GroupId and
// the primary group (LogonDomainId + RID), the ExtraSids and the resource groups when its flags
// say it has them.
std::vector<GroupEntry> PacDomainGroups(const pac::LogonInfo& logon);

// The groups of the token of a PAC's client (DomainTokenGroups of its domain groups), given the
// SIDs of the groups whose members are administrators here. Pure.
std::vector<GroupEntry> PacTokenGroups(const pac::LogonInfo& logon, const std::vector<SidBytes>& administratorGroups);

// The SIDs of the groups QUENTREL_DOMAIN_ADMIN_GROUPS names, for a client of `logon`'s domain
// (DomainAdminGroups). Call without the world lock.
std::vector<SidBytes> DomainAdminGroups(const pac::LogonInfo& logon);

// The account of a PAC's client. `realm` is the client principal's realm, whose lower-case form
// is the DNS domain SSSD names accounts by; `mapped` is the local account krb5 maps the principal
// to, if any. 0, or the code of an NSS failure.
DWORD SystemPacAccount(const pac::LogonInfo& logon, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account);

}  // namespace winhost::system
