// Accounts of the system world over NSS (see accounts.h for the mapping). Every NSS call goes
// through the journal and the fault table under its own name ("getpwnam_r", "getgrouplist" ...),
// with an errno value as the fault's code, so a test can make the directory fail as it really can.
#include "system/directory/accounts.h"

#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "common/tokens.h"

#include "system/directory/domain_accounts.h"
#include "system/host/names.h"
#include "system/host/settings.h"
#include "system/kerberos/principals.h"
#include "system/directory/run_time_library.h"

namespace winhost::system {
namespace {


// ---- NSS -------------------------------------------------------------------------------------

struct UserEntry {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct GroupRecord {
  std::string name;
  gid_t gid = 0;
};

// What an NSS error means to a Windows caller. The reentrant functions report "not found" as 0
// with no entry, or as one of ENOENT, ESRCH, EBADF and EPERM depending on the module.
DWORD NssError(int error) {
  switch (error) {
    case 0:
    case ENOENT:
    case ESRCH:
    case EBADF:
    case EPERM: return ERROR_NONE_MAPPED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return RPC_S_SERVER_UNAVAILABLE;  // the directory service behind NSS did not answer
  }
}

constexpr size_t kFirstBuffer = 1024;
constexpr size_t kLargestBuffer = size_t{1} << 20;
constexpr int kInterruptions = 8;

// Calls a reentrant NSS lookup, doubling its buffer while it answers ERANGE. `take` copies the
// entry out before the buffer goes. 0, ERROR_NONE_MAPPED or the failure's code.
template <typename Record>
DWORD QueryNss(const char* function, const std::string& key,
               const std::function<int(Record*, char*, size_t, Record**)>& lookup,
               const std::function<void(const Record&)>& take) {
  std::vector<char> buffer(kFirstBuffer);
  for (int interruptions = 0;;) {
    Record record;
    Record* result = nullptr;
    int error;
    if (auto fault = Enter(Call{function, {{"key", key}, {"bufferSize", std::to_string(buffer.size())}}})) {
      error = static_cast<int>(*fault);
    } else {
      error = lookup(&record, buffer.data(), buffer.size(), &result);
    }
    if (error == EINTR && ++interruptions < kInterruptions) continue;
    if (error == ERANGE) {
      // An entry that does not fit a megabyte is no account anyone can use.
      if (buffer.size() >= kLargestBuffer) return ERROR_NOT_ENOUGH_MEMORY;
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || result == nullptr) return NssError(error);
    take(*result);
    return ERROR_SUCCESS;
  }
}

void TakeUser(const passwd& entry, UserEntry& user) { user = UserEntry{entry.pw_name, entry.pw_uid, entry.pw_gid}; }
void TakeGroup(const group& entry, GroupRecord& out) { out = GroupRecord{entry.gr_name, entry.gr_gid}; }

DWORD UserByName(const std::string& name, UserEntry& user) {
  return QueryNss<passwd>(
      "getpwnam_r", name,
      [&](passwd* record, char* buffer, size_t size, passwd** result) {
        return getpwnam_r(name.c_str(), record, buffer, size, result);
      },
      [&](const passwd& entry) { TakeUser(entry, user); });
}

DWORD UserById(uid_t uid, UserEntry& user) {
  return QueryNss<passwd>(
      "getpwuid_r", std::to_string(uid),
      [&](passwd* record, char* buffer, size_t size, passwd** result) {
        return getpwuid_r(uid, record, buffer, size, result);
      },
      [&](const passwd& entry) { TakeUser(entry, user); });
}

DWORD GroupByName(const std::string& name, GroupRecord& out) {
  return QueryNss<group>(
      "getgrnam_r", name,
      [&](group* record, char* buffer, size_t size, group** result) {
        return getgrnam_r(name.c_str(), record, buffer, size, result);
      },
      [&](const group& entry) { TakeGroup(entry, out); });
}

DWORD GroupById(gid_t gid, GroupRecord& out) {
  return QueryNss<group>(
      "getgrgid_r", std::to_string(gid),
      [&](group* record, char* buffer, size_t size, group** result) {
        return getgrgid_r(gid, record, buffer, size, result);
      },
      [&](const group& entry) { TakeGroup(entry, out); });
}

// The groups NSS gives a user, its primary group included. getgrouplist reports how many it has
// when the array is too small, and the array grows to that.
DWORD GroupList(const UserEntry& user, std::vector<gid_t>& groups) {
  int capacity = 32;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::vector<gid_t> found(static_cast<size_t>(capacity));
    int count = capacity;
    int result;
    if (auto fault = Enter(Call{"getgrouplist", {{"user", user.name}, {"size", std::to_string(capacity)}}})) {
      if (*fault != ERANGE) return NssError(static_cast<int>(*fault));
      result = -1;
    } else {
      result = getgrouplist(user.name.c_str(), user.gid, found.data(), &count);
    }
    if (result >= 0) {
      found.resize(static_cast<size_t>(std::min(count, capacity)));
      groups = std::move(found);
      return ERROR_SUCCESS;
    }
    capacity = count > capacity ? count : capacity * 2;
  }
  return ERROR_NOT_ENOUGH_MEMORY;
}

// ---- SSSD's domain SIDs, when its library is installed -----------------------------------------

// libsss_nss_idmap's own declarations; its header is not needed to build, nor the library to run.
struct SssIdmap {
  int (*sidByName)(const char* name, char** sid, int* type);
  int (*sidByGid)(uint32_t gid, char** sid, int* type);
  int (*nameBySid)(const char* sid, char** name, int* type);
};

const SssIdmap* Idmap() {
  static const SssIdmap* idmap = []() -> const SssIdmap* {
    void* library = dlopen("libsss_nss_idmap.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto* loaded = new SssIdmap{};
    BindFunction(library, "sss_nss_getsidbygid", loaded->sidByGid);
    if (!BindFunction(library, "sss_nss_getsidbyname", loaded->sidByName) ||
        !BindFunction(library, "sss_nss_getnamebysid", loaded->nameBySid)) {
      delete loaded;
      dlclose(library);
      return nullptr;
    }
    return loaded;  // kept for the life of the process, as the library is
  }();
  return idmap;
}

// SSSD's answer as a Windows code: its "unknown" and "not running" are no failure (the Unix SID
// serves), but an SSSD that is there and cannot answer fails the lookup, so that an account never
// changes SID with SSSD's mood.
DWORD IdmapError(int error) {
  switch (error) {
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
    case ETIME:
    case ETIMEDOUT:
    case EAGAIN: return RPC_S_SERVER_UNAVAILABLE;
    default: return ERROR_SUCCESS;
  }
}

// SSSD's responder socket: without it the library has no one to ask, and asking costs as much as
// the NSS lookup itself, on every lookup of a machine that does not run SSSD.
bool SssdListening() { return access("/var/lib/sss/pipes/nss", F_OK) == 0; }

// Calls one idmap function (journalled under its own name); `text` gets its string when it
// answered.
DWORD CallIdmap(const char* function, const std::string& key, const std::function<int(char**, int*)>& call,
                std::optional<std::string>& text) {
  text.reset();
  if (Idmap() == nullptr || !SssdListening()) return ERROR_SUCCESS;
  if (auto fault = Enter(Call{function, {{"key", key}}})) return IdmapError(static_cast<int>(*fault));
  char* answer = nullptr;
  int type = 0;
  int error = call(&answer, &type);
  if (error == 0 && answer != nullptr) text = answer;
  std::free(answer);
  return error == 0 ? ERROR_SUCCESS : IdmapError(error);
}

DWORD DomainSidOfName(const std::string& name, std::optional<SidBytes>& sid) {
  std::optional<std::string> text;
  DWORD error = CallIdmap("sss_nss_getsidbyname", name,
                          [&](char** answer, int* type) { return Idmap()->sidByName(name.c_str(), answer, type); }, text);
  sid = text ? ParseSid(*text) : std::nullopt;
  return error;
}

DWORD DomainSidOfGid(gid_t gid, std::optional<SidBytes>& sid) {
  sid.reset();
  if (Idmap() == nullptr || Idmap()->sidByGid == nullptr) return ERROR_SUCCESS;
  std::optional<std::string> text;
  DWORD error = CallIdmap("sss_nss_getsidbygid", std::to_string(gid),
                          [&](char** answer, int* type) { return Idmap()->sidByGid(gid, answer, type); }, text);
  sid = text ? ParseSid(*text) : std::nullopt;
  return error;
}

// ---- names and SIDs --------------------------------------------------------------------------

SidBytes UnixSid(uint32_t kind, uint32_t id) { return *ParseSid("S-1-22-" + std::to_string(kind) + "-" + std::to_string(id)); }
constexpr uint32_t kUnixUsers = 1;
constexpr uint32_t kUnixGroups = 2;

std::string FirstLabel(const std::string& dnsName) { return dnsName.substr(0, dnsName.find('.')); }

std::u16string LocalDomainName() {
  std::string host;
  if (SystemHostName(host) != ERROR_SUCCESS) return u"";
  return NetbiosNameOf(host);
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

struct WellKnown {
  const char16_t* domain;
  const char16_t* name;
  const char* sid;
  SID_NAME_USE use;
};

const WellKnown kWellKnown[] = {
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
std::vector<std::string> AdminGroupNames() { return settings::List(settings::Id::kAdminGroups); }

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
DWORD TokenGroups(const UnixIdentity& identity, std::vector<GroupEntry>& groups) {
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
  if (DWORD error = TokenGroups(identity, account.groups); error != ERROR_SUCCESS) return error;
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

// A realm user that NSS does not know by a domain name: the local account that krb5's
// auth_to_local rules map name@REALM to, the account a server context's token gives the same
// client, and no account when that is a system account the site has not allowed. The SID is that
// account's, so LookupAccountSidW names the local account (HOST\bob for QTEST\alice): several
// principals may map to one account, and a SID has one name.
DWORD RealmUserMapped(const std::string& realm, const std::string& name, const std::u16string& domain,
                      SystemAccount& account) {
  std::string local;
  if (DWORD error = SystemLocalNameOf(name, realm, local); error != ERROR_SUCCESS) return error;
  UserEntry user;
  if (DWORD error = UserByName(local, user); error != ERROR_SUCCESS) return error;
  if (!MayBeClientAccount(local, user.uid)) return ERROR_NONE_MAPPED;
  if (DWORD error = UserAccount(user, false, account); error != ERROR_SUCCESS) return error;
  const std::optional<std::u16string> shown = StrictWide(name);
  if (!shown) return ERROR_NONE_MAPPED;
  account.domain = domain;
  account.name = *shown;
  return ERROR_SUCCESS;
}

DWORD ResolveInDomain(const std::u16string& qualifier, const std::u16string& name, SystemAccount& account) {
  for (const WellKnown& entry : kWellKnown)
    if (SameAscii(entry.domain, qualifier) && entry.use != SidTypeDomain && SameAscii(entry.name, name)) {
      account = FromWellKnown(entry);
      return ERROR_SUCCESS;
    }
  if (SameAscii(qualifier, u"BUILTIN") || SameAscii(qualifier, u"NT AUTHORITY")) return ERROR_NONE_MAPPED;
  if (SameAscii(qualifier, LocalDomainName())) {
    // A local name is a name without a domain of its own.
    std::string local = Narrow(name.c_str(), name.size());
    if (IsDomainName(local)) return ERROR_NONE_MAPPED;
    return NssAccountNamed(local, account);
  }
  const std::string domain = Narrow(qualifier.c_str(), qualifier.size());
  const std::string user = Narrow(name.c_str(), name.size());
  // A domain's own directory gives its accounts their domain SIDs: winbind before NSS, whose
  // winbind answers carry Unix ids only.
  if (DWORD answer = DomainAccountNamed(DomainDirectory::kWinbind, domain, user, account); answer != ERROR_NO_SUCH_DOMAIN)
    return answer;
  const std::optional<std::string> realm = SystemDefaultRealm();
  for (const std::string& candidate : DomainCandidates(domain, user, realm)) {
    DWORD error = NssAccountNamed(candidate, account);
    if (error != ERROR_NONE_MAPPED) return error;
  }
  // A domain whose controllers this host may ask with its key: their answer is final.
  if (DWORD answer = DomainAccountNamed(DomainDirectory::kController, domain, user, account); answer != ERROR_NO_SUCH_DOMAIN)
    return answer;
  // DOMAIN\user of a realm's domain is the principal user@REALM.
  const std::optional<std::string> domainRealm = RealmOfDomain(domain);
  if (!domainRealm) return ERROR_NONE_MAPPED;
  return RealmUserMapped(*domainRealm, user, WideOf(UpperAscii(domain)), account);
}

DWORD ResolveUnqualified(const std::u16string& name, SystemAccount& account) {
  if (name.empty()) return ERROR_NONE_MAPPED;
  for (const WellKnown& entry : kWellKnown)
    if ((entry.use == SidTypeWellKnownGroup || entry.use == SidTypeDomain) && SameAscii(entry.name, name)) {
      account = FromWellKnown(entry);
      return ERROR_SUCCESS;
    }
  if (SameAscii(name, LocalDomainName())) {
    account = LocalDomain(kUnixUsers);
    return ERROR_SUCCESS;
  }
  for (const WellKnown& entry : kWellKnown)
    if (entry.use == SidTypeAlias && SameAscii(entry.name, name)) {
      account = FromWellKnown(entry);
      return ERROR_SUCCESS;
    }
  const std::string text = Narrow(name.c_str(), name.size());
  // A user principal name (alice@example.com): the directories of its domain, around NSS.
  const size_t at = text.rfind('@');
  const bool principal = at != std::string::npos;
  if (principal) {
    DWORD answer = DomainPrincipalNamed(DomainDirectory::kWinbind, text, account);
    if (answer != ERROR_NO_SUCH_DOMAIN) return answer;
  }
  DWORD error = NssAccountNamed(text, account);
  if (error != ERROR_NONE_MAPPED) return error;
  if (principal) {
    DWORD answer = DomainPrincipalNamed(DomainDirectory::kController, text, account);
    if (answer != ERROR_NO_SUCH_DOMAIN) return answer;
    // user@REALM that no directory knows is the principal of that name: how the users of a realm
    // of no domain name are named.
    if (at == 0 || at + 1 == text.size()) return ERROR_NONE_MAPPED;
    const std::string realm = text.substr(at + 1);
    const std::optional<std::string> domain = DomainOfRealm(realm);
    return RealmUserMapped(realm, text.substr(0, at), WideOf(domain ? *domain : realm), account);
  }
  // A name no local account bears may be one of the computer's domain, as on a Windows member.
  const std::optional<std::string> realm = SystemDefaultRealm();
  if (!realm) return error;
  const std::optional<std::string> domain = DomainOfRealm(*realm);
  if (!domain) return error;
  for (DomainDirectory directory : {DomainDirectory::kWinbind, DomainDirectory::kController}) {
    DWORD answer = DomainAccountNamed(directory, *domain, text, account);
    if (answer != ERROR_NO_SUCH_DOMAIN) return answer;
  }
  return error;
}

// A domain user's Unix account, who a thread acting as that user is: the one NSS gives for one of
// its domain names, else the local account krb5 maps its principal to; none when neither has one,
// or when that is a system account the site has not allowed as a client's identity. `answer` is
// the directory's answer, passed on; a Unix account that cannot be found leaves the user without
// one rather than failing it.
DWORD WithUnixIdentity(DWORD answer, SystemAccount& account) {
  if (answer != ERROR_SUCCESS) return answer;
  const std::string domain = Narrow(account.domain.c_str(), account.domain.size());
  const std::string name = Narrow(account.name.c_str(), account.name.size());
  const std::optional<std::string> realm = SystemDefaultRealm();
  UserEntry user;
  bool found = false;
  for (const std::string& candidate : DomainCandidates(domain, name, realm))
    if ((found = UserByName(candidate, user) == ERROR_SUCCESS)) break;
  std::string local;
  const std::optional<std::string> domainRealm = RealmOfDomain(domain);
  if (!found && domainRealm && SystemLocalNameOf(name, *domainRealm, local) == ERROR_SUCCESS)
    found = UserByName(local, user) == ERROR_SUCCESS;
  if (!found || !MayBeClientAccount(user.name, user.uid)) return ERROR_SUCCESS;
  UnixIdentity identity{user.uid, user.gid, {}};
  if (GroupList(user, identity.groups) == ERROR_SUCCESS) account.identity = std::move(identity);
  return ERROR_SUCCESS;
}

// The Unix kind (1 users, 2 groups) of an S-1-22-<kind>-<id> SID, or 0.
uint32_t UnixKind(const SidBytes& sid) {
  static const SidBytes authority = *ParseSid("S-1-22");
  if (sid.size() != 16 || !std::equal(authority.begin() + 2, authority.begin() + 8, sid.begin() + 2)) return 0;
  const uint32_t kind = SubAuthority(sid, 0).value_or(0);
  return kind == kUnixUsers || kind == kUnixGroups ? kind : 0;
}

}  // namespace

DWORD SystemIdentityNamed(const std::string& unixName, UnixIdentity& identity) {
  if (unixName.empty()) return ERROR_NONE_MAPPED;
  UserEntry user;
  if (DWORD error = UserByName(unixName, user); error != ERROR_SUCCESS) return error;
  identity = UnixIdentity{user.uid, user.gid, {}};
  return GroupList(user, identity.groups);
}

DWORD SystemResolveName(const std::u16string& name, SystemAccount& account) {
  // A name no well-formed text can be (an unpaired surrogate) is nobody's.
  if (!StrictNarrow(name)) return ERROR_NONE_MAPPED;
  size_t slash = name.find(u'\\');
  if (slash != std::u16string::npos && slash > 0)
    return ResolveInDomain(name.substr(0, slash), name.substr(slash + 1), account);
  return ResolveUnqualified(slash == std::u16string::npos ? name : name.substr(1), account);
}

DWORD SystemResolveSid(const SidBytes& sid, SystemAccount& account) {
  for (const WellKnown& entry : kWellKnown)
    if (SidText(sid) == entry.sid) {
      account = FromWellKnown(entry);
      return ERROR_SUCCESS;
    }
  for (uint32_t kind : {kUnixUsers, kUnixGroups})
    if (sid == LocalDomain(kind).sid) {
      account = LocalDomain(kind);
      return ERROR_SUCCESS;
    }
  if (uint32_t kind = UnixKind(sid)) {
    const uint32_t id = LastRid(sid);
    if (kind == kUnixUsers) {
      UserEntry user;
      if (DWORD error = UserById(id, user); error != ERROR_SUCCESS) return error;
      return UserAccount(user, false, account);
    }
    GroupRecord record;
    if (DWORD error = GroupById(id, record); error != ERROR_SUCCESS) return error;
    return GroupAccount(record, account);
  }
  if (DWORD answer = DomainAccountOfSid(DomainDirectory::kWinbind, sid, account); answer != ERROR_NO_SUCH_DOMAIN)
    return answer;
  if (Idmap() != nullptr) {
    std::optional<std::string> name;
    const std::string text = SidText(sid);
    DWORD error = CallIdmap("sss_nss_getnamebysid", text,
                            [&](char** answer, int* type) { return Idmap()->nameBySid(text.c_str(), answer, type); }, name);
    if (error != ERROR_SUCCESS) return error;
    if (name) return NssAccountNamed(*name, account);
  }
  DWORD answer = DomainAccountOfSid(DomainDirectory::kController, sid, account);
  return answer == ERROR_NO_SUCH_DOMAIN ? ERROR_NONE_MAPPED : answer;
}

DWORD SystemAccountNamed(const std::string& unixName, SystemAccount& account) {
  if (unixName.empty()) return ERROR_NONE_MAPPED;
  UserEntry user;
  if (DWORD error = UserByName(unixName, user); error != ERROR_SUCCESS) return error;
  return UserAccount(user, true, account);
}

DWORD SystemUserOfSid(const SidBytes& sid, SystemAccount& account) {
  UserEntry user;
  DWORD error = ERROR_NONE_MAPPED;
  if (UnixKind(sid) == kUnixUsers) {
    error = UserById(LastRid(sid), user);
  } else if (UnixKind(sid) == 0) {
    // A domain SID: winbind names the user and gives its groups; else SSSD names its account, and
    // NSS gives the account's identity and groups; else the domain's controllers answer.
    if (DWORD answer = DomainUserOfSid(DomainDirectory::kWinbind, sid, account); answer != ERROR_NO_SUCH_DOMAIN)
      return WithUnixIdentity(answer, account);
    if (Idmap() != nullptr) {
      std::optional<std::string> name;
      const std::string text = SidText(sid);
      error = CallIdmap("sss_nss_getnamebysid", text,
                        [&](char** answer, int* type) { return Idmap()->nameBySid(text.c_str(), answer, type); }, name);
      if (error == ERROR_SUCCESS) error = name ? UserByName(*name, user) : ERROR_NONE_MAPPED;
    }
    if (error == ERROR_NONE_MAPPED) {
      DWORD answer = DomainUserOfSid(DomainDirectory::kController, sid, account);
      if (answer != ERROR_NO_SUCH_DOMAIN) return WithUnixIdentity(answer, account);
    }
  }
  if (error == ERROR_NONE_MAPPED) return ERROR_NO_SUCH_USER;
  if (error != ERROR_SUCCESS) return error;
  return UserAccount(user, true, account);
}

SystemAccount SystemProcessUser() {
  const uid_t uid = geteuid();
  SystemAccount account;
  UserEntry user;
  if (UserById(uid, user) != ERROR_SUCCESS || !SplitNssName(user.name, account)) {
    user = UserEntry{std::to_string(uid), uid, getegid()};
    SplitNssName(user.name, account);
  }
  account.use = SidTypeUser;
  if (UserSid(user, account.sid) != ERROR_SUCCESS) account.sid = UnixSid(kUnixUsers, uid);
  return account;
}

SystemAccount SystemProcessAccount() {
  UnixIdentity identity{geteuid(), getegid(), {}};
  int count = getgroups(0, nullptr);
  if (count > 0) {
    identity.groups.resize(static_cast<size_t>(count));
    count = getgroups(count, identity.groups.data());
    identity.groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
  }
  if (std::find(identity.groups.begin(), identity.groups.end(), identity.gid) == identity.groups.end())
    identity.groups.insert(identity.groups.begin(), identity.gid);

  SystemAccount account = SystemProcessUser();
  // The kernel's groups are the truth; a group NSS cannot name keeps its Unix SID.
  std::vector<GroupEntry> groups;
  if (TokenGroups(identity, groups) != ERROR_SUCCESS) {
    groups = {{Everyone(), kEnabled}};
    for (gid_t gid : identity.groups) groups.push_back({UnixSid(kUnixGroups, gid), kEnabled});
    groups.push_back({Users(), kEnabled});
    if (identity.uid == 0) groups.push_back({Administrators(), kEnabled});
    groups.push_back({AuthenticatedUsers(), kEnabled});
  }
  account.groups = std::move(groups);
  account.identity = std::move(identity);
  return account;
}

SystemAccount SystemUnmappedAccount(const std::u16string& domain, const std::u16string& name) {
  SystemAccount account;
  account.domain = domain;
  account.name = name;
  account.use = SidTypeUser;
  account.groups = {{Everyone(), kEnabled}, {AuthenticatedUsers(), kEnabled}};
  return account;
}

}  // namespace winhost::system
