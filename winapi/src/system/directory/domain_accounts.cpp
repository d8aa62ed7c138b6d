// Accounts of Windows domains from the domains' own directories (see domain_accounts.h).
#include "system/directory/domain_accounts.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "common/tokens.h"

#include "system/directory/chain.h"
#include "system/directory/ldap_directory.h"
#include "system/directory/local_aliases.h"
#include "system/host/settings.h"
#include "system/kerberos/pac.h"
#include "system/directory/pac_account.h"
#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "system/kerberos/s4u.h"
#include "system/kerberos/service_key.h"
#include "system/directory/winbind.h"
#include "winhost/host_services.h"

namespace winhost::system::directory {
namespace {

// A name nobody bears may be given to a new account any moment: it is not believed for long.
constexpr std::chrono::seconds kLongestNegative{60};
constexpr size_t kMostAnswers = 4096;

// ---- the cache of answers --------------------------------------------------------------------

struct Answer {
  DWORD result = ERROR_SUCCESS;
  SystemAccount account;  // names and SID only
  std::chrono::steady_clock::time_point until;
  uint64_t serial = 0;
};

class Answers {
 public:
  std::optional<DWORD> Find(const std::string& key, SystemAccount& account) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = answers_.find(key);
    if (found == answers_.end()) return std::nullopt;
    if (found->second.until <= std::chrono::steady_clock::now()) {
      answers_.erase(found);
      return std::nullopt;
    }
    if (found->second.result == ERROR_SUCCESS) account = found->second.account;
    return found->second.result;
  }

  // Keeps an answer of a directory: an account or a name nobody bears, never a failure.
  void Keep(const std::string& key, DWORD result, const SystemAccount& account) {
    if (result != ERROR_SUCCESS && result != ERROR_NONE_MAPPED) return;
    std::chrono::seconds lifetime = DirectoryCacheLifetime();
    if (result == ERROR_NONE_MAPPED) lifetime = std::min(lifetime, kLongestNegative);
    if (lifetime.count() <= 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    Answer& answer = answers_[key];
    answer.result = result;
    answer.account = SystemAccount{account.sid, account.domain, account.name, account.use, std::nullopt, {}};
    answer.until = std::chrono::steady_clock::now() + lifetime;
    answer.serial = ++serial_;
    order_.emplace_back(key, answer.serial);
    // The oldest go first; a key kept again since is not its old place in the line.
    while (answers_.size() > kMostAnswers && !order_.empty()) {
      auto [oldest, serial] = order_.front();
      order_.pop_front();
      auto entry = answers_.find(oldest);
      if (entry != answers_.end() && entry->second.serial == serial) answers_.erase(entry);
    }
    if (order_.size() > 2 * kMostAnswers) Compact();
  }

  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    answers_.clear();
    order_.clear();
  }

 private:
  void Compact() {
    std::deque<std::pair<std::string, uint64_t>> kept;
    for (auto& item : order_) {
      auto entry = answers_.find(item.first);
      if (entry != answers_.end() && entry->second.serial == item.second) kept.push_back(std::move(item));
    }
    order_ = std::move(kept);
  }

