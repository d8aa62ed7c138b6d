// The simulated host's account directory: its domains, accounts and memberships, and the lookups
// and group lists the advapi32, Authz and token functions answer from it.
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>

#include "common/world.h"
#include "simulated/directory.h"

namespace winhost {
namespace simulated {
namespace {

enum class DomainKind { Builtin, Local, Added };

struct Domain {
  DomainKind kind;
  std::u16string name;  // unused for the local domain, which bears the computer's NetBIOS name
  SidBytes sid;
  uint32_t nextRid;
};

struct Account {
  // Index into Directory::domains, or -1 for a well-known account named by `authority`.
  int domain;
  std::u16string authority;
  std::u16string name;
  SidBytes sid;
  SID_NAME_USE use;
  std::vector<SidBytes> members;  // groups and aliases only
};

struct Directory {
  std::vector<Domain> domains;
  std::deque<Account> accounts;
  std::u16string builtinName;
};

SidBytes MakeSid(std::initializer_list<uint8_t> authority, std::initializer_list<uint32_t> subAuthorities) {
  SidBytes sid(8 + 4 * subAuthorities.size());
  sid[0] = SID_REVISION;
  sid[1] = static_cast<uint8_t>(subAuthorities.size());
  std::copy(authority.begin(), authority.end(), sid.begin() + 2);
  size_t offset = 8;
  for (uint32_t value : subAuthorities) {
    std::memcpy(&sid[offset], &value, 4);
    offset += 4;
  }
  return sid;
}

SidBytes NtSid(std::initializer_list<uint32_t> subAuthorities) { return MakeSid({0, 0, 0, 0, 0, 5}, subAuthorities); }

const SidBytes& EveryoneSid() {
  static const SidBytes sid = MakeSid({0, 0, 0, 0, 0, 1}, {SECURITY_WORLD_RID});
  return sid;
}
const SidBytes& AuthenticatedUsersSid() {
  static const SidBytes sid = NtSid({SECURITY_AUTHENTICATED_USER_RID});
  return sid;
}

constexpr int kBuiltin = 0;
constexpr int kLocal = 1;

Directory DefaultDirectory() {
  Directory d;
  d.builtinName = u"BUILTIN";
  d.domains.push_back(Domain{DomainKind::Builtin, u"", NtSid({SECURITY_BUILTIN_DOMAIN_RID}), 0});
  d.domains.push_back(
      Domain{DomainKind::Local, u"", NtSid({SECURITY_NT_NON_UNIQUE, 3623811015u, 3361044348u, 30300820u}), 1002});

  const std::u16string nt = u"NT AUTHORITY";
  auto wellKnown = [&](std::u16string authority, std::u16string name, SidBytes sid) {
    d.accounts.push_back(Account{-1, std::move(authority), std::move(name), std::move(sid), SidTypeWellKnownGroup, {}});
  };
  wellKnown(u"", u"Everyone", EveryoneSid());
  wellKnown(u"", u"LOCAL", MakeSid({0, 0, 0, 0, 0, 2}, {SECURITY_LOCAL_RID}));
  wellKnown(u"", u"CREATOR OWNER", MakeSid({0, 0, 0, 0, 0, 3}, {0}));
  wellKnown(nt, u"NETWORK", NtSid({SECURITY_NETWORK_RID}));
  wellKnown(nt, u"INTERACTIVE", NtSid({SECURITY_INTERACTIVE_RID}));
  wellKnown(nt, u"Authenticated Users", AuthenticatedUsersSid());
  wellKnown(nt, u"This Organization", NtSid({SECURITY_THIS_ORGANIZATION_RID}));
  wellKnown(nt, u"SYSTEM", NtSid({SECURITY_LOCAL_SYSTEM_RID}));

  const SidBytes& builtin = d.domains[kBuiltin].sid;
  auto alias = [&](std::u16string name, uint32_t rid) {
    d.accounts.push_back(Account{kBuiltin, u"", std::move(name), *WithRid(builtin, rid), SidTypeAlias, {}});
    return &d.accounts.back();
  };
  Account* administrators = alias(u"Administrators", DOMAIN_ALIAS_RID_ADMINS);
  Account* users = alias(u"Users", DOMAIN_ALIAS_RID_USERS);
  Account* guests = alias(u"Guests", DOMAIN_ALIAS_RID_GUESTS);
  alias(u"Power Users", DOMAIN_ALIAS_RID_POWER_USERS);
  alias(u"Backup Operators", DOMAIN_ALIAS_RID_BACKUP_OPS);
  alias(u"Remote Desktop Users", DOMAIN_ALIAS_RID_REMOTE_DESKTOP_USERS);

  const SidBytes& local = d.domains[kLocal].sid;
  auto localAccount = [&](std::u16string name, uint32_t rid, SID_NAME_USE use) {
    d.accounts.push_back(Account{kLocal, u"", std::move(name), *WithRid(local, rid), use, {}});
    return &d.accounts.back();
  };
  Account* admin = localAccount(u"Administrator", DOMAIN_USER_RID_ADMIN, SidTypeUser);
  Account* guest = localAccount(u"Guest", DOMAIN_USER_RID_GUEST, SidTypeUser);
  Account* none = localAccount(u"None", DOMAIN_GROUP_RID_USERS, SidTypeGroup);
  Account* appuser = localAccount(WideOf(ProcessUser()), 1001, SidTypeUser);

  administrators->members.push_back(admin->sid);
  guests->members.push_back(guest->sid);
  // Every local account is a member of the local "None" group and of BUILTIN\Users.
  for (Account* member : {admin, guest, appuser}) none->members.push_back(member->sid);
  users->members.push_back(appuser->sid);
  users->members.push_back(admin->sid);
  return d;
}

Directory& TheDirectory() {
  static Directory* directory = new Directory(DefaultDirectory());  // never destroyed, like the core
  return *directory;
}

ResetHook resetDirectory([] { TheDirectory() = DefaultDirectory(); });

// Windows compares account names without regard to case, beyond ASCII too. Enough of Unicode's
// simple case mapping for test names: Latin-1, Latin Extended-A, Greek and Cyrillic.
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x100 && c <= 0x17F && c % 2 == 0 && c != 0x130 && c != 0x138) return static_cast<char16_t>(c + 1);
  if (c >= 0x391 && c <= 0x3A9) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  return c;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

std::u16string DomainName(const Domain& domain) {
  switch (domain.kind) {
    case DomainKind::Builtin: return TheDirectory().builtinName;
    case DomainKind::Local: return WideOf(Names().netbios);
    default: return domain.name;
  }
}

int FindDomain(const std::u16string& name) {
  const auto& domains = TheDirectory().domains;
  for (size_t i = 0; i < domains.size(); ++i)
    if (SameName(DomainName(domains[i]), name)) return static_cast<int>(i);
  return -1;
}

Resolved ResolvedAccount(const Account& account) {
  std::u16string domain = account.domain < 0 ? account.authority : DomainName(TheDirectory().domains[account.domain]);
  return Resolved{account.sid, domain, account.name, account.use};
}

Resolved ResolvedDomain(const Domain& domain) {
  return Resolved{domain.sid, DomainName(domain), DomainName(domain), SidTypeDomain};
}

Account* FindAccountIn(int domain, const std::u16string& name) {
  for (Account& account : TheDirectory().accounts)
    if (account.domain == domain && SameName(account.name, name)) return &account;
  return nullptr;
}

Account* FindAccount(const SidBytes& sid) {
  for (Account& account : TheDirectory().accounts)
    if (account.sid == sid) return &account;
  return nullptr;
}

// The account a control call names ("DOMAIN\name" or an unqualified name); throws when none.
Account& AccountNamed(const std::string& name) {
  auto resolved = ResolveName(WideOf(name));
  Account* account = resolved ? FindAccount(resolved->sid) : nullptr;
  if (account == nullptr) throw std::invalid_argument("no account named " + name);
  return *account;
}

std::string AddAccount(const std::string& domainName, const std::string& name, SID_NAME_USE use) {
  WorldGuard guard(WorldMutex());
  int domain = FindDomain(WideOf(domainName));
  if (domain < 0) throw std::invalid_argument("no domain named " + domainName);
  if (FindAccountIn(domain, WideOf(name)) != nullptr) throw std::invalid_argument("already exists: " + name);
  Domain& owner = TheDirectory().domains[domain];
  uint32_t rid = owner.nextRid++;
  if (owner.kind == DomainKind::Builtin) rid += 0x300;  // clear of Windows' own aliases
  TheDirectory().accounts.push_back(Account{domain, u"", WideOf(name), *WithRid(owner.sid, rid), use, {}});
  return SidText(TheDirectory().accounts.back().sid);
}

}  // namespace

std::optional<Resolved> ResolveName(const std::u16string& name) {
  Directory& d = TheDirectory();
  size_t slash = name.find(u'\\');
  if (slash != std::u16string::npos && slash > 0) {
    std::u16string qualifier = name.substr(0, slash);
    std::u16string account = name.substr(slash + 1);
    int domain = FindDomain(qualifier);
    if (domain >= 0) {
      if (Account* found = FindAccountIn(domain, account)) return ResolvedAccount(*found);
      return std::nullopt;
    }
    for (Account& candidate : d.accounts)
      if (candidate.domain < 0 && !candidate.authority.empty() && SameName(candidate.authority, qualifier) &&
          SameName(candidate.name, account))
        return ResolvedAccount(candidate);
    return std::nullopt;
  }
  std::u16string account = slash == std::u16string::npos ? name : name.substr(1);
  if (account.empty()) return std::nullopt;
  for (Account& candidate : d.accounts)
    if (candidate.domain < 0 && SameName(candidate.name, account)) return ResolvedAccount(candidate);
  int domain = FindDomain(account);
  if (domain >= 0) return ResolvedDomain(d.domains[domain]);
  for (size_t i = 0; i < d.domains.size(); ++i)
    if (Account* found = FindAccountIn(static_cast<int>(i), account)) return ResolvedAccount(*found);
  return std::nullopt;
}

std::optional<Resolved> ResolveSid(const SidBytes& sid) {
  if (Account* found = FindAccount(sid)) return ResolvedAccount(*found);
  for (const Domain& domain : TheDirectory().domains)
    if (domain.sid == sid) return ResolvedDomain(domain);
  return std::nullopt;
}

std::vector<GroupEntry> GroupsOf(const SidBytes& account) {
  constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  std::vector<GroupEntry> groups{{EveryoneSid(), kEnabled}};
  std::set<SidBytes> seen{account, EveryoneSid()};
  std::deque<SidBytes> pending{account};
  while (!pending.empty()) {
    SidBytes member = pending.front();
    pending.pop_front();
    for (const Account& group : TheDirectory().accounts) {
      if (group.use != SidTypeGroup && group.use != SidTypeAlias) continue;
      bool holds = false;
      for (const SidBytes& candidate : group.members) holds = holds || candidate == member;
      if (!holds || !seen.insert(group.sid).second) continue;
      groups.push_back({group.sid, kEnabled});
      pending.push_back(group.sid);
    }
  }
  if (seen.insert(AuthenticatedUsersSid()).second) groups.push_back({AuthenticatedUsersSid(), kEnabled});
  return groups;
}

bool IsUserAccount(const SidBytes& sid) {
  const Account* account = FindAccount(sid);
  return account != nullptr && (account->use == SidTypeUser || account->use == SidTypeComputer);
}

}  // namespace simulated

