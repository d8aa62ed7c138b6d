// The system world's resolution of Windows names and SIDs (see accounts.h for the mapping): the
// built-in and well-known accounts, this computer's own, then the directory chain for a domain's.
#include "system/directory/accounts.h"

#include <unistd.h>

#include <algorithm>

#include "common/tokens.h"
#include "system/directory/chain.h"
#include "system/directory/domain_accounts.h"
#include "system/directory/nss.h"
#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "system/kerberos/principals.h"

namespace winhost::system::directory {


namespace {

// A realm user that NSS does not know by a domain name: the local account that krb5's
// auth_to_local rules map name@REALM to, the account a server context's token gives the same
// client, and no account when that is a system account the site has not allowed. The SID is that
// account's, so LookupAccountSidW names the local account (HOST\bob for QTEST\alice): several
// principals may map to one account, and a SID has one name.
DWORD RealmUserMapped(const std::string& realm, const std::string& name, const std::u16string& domain,
                      SystemAccount& account) {
  std::string local;
  if (DWORD error = kerberos::SystemLocalNameOf(name, realm, local); error != ERROR_SUCCESS) return error;
  UserEntry user;
  if (DWORD error = UserByName(local, user); error != ERROR_SUCCESS) return error;
  if (!kerberos::MayBeClientAccount(local, user.uid)) return ERROR_NONE_MAPPED;
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
  if (DWORD answer = ChainAccountNamed(domain, user, account); answer != ERROR_NO_SUCH_DOMAIN) return answer;
  // DOMAIN\user of a realm's domain is the principal user@REALM.
  const std::optional<std::string> domainRealm = kerberos::RealmOfDomain(domain);
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
  // A user principal name (alice@example.com): the directories of its domain.
  const size_t at = text.rfind('@');
  if (at != std::string::npos) {
    if (DWORD answer = ChainPrincipalNamed(text, account); answer != ERROR_NO_SUCH_DOMAIN) return answer;
    // user@REALM that no directory knows is the principal of that name: how the users of a realm
    // of no domain name are named.
    if (at == 0 || at + 1 == text.size()) return ERROR_NONE_MAPPED;
    const std::string realm = text.substr(at + 1);
    const std::optional<std::string> domain = kerberos::DomainOfRealm(realm);
    return RealmUserMapped(realm, text.substr(0, at), WideOf(domain ? *domain : realm), account);
  }
  DWORD error = NssAccountNamed(text, account);
  if (error != ERROR_NONE_MAPPED) return error;
  // A name no local account bears may be one of the computer's domain, as on a Windows member.
  const std::optional<std::string> realm = kerberos::SystemDefaultRealm();
  if (!realm) return error;
  const std::optional<std::string> domain = kerberos::DomainOfRealm(*realm);
  if (!domain) return error;
  const DWORD answer = ChainAccountNamed(*domain, text, account);
  return answer == ERROR_NO_SUCH_DOMAIN ? error : answer;
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
  const std::optional<std::string> realm = kerberos::SystemDefaultRealm();
  UserEntry user;
  bool found = false;
  for (const std::string& candidate : DomainCandidates(domain, name, realm))
    if ((found = UserByName(candidate, user) == ERROR_SUCCESS)) break;
  std::string local;
  const std::optional<std::string> domainRealm = kerberos::RealmOfDomain(domain);
  if (!found && domainRealm && kerberos::SystemLocalNameOf(name, *domainRealm, local) == ERROR_SUCCESS)
    found = UserByName(local, user) == ERROR_SUCCESS;
  if (!found || !kerberos::MayBeClientAccount(user.name, user.uid)) return ERROR_SUCCESS;
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

// NSS as a directory of domains: the names winbind and SSSD give a domain's accounts, and SSSD's
// SID mapping. A name NSS does not know, or a SID SSSD does not map, is some other directory's.
class Nss final : public Directory {
 public:
  DWORD AccountNamed(const std::string& domain, const std::string& name, SystemAccount& account) const override {
    for (const std::string& candidate : DomainCandidates(domain, name, kerberos::SystemDefaultRealm()))
      if (DWORD error = NssAccountNamed(candidate, account); error != ERROR_NONE_MAPPED) return error;
    return ERROR_NO_SUCH_DOMAIN;
  }
  DWORD PrincipalNamed(const std::string& principal, SystemAccount& account) const override {
    const DWORD error = NssAccountNamed(principal, account);
    return error == ERROR_NONE_MAPPED ? ERROR_NO_SUCH_DOMAIN : error;
  }
  DWORD AccountOfSid(const SidBytes& sid, SystemAccount& account) const override {
    std::optional<std::string> name;
    if (DWORD error = NameOfSid(sid, name); error != ERROR_SUCCESS) return error;
    return name ? NssAccountNamed(*name, account) : ERROR_NO_SUCH_DOMAIN;
  }
  DWORD UserOfSid(const SidBytes& sid, SystemAccount& account) const override {
    std::optional<std::string> name;
    if (DWORD error = NameOfSid(sid, name); error != ERROR_SUCCESS) return error;
    UserEntry user;
    const DWORD error = name ? UserByName(*name, user) : ERROR_NONE_MAPPED;
    if (error == ERROR_NONE_MAPPED) return ERROR_NO_SUCH_DOMAIN;
    return error == ERROR_SUCCESS ? UserAccount(user, true, account) : error;
  }

 private:
  static DWORD NameOfSid(const SidBytes& sid, std::optional<std::string>& name) {
    name.reset();
    if (Idmap() == nullptr) return ERROR_SUCCESS;
    const std::string text = SidText(sid);
    return CallIdmap("sss_nss_getnamebysid", text,
                     [&](char** answer, int* type) { return Idmap()->nameBySid(text.c_str(), answer, type); }, name);
  }
};

}  // namespace

const Directory& NssDirectory() {
  static const Nss directory;
  return directory;
}

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
  const DWORD answer = ChainAccountOfSid(sid, account);
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
    // A domain SID: the chain names the user and gives its groups; a domain's directory gives no
    // Unix identity, which is the account NSS or krb5 maps the user to.
    const DWORD answer = ChainUserOfSid(sid, account);
    if (answer == ERROR_NO_SUCH_DOMAIN) return ERROR_NO_SUCH_USER;
    return account.identity ? answer : WithUnixIdentity(answer, account);
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
  if (NssTokenGroups(identity, groups) != ERROR_SUCCESS) {
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

}  // namespace winhost::system::directory
