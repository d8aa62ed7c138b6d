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
//   domain user's token has them (DomainTokenGroups, system/directory/local_aliases.h): through
//   this computer's own domain's groups, never another domain's of the same RID. SIDs that are
//   this computer's to give are never taken from a PAC: a domain controller has no say over them.
//
// The account's name is LogonDomainName\EffectiveName. A thread that impersonates the client acts
// as the Unix account NSS gives for DOMAIN\user or user@dns.domain (winbind's and SSSD's names),
// else as the account krb5 maps the principal to, else (no identity) as nobody.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/directory/accounts.h"
#include "system/directory/local_aliases.h"
#include "system/kerberos/pac.h"
#include "system/kerberos/pac_names.h"

namespace winhost::system::directory {

// The domain groups a PAC gives its client, with the attributes it gives them: every GroupId and
// the primary group (LogonDomainId + RID), the ExtraSids and the resource groups when its flags
// say it has them.
std::vector<GroupEntry> PacDomainGroups(const kerberos::LogonInfo& logon);

// The groups of the token of a PAC's client (DomainTokenGroups of its domain groups), given the
// groups whose members this computer's aliases hold. Pure.
std::vector<GroupEntry> PacTokenGroups(const kerberos::LogonInfo& logon, const LocalAliasGroups& aliases);

// A PAC of a realm other than this computer's own, as this computer takes it across the trust:
// none when it claims this computer's domain's SID (`home`) as its own, or when `home` is unknown
// and so the claim cannot be ruled out; else with the extra SIDs and resource groups of any
// domain but its own dropped, S-1-18 (the authority that asserted the identity) kept, unless
// `unfiltered` (the site trusts that realm's SIDs). Windows' SID filtering of an external trust.
// Pure.
std::optional<kerberos::LogonInfo> FilteredAcrossTrust(const kerberos::LogonInfo& logon, const std::optional<SidBytes>& home,
                                                  bool unfiltered);

// The account of a PAC's client. `realm` is the client principal's realm, whose lower-case form
// is the DNS domain SSSD names accounts by; `mapped` is the local account krb5 maps the principal
// to, if any. A PAC of another realm than the default realm's is taken through FilteredAcrossTrust
// (QUENTREL_UNFILTERED_REALMS lists the realms whose SIDs are not filtered); when it may not be
// taken, ERROR_NONE_MAPPED. 0, or the code of an NSS failure.
DWORD SystemPacAccount(const kerberos::LogonInfo& logon, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account);

}  // namespace winhost::system::directory