using namespace simulated;

DWORD world::LookupName(WorldLock&, const std::u16string& name, Resolved& found) {
  auto resolved = ResolveName(name);
  if (!resolved) return ERROR_NONE_MAPPED;
  found = *resolved;
  return ERROR_SUCCESS;
}

DWORD world::LookupSid(WorldLock&, const SidBytes& sid, Resolved& found) {
  auto resolved = ResolveSid(sid);
  if (!resolved) return ERROR_NONE_MAPPED;
  found = *resolved;
  return ERROR_SUCCESS;
}

// The simulated accounts carry no account flags of their own: every user is a normal account
// whose logon runs a script, as netapi32 reports a plain account.
DWORD world::UserAccount(WorldLock&, LPCWSTR, const std::u16string& user, std::u16string& name, DWORD& flags) {
  auto resolved = ResolveName(user);
  if (!resolved || resolved->use != SidTypeUser || !IsUserAccount(resolved->sid)) return NERR_UserNotFound;
  name = resolved->name;
  flags = UF_SCRIPT | UF_NORMAL_ACCOUNT;
  return NERR_Success;
}

// ---- control -------------------------------------------------------------------------------

std::string LocalDomainSid() {
  WorldGuard guard(WorldMutex());
  return SidText(TheDirectory().domains[kLocal].sid);
}

