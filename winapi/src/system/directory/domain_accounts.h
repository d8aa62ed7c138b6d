// Accounts of Windows domains as the domains' own directories name them, for the system world's
// resolution of names and SIDs (accounts.cpp), which asks them in this order: winbind where it
// runs; SSSD through NSS (accounts.cpp's own); then, on a host that has only a keytab, the default
// realm's domain controllers over LDAP, bound with the service's key.
//
// Answers are kept for QUENTREL_DIRECTORY_CACHE_SECONDS (default 300; 0 keeps none), a name that
// no account bears for at most a minute, in a cache of bounded size that every directory's
// question consults first: a membership test of a name asked for before makes no network call. A
// user's groups are never kept: each Authz context has the groups its DC gives at that moment.
//
// Every function answers 0; ERROR_NONE_MAPPED when the directory serves the domain and no account
// bears the name or SID; ERROR_NO_SUCH_DOMAIN when that directory does not serve the domain (the
// caller asks the next one); or the failure's Windows code: ERROR_NO_LOGON_SERVERS,
// RPC_S_SERVER_UNAVAILABLE, ERROR_NOT_ENOUGH_MEMORY. Call them without the world lock.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "system/directory/accounts.h"

namespace winhost::system {

enum class DomainDirectory {
  kWinbind,     // the cache, then winbind
  kController,  // the default realm's controllers over LDAP (and S4U2Self for a user's groups)
};

// How long an account's answer is kept.
std::chrono::seconds DirectoryCacheLifetime();

// The account `name` of the domain `domain` ("SAMDOM", or its DNS name "samdom.test").
DWORD DomainAccountNamed(DomainDirectory directory, const std::string& domain, const std::string& name,
                         SystemAccount& account);

// The account a user principal name (alice@samdom.test) names: a userPrincipalName, else the
// account of that name in the domain of that DNS name.
DWORD DomainPrincipalNamed(DomainDirectory directory, const std::string& principal, SystemAccount& account);

// The account a SID names.
DWORD DomainAccountOfSid(DomainDirectory directory, const SidBytes& sid, SystemAccount& account);

// The domain account that winbind maps a Unix id to (a uid, or a gid when `group`): the account
// of a user or group that NSS gives through winbind. ERROR_NONE_MAPPED or ERROR_NO_SUCH_DOMAIN
// when the id is no domain account's.
DWORD DomainAccountOfUnixId(bool group, uint32_t id, SystemAccount& account);

// The user a SID names, with the groups its token would have on this computer: those of the PAC
// in an S4U2Self ticket when the service has a key in the user's realm, as Windows does it; else
// winbind's (kWinbind) or the controllers' tokenGroups (kController). No identity: the caller gives
// it the Unix account that NSS or krb5 maps it to. ERROR_NO_SUCH_USER when the SID names a group,
// an alias or nothing in a domain the directory serves.
DWORD DomainUserOfSid(DomainDirectory directory, const SidBytes& sid, SystemAccount& account);

}  // namespace winhost::system