  std::mutex lock_;
  std::unordered_map<std::string, Answer> answers_;
  std::deque<std::pair<std::string, uint64_t>> order_;
  uint64_t serial_ = 0;
};

Answers& TheAnswers() {
  static Answers* answers = new Answers();
  return *answers;
}

// A test's fresh world asks the directories afresh.
ResetHook resetDirectories([] {
  TheAnswers().Clear();
  LdapForget();
  kerberos::ForgetServiceTickets();
});

// Asks the cache, then `ask`, and keeps what the directory answered.
template <typename Ask>
DWORD Cached(const std::string& key, SystemAccount& account, Ask&& ask) {
  if (auto known = TheAnswers().Find(key, account)) return *known;
  account = SystemAccount{};
  const DWORD result = ask();
  TheAnswers().Keep(key, result, account);
  return result;
}

// ---- the directories -------------------------------------------------------------------------

SystemAccount FromWinbind(const WinbindAccount& found) {
  SystemAccount account;
  account.sid = found.sid;
  account.domain = WideOf(found.domain);
  account.name = WideOf(found.name);
  account.use = found.use;
  return account;
}

SystemAccount FromDirectory(const LdapEntry& entry, const LdapDomain& domain) {
  SystemAccount account;
  account.sid = entry.sid;
  account.domain = WideOf(domain.netbiosName);
  account.name = WideOf(entry.name);
  account.use = entry.use;
  return account;
}

DWORD ControllerNamed(const std::string& domain, const std::string& name, SystemAccount& account) {
  const std::optional<std::string> realm = DefaultRealmOfDomain(domain);
  if (!realm) return ERROR_NO_SUCH_DOMAIN;
  LdapDomain known;
  if (DWORD error = LdapDomainOf(*realm, known); error != ERROR_SUCCESS) return error;
  LdapEntry entry;
  if (DWORD error = LdapFindByName(*realm, name, entry); error != ERROR_SUCCESS) return error;
  account = FromDirectory(entry, known);
  return ERROR_SUCCESS;
}

DWORD ControllerPrincipal(const std::string& principal, SystemAccount& account) {
  const size_t at = principal.rfind('@');
  const std::optional<std::string> realm = DefaultRealmOfDomain(principal.substr(at + 1));
  if (!realm) return ERROR_NO_SUCH_DOMAIN;
  LdapDomain known;
  if (DWORD error = LdapDomainOf(*realm, known); error != ERROR_SUCCESS) return error;
  LdapEntry entry;
  DWORD error = LdapFindByPrincipal(*realm, principal, entry);
  // Every account also answers to its name at the domain's DNS name.
  if (error == ERROR_NONE_MAPPED) error = LdapFindByName(*realm, principal.substr(0, at), entry);
  if (error != ERROR_SUCCESS) return error;
  account = FromDirectory(entry, known);
  return ERROR_SUCCESS;
}

DWORD ControllerSid(const SidBytes& sid, SystemAccount& account, LdapEntry* entry = nullptr) {
  const std::optional<std::string> realm = kerberos::SystemDefaultRealm();
  if (!realm) return ERROR_NO_SUCH_DOMAIN;
  LdapDomain known;
  if (DWORD error = LdapDomainOf(*realm, known); error != ERROR_SUCCESS) return error;
  if (sid == known.sid) {
    account = SystemAccount{sid, WideOf(known.netbiosName), WideOf(known.netbiosName), SidTypeDomain, std::nullopt, {}};
    return ERROR_SUCCESS;
  }
  // A SID of another domain: this directory does not know it.
  if (!InDomain(sid, known.sid)) return ERROR_NO_SUCH_DOMAIN;
  LdapEntry found;
  if (DWORD error = LdapFindBySid(*realm, sid, found); error != ERROR_SUCCESS) return error;
  account = FromDirectory(found, known);
  if (entry != nullptr) *entry = std::move(found);
  return ERROR_SUCCESS;
}

// The groups the DC gives a user at logon, from the PAC of an S4U2Self ticket, when the service
// has a key in the user's realm: the DC's own answer, which a directory's view of group
// memberships may miss (winbind on a controller reports direct memberships only).
bool PacGroups(const SystemAccount& user, std::vector<GroupEntry>& groups, DWORD& failure) {
  failure = ERROR_SUCCESS;
  const std::string domain = Narrow(user.domain.c_str(), user.domain.size());
  const std::optional<std::string> realm = DefaultRealmOfDomain(domain);
  if (!realm) return false;
  const std::optional<std::string> service = kerberos::ServicePrincipal(*realm);
  if (!service) return false;
  std::vector<uint8_t> logonInfo;
  const DWORD error = kerberos::S4uLogonInfo(*service, Narrow(user.name.c_str(), user.name.size()) + "@" + *realm, logonInfo);
  if (error == ERROR_NOT_ENOUGH_MEMORY) failure = error;
  if (error != ERROR_SUCCESS) return false;
  const std::optional<kerberos::LogonInfo> logon = kerberos::DecodeLogonInfo(logonInfo.data(), logonInfo.size());
  // The ticket must be the user's: a PAC of anybody else is no answer.
  if (!logon || WithRid(logon->logonDomainId, logon->userId) != user.sid) return false;
  groups = PacDomainGroups(*logon);
  return true;
}

// The cache's keys: the same answer whichever directory gave it.
std::string NameKey(const std::string& domain, const std::string& name) {
  return "name:" + UpperAscii(domain) + "\\" + LowerAscii(name);
}
std::string PrincipalKey(const std::string& principal) { return "principal:" + LowerAscii(principal); }
std::string SidKey(const SidBytes& sid) { return "sid:" + SidText(sid); }

// A user with the groups its token has on this computer: the PAC's of an S4U2Self ticket where
// the service has a key in the user's realm, else what `directoryGroups` gives.
template <typename DirectoryGroups>
DWORD UserWithGroups(const SidBytes& sid, DWORD error, SystemAccount named, const DirectoryGroups& directoryGroups,
                     SystemAccount& account) {
  if (error == ERROR_NONE_MAPPED || (error == ERROR_SUCCESS && named.use != SidTypeUser)) return ERROR_NO_SUCH_USER;
  if (error != ERROR_SUCCESS) return error;
  std::vector<GroupEntry> groups;
  if (!PacGroups(named, groups, error)) {
    if (error != ERROR_SUCCESS) return error;
    std::vector<SidBytes> sids;
    error = directoryGroups(sids);
    if (error == ERROR_NONE_MAPPED) return ERROR_NO_SUCH_USER;
    if (error != ERROR_SUCCESS) return error;
    for (SidBytes& group : sids) groups.push_back({std::move(group), kEnabled});
  }
  if (!DomainPart(sid)) return ERROR_NO_SUCH_USER;
  account = std::move(named);
  account.groups = DomainTokenGroups(groups, LocalAliasMembers());
  return ERROR_SUCCESS;
}

// Winbind, where it runs: the cache, then winbindd.
class Winbind final : public Directory {
 public:
  DWORD AccountNamed(const std::string& domain, const std::string& name, SystemAccount& account) const override {
    if (domain.empty() || name.empty()) return ERROR_NO_SUCH_DOMAIN;
    return Cached(NameKey(domain, name), account, [&] {
      return Found(account, [&](WinbindAccount& found) { return WinbindLookupName(domain, name, found); });
    });
  }
  DWORD PrincipalNamed(const std::string& principal, SystemAccount& account) const override {
    const size_t at = principal.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == principal.size()) return ERROR_NO_SUCH_DOMAIN;
    return Cached(PrincipalKey(principal), account, [&] {
      return Found(account, [&](WinbindAccount& found) {
        return WinbindLookupName(principal.substr(at + 1), principal.substr(0, at), found);
      });
    });
  }
  DWORD AccountOfSid(const SidBytes& sid, SystemAccount& account) const override {
    return Cached(SidKey(sid), account, [&] {
      return Found(account, [&](WinbindAccount& found) { return WinbindLookupSid(sid, found); });
    });
  }
  DWORD UserOfSid(const SidBytes& sid, SystemAccount& account) const override {
    SystemAccount named;
    const DWORD error = AccountOfSid(sid, named);
    if (error == ERROR_NO_SUCH_DOMAIN) return error;
    return UserWithGroups(sid, error, std::move(named), [&](std::vector<SidBytes>& sids) {
      // Winbind went away between the two questions.
      const DWORD answer = WinbindUserGroups(sid, sids);
      return answer == ERROR_NO_SUCH_DOMAIN ? static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE) : answer;
    }, account);
  }

 private:
  template <typename Lookup>
  static DWORD Found(SystemAccount& account, const Lookup& lookup) {
    WinbindAccount found;
    const DWORD error = lookup(found);
    if (error == ERROR_SUCCESS) account = FromWinbind(found);
    return error;
  }
};

