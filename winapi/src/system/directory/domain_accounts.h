// Accounts of Windows domains as the domains' own directories name them: winbind where it runs,
// and on a host that has only a keytab the default realm's domain controllers over LDAP, bound
// with the service's key. Both are directories of the chain (chain.h).
//
// Answers are kept for QUENTREL_DIRECTORY_CACHE_SECONDS (default 300; 0 keeps none), a name that
// no account bears for at most a minute, in a cache of bounded size that both directories consult
// first: a membership test of a name asked for before makes no network call. A user's groups are
// never kept: each Authz context has the groups its DC gives at that moment. Call without the
// world lock.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "system/directory/accounts.h"

namespace winhost::system::directory {

// How long an account's answer is kept.
std::chrono::seconds DirectoryCacheLifetime();

// The domain account that winbind maps a Unix id to (a uid, or a gid when `group`): the account
// of a user or group that NSS gives through winbind. ERROR_NONE_MAPPED or ERROR_NO_SUCH_DOMAIN
// when the id is no domain account's.
DWORD DomainAccountOfUnixId(bool group, uint32_t id, SystemAccount& account);

// The default realm, when `domain` names its domain: its NetBIOS-style first label, its DNS
// name, or the NetBIOS name its directory gives; none otherwise.
std::optional<std::string> DefaultRealmOfDomain(const std::string& domain);

}  // namespace winhost::system::directory
