// NSS's accounts as Windows sees them, shared by the directory's files: the NSS calls (each
// journalled under its own name with an errno value as its fault code), SSSD's SID mapping where
// its library is installed, and the mapping of Unix users and groups to Windows accounts (see
// accounts.h). Call without the world lock: NSS may wait.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/directory/accounts.h"

namespace winhost::system::directory {

struct UserEntry {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct GroupRecord {
  std::string name;
  gid_t gid = 0;
};

DWORD UserByName(const std::string& name, UserEntry& user);
DWORD UserById(uid_t uid, UserEntry& user);
DWORD GroupByName(const std::string& name, GroupRecord& out);
DWORD GroupById(gid_t gid, GroupRecord& out);
// The groups NSS gives a user, its primary group included.
DWORD GroupList(const UserEntry& user, std::vector<gid_t>& groups);

// libsss_nss_idmap's own declarations; its header is not needed to build, nor the library to run.
struct SssIdmap {
  int (*sidByName)(const char* name, char** sid, int* type);
  int (*sidByGid)(uint32_t gid, char** sid, int* type);
  int (*nameBySid)(const char* sid, char** name, int* type);
};

// SSSD's SID mapping; null where its library is not installed.
const SssIdmap* Idmap();
// Calls one idmap function (journalled under its own name); `text` gets its string when it
// answered.
DWORD CallIdmap(const char* function, const std::string& key, const std::function<int(char**, int*)>& call,
                std::optional<std::string>& text);
DWORD DomainSidOfName(const std::string& name, std::optional<SidBytes>& sid);
DWORD DomainSidOfGid(gid_t gid, std::optional<SidBytes>& sid);

// ---- Unix accounts as Windows accounts (local_accounts.cpp) ----------------------------------

inline constexpr uint32_t kUnixUsers = 1;
inline constexpr uint32_t kUnixGroups = 2;
// S-1-22-<kind>-<id>.
SidBytes UnixSid(uint32_t kind, uint32_t id);
// This computer's NetBIOS name, which qualifies its local accounts.
std::u16string LocalDomainName();
// The computer's own domain: that of its users, S-1-22-1, or of its groups, S-1-22-2.
SystemAccount LocalDomain(uint32_t kind);
// The Windows domain and name of an NSS name; false for one that is not well-formed UTF-8.
bool SplitNssName(const std::string& nssName, SystemAccount& account);
bool IsDomainName(const std::string& nssName);

struct WellKnown {
  const char16_t* domain;
  const char16_t* name;
  const char* sid;
  SID_NAME_USE use;
};

inline constexpr WellKnown kWellKnown[] = {
    {u"", u"Everyone", "S-1-1-0", SidTypeWellKnownGroup},
    {u"", u"LOCAL", "S-1-2-0", SidTypeWellKnownGroup},
    {u"", u"CREATOR OWNER", "S-1-3-0", SidTypeWellKnownGroup},
    {u"NT AUTHORITY", u"NETWORK", "S-1-5-2", SidTypeWellKnownGroup},
    {u"NT AUTHORITY", u"INTERACTIVE", "S-1-5-4", SidTypeWellKnownGroup},
    {u"NT AUTHORITY", u"Authenticated Users", "S-1-5-11", SidTypeWellKnownGroup},
    {u"NT AUTHORITY", u"This Organization", "S-1-5-15", SidTypeWellKnownGroup},
    {u"NT AUTHORITY", u"SYSTEM", "S-1-5-18", SidTypeWellKnownGroup},
    {u"BUILTIN", u"BUILTIN", "S-1-5-32", SidTypeDomain},
    {u"BUILTIN", u"Administrators", "S-1-5-32-544", SidTypeAlias},
    {u"BUILTIN", u"Users", "S-1-5-32-545", SidTypeAlias},
    {u"BUILTIN", u"Guests", "S-1-5-32-546", SidTypeAlias},
    {u"BUILTIN", u"Power Users", "S-1-5-32-547", SidTypeAlias},
    {u"BUILTIN", u"Backup Operators", "S-1-5-32-551", SidTypeAlias},
    {u"BUILTIN", u"Remote Desktop Users", "S-1-5-32-555", SidTypeAlias},
};

SystemAccount FromWellKnown(const WellKnown& entry);
const SidBytes& Everyone();
const SidBytes& AuthenticatedUsers();
const SidBytes& Administrators();
const SidBytes& Users();

// The token groups of a Unix identity: Everyone, its groups, its aliases, Authenticated Users.
DWORD NssTokenGroups(const UnixIdentity& identity, std::vector<GroupEntry>& groups);
DWORD UserSid(const UserEntry& user, SidBytes& sid);
DWORD UserAccount(const UserEntry& user, bool withGroups, SystemAccount& account);
DWORD GroupAccount(const GroupRecord& record, SystemAccount& account);
// A user, else a group, of that NSS name.
DWORD NssAccountNamed(const std::string& nssName, SystemAccount& account);
// The NSS names a domain account "DOMAIN\name" may have.
std::vector<std::string> DomainCandidates(const std::string& domain, const std::string& name,
                                          const std::optional<std::string>& realm);

}  // namespace winhost::system::directory
