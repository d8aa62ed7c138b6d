// Accounts of the system world: the machine's users and groups as NSS knows them, seen through
// Windows' eyes. The advapi32, Authz and token functions reach them after their journal entry and
// fault check, so that a test fails a real lookup by name exactly as a simulated one.
//
// The mapping, in one place:
// - A local account is qualified by this computer's NetBIOS name (HOST\alice). Users have the
//   SID S-1-22-1-<uid> and groups S-1-22-2-<gid>, as Linux SMB servers name Unix identities; a
//   name that is both a user and a group means the user. Local groups are aliases, as on Windows.
// - Accounts of a domain that NSS serves (SSSD's alice@example.com, winbind's EXAMPLE\alice) are
//   found as EXAMPLE\alice and as alice@example.com; their groups are domain groups. When SSSD's
//   libsss_nss_idmap is installed and knows an account, its real domain SID is used.
// - A domain's own directory names its accounts first (system/directory/domain_accounts.h): winbind before
//   NSS, then SSSD through NSS as above, then on a host with only the service's keytab the default
//   realm's controllers over LDAP, each with the accounts' domain SIDs. An NSS account whose Unix
//   id winbind maps is the domain account winbind names. A domain user's groups are the DC's.
// - A user of the default realm that NSS knows by none of those names (QTEST\alice for
//   alice@QTEST.TEST) is the local user krb5's auth_to_local rules map the principal to, as a
//   server context's token for that client is; its domain stays QTEST. The SID is the local
//   account's, so LookupAccountSidW names it by the local name.
// - Well-known groups keep their Windows SIDs (Everyone S-1-1-0, NT AUTHORITY\Authenticated Users
//   S-1-5-11 ...), and so do the built-in aliases (BUILTIN\Administrators S-1-5-32-544 ...).
//   BUILTIN\Administrators holds uid 0 and the members of the groups that QUENTREL_ADMIN_GROUPS
//   lists (comma-separated, default "sudo,wheel,admin"); BUILTIN\Users holds every account NSS
//   knows. The other built-in aliases exist and hold nobody.
// - An account's groups are its NSS groups (getgrouplist: nested groups only as NSS reports
//   them), the aliases it falls in, Everyone and Authenticated Users.
//
// Every function here may wait for NSS (SSSD, LDAP ...): call them without the world lock.
// Failures come back as the Windows error code the same failure has on Windows:
// ERROR_NONE_MAPPED for a name or SID that no account bears, ERROR_NOT_ENOUGH_MEMORY when NSS runs
// out of memory, ERROR_TOO_MANY_OPEN_FILES, and RPC_S_SERVER_UNAVAILABLE when the directory service
// behind NSS does not answer.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/tokens.h"
#include "system/host/host.h"

namespace winhost::system::directory {

struct SystemAccount {
  SidBytes sid;            // empty for a principal that maps to no account
  std::u16string domain;   // "HOST", "EXAMPLE", "BUILTIN", "NT AUTHORITY"; "" for Everyone
  std::u16string name;     // "alice"
  SID_NAME_USE use = SidTypeUnknown;
  std::optional<UnixIdentity> identity;  // users only
  // A user's groups as a token or Authz context carries them: Everyone, its groups, its aliases
  // and Authenticated Users, each enabled. Empty for anything but a user.
  std::vector<GroupEntry> groups;

  std::u16string QualifiedName() const { return domain.empty() ? name : domain + u"\\" + name; }
};

// LookupAccountNameW's resolution of a Windows name in the system world: "DOMAIN\name",
// "\name", "name" or "name@domain". 0, ERROR_NONE_MAPPED or the failure's code.
DWORD SystemResolveName(const std::u16string& name, SystemAccount& account);

// LookupAccountSidW's resolution of a SID. 0, ERROR_NONE_MAPPED or the failure's code.
DWORD SystemResolveSid(const SidBytes& sid, SystemAccount& account);

// The user account that an NSS name ("alice", "alice@example.com") names, with its identity and
// groups: what a Kerberos principal maps to. 0, ERROR_NONE_MAPPED or the failure's code.
DWORD SystemAccountNamed(const std::string& unixName, SystemAccount& account);

// The user a SID names, with its identity and groups, for an Authz context or a token.
// ERROR_NO_SUCH_USER when the SID names no user (a group, an alias, nothing NSS knows).
DWORD SystemUserOfSid(const SidBytes& sid, SystemAccount& account);

// The account the process runs as, from the kernel's ids (effective uid and gid, supplementary
// groups) rather than from NSS, which only names them. Never fails: an id NSS cannot name keeps
// its number as its name.
SystemAccount SystemProcessAccount();
// The same account's SID and names only, without its groups: fewer questions to NSS.
SystemAccount SystemProcessUser();

// Who the user of an NSS name is to the kernel (its uid, gid and groups), without its SID or
// token groups: for a client whose token comes from elsewhere. 0, ERROR_NONE_MAPPED or the
// failure's code.
DWORD SystemIdentityNamed(const std::string& unixName, UnixIdentity& identity);


// A principal that maps to no account (a Kerberos principal of a trusted realm with no local
// user, say): no SID, no identity, and only Everyone and Authenticated Users.
SystemAccount SystemUnmappedAccount(const std::u16string& domain, const std::u16string& name);

}  // namespace winhost::system::directory
