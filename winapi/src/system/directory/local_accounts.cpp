// Unix users and groups as Windows accounts: their SIDs and names, the built-in and well-known
// accounts, and the tokens of Unix identities (see accounts.h for the mapping).
#include "common/tokens.h"
#include "system/directory/domain_accounts.h"
#include "system/directory/nss.h"
#include "system/host/names.h"
#include "system/host/settings.h"

namespace winhost::system::directory {

// ---- names and SIDs --------------------------------------------------------------------------

SidBytes UnixSid(uint32_t kind, uint32_t id) { return *ParseSid("S-1-22-" + std::to_string(kind) + "-" + std::to_string(id)); }

std::string FirstLabel(const std::string& dnsName) { return dnsName.substr(0, dnsName.find('.')); }

std::u16string LocalDomainName() {
  std::string host;
  if (host::SystemHostName(host) != ERROR_SUCCESS) return u"";
  return host::NetbiosNameOf(host);
}

// The computer's own domain: that of its users, S-1-22-1, or of its groups, S-1-22-2.
SystemAccount LocalDomain(uint32_t kind) {
  SystemAccount account;
  account.sid = *ParseSid("S-1-22-" + std::to_string(kind));
  account.domain = account.name = LocalDomainName();
  account.use = SidTypeDomain;
  return account;
}

// The Windows domain and name of an NSS name: winbind's EXAMPLE\alice, SSSD's alice@example.com
// (whose domain is its DNS domain's first label), or a local name qualified by this computer.
// False for a name that is not well-formed UTF-8: it has no Windows name, and is nobody's.
bool SplitNssName(const std::string& nssName, SystemAccount& account) {
  size_t slash = nssName.find('\\');
  size_t at = nssName.rfind('@');
  std::optional<std::u16string> domain;
  std::optional<std::u16string> name;
  if (slash != std::string::npos) {
    domain = StrictWide(UpperAscii(nssName.substr(0, slash)));
    name = StrictWide(nssName.substr(slash + 1));
  } else if (at != std::string::npos && at > 0) {
    domain = StrictWide(UpperAscii(FirstLabel(nssName.substr(at + 1))));
    name = StrictWide(nssName.substr(0, at));
  } else {
    domain = LocalDomainName();
    name = StrictWide(nssName);
  }
  if (!domain || !name) return false;
  account.domain = *domain;
  account.name = *name;
  return true;
}

bool IsDomainName(const std::string& nssName) {
  return nssName.find('\\') != std::string::npos || nssName.find('@') != std::string::npos;
}

// ---- the built-in and well-known accounts ----------------------------------------------------

SystemAccount FromWellKnown(const WellKnown& entry) {
  SystemAccount account;
  account.sid = *ParseSid(entry.sid);
  account.domain = entry.domain;
  account.name = entry.name;
  account.use = entry.use;
  return account;
}

const SidBytes& Everyone() {
  static const SidBytes sid = *ParseSid("S-1-1-0");
  return sid;
}
const SidBytes& AuthenticatedUsers() {
  static const SidBytes sid = *ParseSid("S-1-5-11");
  return sid;
}
const SidBytes& Administrators() {
  static const SidBytes sid = *ParseSid("S-1-5-32-544");
  return sid;
}
const SidBytes& Users() {
  static const SidBytes sid = *ParseSid("S-1-5-32-545");
  return sid;
}

// The groups whose members are administrators: QUENTREL_ADMIN_GROUPS, comma-separated.
std::vector<std::string> AdminGroupNames() { return host::ListSetting(host::SettingId::kAdminGroups); }

// Whether a user of `identity` is an administrator: uid 0, or a member of a group that
// QUENTREL_ADMIN_GROUPS names. The user's own groups are named (a cheap lookup of a group that
// exists) rather than the listed names looked up, which for the names a machine does not have
// costs a full walk of every NSS source.
DWORD IsAdministrator(const UnixIdentity& identity, bool& administrator) {
  administrator = identity.uid == 0;
  const std::vector<std::string> adminGroups = AdminGroupNames();
  for (size_t i = 0; i < identity.groups.size() && !administrator && !adminGroups.empty(); ++i) {
    GroupRecord record;
    DWORD error = GroupById(identity.groups[i], record);
    if (error == ERROR_NONE_MAPPED) continue;  // a gid without a name is in no named list
    if (error != ERROR_SUCCESS) return error;
    administrator = std::find(adminGroups.begin(), adminGroups.end(), record.name) != adminGroups.end();
  }
  return ERROR_SUCCESS;
}

// A Unix id that winbind maps to a domain account: the account's SID and names, not the Unix ones.
DWORD WithWinbindNames(bool group, uint32_t id, SystemAccount& account) {
  SystemAccount mapped;
  const DWORD answer = DomainAccountOfUnixId(group, id, mapped);
  if (answer == ERROR_NONE_MAPPED || answer == ERROR_NO_SUCH_DOMAIN) return ERROR_SUCCESS;
  if (answer != ERROR_SUCCESS) return answer;
  account.sid = mapped.sid;
  account.domain = mapped.domain;
  account.name = mapped.name;
  if (group) account.use = mapped.use;
  return ERROR_SUCCESS;
}

DWORD GroupSid(gid_t gid, SidBytes& sid) {
  std::optional<SidBytes> domainSid;
  if (DWORD error = DomainSidOfGid(gid, domainSid); error != ERROR_SUCCESS) return error;
  if (domainSid) {
    sid = *domainSid;
    return ERROR_SUCCESS;
  }
  SystemAccount group;
  group.sid = UnixSid(kUnixGroups, gid);
  if (DWORD error = WithWinbindNames(true, gid, group); error != ERROR_SUCCESS) return error;
  sid = group.sid;
  return ERROR_SUCCESS;
}

// A token's groups for a user of `identity`: Everyone, its groups, its aliases, Authenticated Users.
DWORD NssTokenGroups(const UnixIdentity& identity, std::vector<GroupEntry>& groups) {
  groups = {{Everyone(), kEnabled}};
  for (gid_t gid : identity.groups) {
    SidBytes sid;
    if (DWORD error = GroupSid(gid, sid); error != ERROR_SUCCESS) return error;
    bool seen = false;
    for (const GroupEntry& entry : groups) seen = seen || entry.sid == sid;
    if (!seen) groups.push_back({sid, kEnabled});
  }
  groups.push_back({Users(), kEnabled});
  bool administrator = false;
  if (DWORD error = IsAdministrator(identity, administrator); error != ERROR_SUCCESS) return error;
  if (administrator) groups.push_back({Administrators(), kEnabled});
  groups.push_back({AuthenticatedUsers(), kEnabled});
  return ERROR_SUCCESS;
}

DWORD UserSid(const UserEntry& user, SidBytes& sid) {
  std::optional<SidBytes> domainSid;
  if (DWORD error = DomainSidOfName(user.name, domainSid); error != ERROR_SUCCESS) return error;
  sid = domainSid ? *domainSid : UnixSid(kUnixUsers, user.uid);
  return ERROR_SUCCESS;
}

// The account of a user entry; with its identity and token groups when `withGroups`.
DWORD UserAccount(const UserEntry& user, bool withGroups, SystemAccount& account) {
  account = SystemAccount{};
  if (!SplitNssName(user.name, account)) return ERROR_NONE_MAPPED;
  account.use = SidTypeUser;
  if (DWORD error = UserSid(user, account.sid); error != ERROR_SUCCESS) return error;
  if (account.sid == UnixSid(kUnixUsers, user.uid))
    if (DWORD error = WithWinbindNames(false, user.uid, account); error != ERROR_SUCCESS) return error;
  if (!withGroups) return ERROR_SUCCESS;
  UnixIdentity identity{user.uid, user.gid, {}};
  if (DWORD error = GroupList(user, identity.groups); error != ERROR_SUCCESS) return error;
  if (DWORD error = NssTokenGroups(identity, account.groups); error != ERROR_SUCCESS) return error;
  account.identity = std::move(identity);
  return ERROR_SUCCESS;
}

DWORD GroupAccount(const GroupRecord& record, SystemAccount& account) {
  account = SystemAccount{};
  if (!SplitNssName(record.name, account)) return ERROR_NONE_MAPPED;
  // This computer's groups are aliases, as Windows' local groups are; a domain's are groups.
  account.use = IsDomainName(record.name) ? SidTypeGroup : SidTypeAlias;
  std::optional<SidBytes> domainSid;
  if (DWORD error = DomainSidOfName(record.name, domainSid); error != ERROR_SUCCESS) return error;
  if (domainSid) {
    account.sid = *domainSid;
    return ERROR_SUCCESS;
  }
  account.sid = UnixSid(kUnixGroups, record.gid);
  return WithWinbindNames(true, record.gid, account);
}

// A user, else a group, of that NSS name.
DWORD NssAccountNamed(const std::string& nssName, SystemAccount& account) {
  if (nssName.empty()) return ERROR_NONE_MAPPED;
  UserEntry user;
  DWORD error = UserByName(nssName, user);
  if (error == ERROR_SUCCESS) return UserAccount(user, false, account);
  if (error != ERROR_NONE_MAPPED) return error;
  GroupRecord record;
  error = GroupByName(nssName, record);
  if (error != ERROR_SUCCESS) return error;
  return GroupAccount(record, account);
}

// The NSS names a domain account "DOMAIN\name" may have: winbind's own form, SSSD's with the
// domain as given, and SSSD's with the DNS domain of the default realm when DOMAIN is its first
// label.
std::vector<std::string> DomainCandidates(const std::string& domain, const std::string& name,
                                          const std::optional<std::string>& realm) {
  std::vector<std::string> candidates{domain + "\\" + name, name + "@" + domain};
  if (realm) {
    const std::string dnsDomain = LowerAscii(*realm);
    if (UpperAscii(FirstLabel(dnsDomain)) == UpperAscii(domain) && dnsDomain != domain)
      candidates.push_back(name + "@" + dnsDomain);
  }
  return candidates;
}

}  // namespace winhost::system::directory