// The default realm's controllers over LDAP, bound with the service's key: the cache, then them.
class Controllers final : public Directory {
 public:
  DWORD AccountNamed(const std::string& domain, const std::string& name, SystemAccount& account) const override {
    if (domain.empty() || name.empty()) return ERROR_NO_SUCH_DOMAIN;
    return Cached(NameKey(domain, name), account, [&] { return ControllerNamed(domain, name, account); });
  }
  DWORD PrincipalNamed(const std::string& principal, SystemAccount& account) const override {
    const size_t at = principal.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == principal.size()) return ERROR_NO_SUCH_DOMAIN;
    return Cached(PrincipalKey(principal), account, [&] { return ControllerPrincipal(principal, account); });
  }
  DWORD AccountOfSid(const SidBytes& sid, SystemAccount& account) const override {
    return Cached(SidKey(sid), account, [&] { return ControllerSid(sid, account); });
  }
  DWORD UserOfSid(const SidBytes& sid, SystemAccount& account) const override {
    // The controllers' own entry rather than the cache's answer: its DN is where its groups are.
    SystemAccount named;
    LdapEntry entry;
    const DWORD error = ControllerSid(sid, named, &entry);
    if (error == ERROR_NO_SUCH_DOMAIN) return error;
    return UserWithGroups(sid, error, std::move(named), [&](std::vector<SidBytes>& sids) {
      return LdapTokenGroups(*kerberos::SystemDefaultRealm(), entry.dn, sids);
    }, account);
  }
};

}  // namespace

const Directory& WinbindDirectory() {
  static const Winbind directory;
  return directory;
}

const Directory& ControllerDirectory() {
  static const Controllers directory;
  return directory;
}

std::chrono::seconds DirectoryCacheLifetime() {
  using host::SettingId;
  const std::optional<long long> seconds = host::SecondsSetting(SettingId::kDirectoryCacheSeconds);
  return std::chrono::seconds(seconds ? *seconds : std::stoll(host::SettingOf(SettingId::kDirectoryCacheSeconds).fallback));
}

DWORD DomainAccountOfUnixId(bool group, uint32_t id, SystemAccount& account) {
  return Cached((group ? "gid:" : "uid:") + std::to_string(id), account, [&]() -> DWORD {
    SidBytes sid;
    if (DWORD error = WinbindSidOfUnixId(group, id, sid); error != ERROR_SUCCESS) return error;
    WinbindAccount found;
    if (DWORD error = WinbindLookupSid(sid, found); error != ERROR_SUCCESS)
      return error == ERROR_NO_SUCH_DOMAIN ? static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE) : error;
    account = FromWinbind(found);
    return ERROR_SUCCESS;
  });
}

std::optional<std::string> DefaultRealmOfDomain(const std::string& domain) {
  const std::optional<std::string> realm = kerberos::SystemDefaultRealm();
  if (!realm || domain.empty()) return std::nullopt;
  const std::string wanted = UpperAscii(domain);
  if (wanted == UpperAscii(*realm) || wanted == UpperAscii(realm->substr(0, realm->find('.')))) return realm;
  LdapDomain known;
  if (LdapDomainOf(*realm, known) == ERROR_SUCCESS && UpperAscii(known.netbiosName) == wanted) return realm;
  return std::nullopt;
}

}  // namespace winhost::system::directory