void SetBuiltinDomainName(const std::string& name) {
  WorldGuard guard(WorldMutex());
  TheDirectory().builtinName = WideOf(name);
}

std::string AddDomain(const std::string& name, const std::string& sid) {
  WorldGuard guard(WorldMutex());
  Directory& d = TheDirectory();
  if (FindDomain(WideOf(name)) >= 0) throw std::invalid_argument("domain exists: " + name);
  SidBytes bytes;
  if (sid.empty()) {
    auto n = static_cast<uint32_t>(d.domains.size());
    bytes = NtSid({SECURITY_NT_NON_UNIQUE, 1000000 + n, 2000000 + n, 3000000 + n});
  } else {
    auto parsed = ParseSid(sid);
    if (!parsed) throw std::invalid_argument("malformed SID " + sid);
    bytes = *parsed;
  }
  d.domains.push_back(Domain{DomainKind::Added, WideOf(name), bytes, 1100});
  return SidText(bytes);
}

std::string AddUser(const std::string& domain, const std::string& name) { return AddAccount(domain, name, SidTypeUser); }
std::string AddGroup(const std::string& domain, const std::string& name) { return AddAccount(domain, name, SidTypeGroup); }
std::string AddAlias(const std::string& domain, const std::string& name) { return AddAccount(domain, name, SidTypeAlias); }

void AddMember(const std::string& group, const std::string& member) {
  WorldGuard guard(WorldMutex());
  Account& holder = AccountNamed(group);
  if (holder.use != SidTypeGroup && holder.use != SidTypeAlias) throw std::invalid_argument("not a group: " + group);
  holder.members.push_back(AccountNamed(member).sid);
}

void RemoveMember(const std::string& group, const std::string& member) {
  WorldGuard guard(WorldMutex());
  Account& holder = AccountNamed(group);
  const SidBytes sid = AccountNamed(member).sid;
  auto& members = holder.members;
  for (auto it = members.begin(); it != members.end();) it = *it == sid ? members.erase(it) : it + 1;
}

std::string SidOf(const std::string& name) {
  WorldGuard guard(WorldMutex());
  auto resolved = ResolveName(WideOf(name));
  return resolved ? SidText(resolved->sid) : "";
}

std::vector<std::string> GroupSidsOf(const std::string& accountName) {
  WorldGuard guard(WorldMutex());
  std::vector<std::string> out;
  for (const GroupEntry& entry : GroupsOf(AccountNamed(accountName).sid)) out.push_back(SidText(entry.sid));
  return out;
}

}  // namespace winhost
