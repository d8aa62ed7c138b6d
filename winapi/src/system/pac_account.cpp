// The account and token of a client whose PAC was verified (see pac_account.h).
#include "system/pac_account.h"

#include <algorithm>

namespace winhost::system {
namespace {

constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

constexpr uint32_t kDomainAdminsRid = 512;
constexpr uint32_t kDomainUsersRid = 513;

// The groups every domain has, at the same RID in each.
struct DomainGroup {
  const char16_t* name;
  uint32_t rid;
};
const DomainGroup kDomainGroups[] = {
    {u"Domain Admins", kDomainAdminsRid}, {u"Domain Users", kDomainUsersRid}, {u"Domain Guests", 514},
    {u"Domain Computers", 515},           {u"Domain Controllers", 516},
};

struct WellKnownSids {
  SidBytes everyone = *ParseSid("S-1-1-0");
  SidBytes authenticatedUsers = *ParseSid("S-1-5-11");
  SidBytes builtinUsers = *ParseSid("S-1-5-32-545");
  SidBytes builtinAdministrators = *ParseSid("S-1-5-32-544");
  SidBytes builtin = *ParseSid("S-1-5-32");
  SidBytes unix = *ParseSid("S-1-22");
  SidBytes system = *ParseSid("S-1-5-18");
};
const WellKnownSids& Known() {
  static const WellKnownSids* sids = new WellKnownSids();
  return *sids;
}

// Whether a SID is this computer's to give: the groups it gives every token itself (Everyone,
// Authenticated Users), its built-in aliases, its Unix accounts and groups, and SYSTEM.
bool GrantedLocally(const SidBytes& sid) {
  if (sid == Known().system || sid == Known().everyone || sid == Known().authenticatedUsers) return true;
  // Same authority, and for BUILTIN the same first sub-authority.
  auto under = [&sid](const SidBytes& domain) {
    if (sid.size() < domain.size() || sid.size() < 8) return false;
    return std::equal(domain.begin() + 2, domain.end(), sid.begin() + 2);
  };
  return under(Known().builtin) || under(Known().unix);
}

bool SameLetters(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  return text;
}

}  // namespace

std::vector<GroupEntry> PacTokenGroups(const pac::LogonInfo& logon, const std::vector<SidBytes>& administratorGroups) {
  std::vector<GroupEntry> groups{{Known().everyone, kEnabled}};
  auto add = [&groups](const std::optional<SidBytes>& sid, DWORD attributes) {
    if (!sid || GrantedLocally(*sid)) return;
    for (const GroupEntry& entry : groups)
      if (entry.sid == *sid) return;
    groups.push_back({*sid, attributes});
  };
  for (const pac::GroupRid& group : logon.groupIds) add(pac::WithRid(logon.logonDomainId, group.rid), group.attributes);
  add(pac::WithRid(logon.logonDomainId, logon.primaryGroupId), kEnabled);
  if (logon.userFlags & pac::kExtraSidsFlag)
    for (const pac::SidAttributes& extra : logon.extraSids) add(extra.sid, extra.attributes);
  if (logon.userFlags & pac::kResourceGroupsFlag)
    for (const pac::GroupRid& group : logon.resourceGroupIds)
      add(pac::WithRid(logon.resourceGroupDomainSid, group.rid), group.attributes);

  auto holds = [&groups](const std::optional<SidBytes>& sid) {
    for (const GroupEntry& entry : groups)
      if (sid && entry.sid == *sid && (entry.attributes & SE_GROUP_ENABLED) != 0 &&
          (entry.attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0)
        return true;
    return false;
  };
  const bool user = holds(pac::WithRid(logon.logonDomainId, kDomainUsersRid));
  const bool administrator = std::any_of(administratorGroups.begin(), administratorGroups.end(),
                                         [&holds](const SidBytes& sid) { return holds(sid); });
  if (user) groups.push_back({Known().builtinUsers, kEnabled});
  if (administrator) groups.push_back({Known().builtinAdministrators, kEnabled});
  groups.push_back({Known().authenticatedUsers, kEnabled});
  return groups;
}

std::vector<SidBytes> DomainAdminGroups(const pac::LogonInfo& logon) {
  std::vector<SidBytes> sids;
  for (const std::string& entry : ListSetting("QUENTREL_DOMAIN_ADMIN_GROUPS", "Domain Admins")) {
    if (entry.rfind("S-", 0) == 0) {
      if (auto sid = ParseSid(entry)) sids.push_back(*sid);
      continue;
    }
    const std::u16string name = WideOf(entry);
    const size_t slash = name.find(u'\\');
    const std::u16string domain = slash == std::u16string::npos ? u"" : name.substr(0, slash);
    const std::u16string group = slash == std::u16string::npos ? name : name.substr(slash + 1);
    // A domain's own well-known group, of the client's domain: its SID is the PAC's to say.
    std::optional<SidBytes> sid;
    if (domain.empty() || SameLetters(domain, logon.logonDomainName))
      for (const DomainGroup& known : kDomainGroups)
        if (SameLetters(group, known.name)) sid = pac::WithRid(logon.logonDomainId, known.rid);
    if (!sid) sid = DomainGroupSid(name);
    if (sid) sids.push_back(*sid);
  }
  return sids;
}

std::optional<SidBytes> DomainGroupSid(const std::u16string& name) {
  SystemAccount account;
  if (SystemResolveName(name, account) != ERROR_SUCCESS) return std::nullopt;
  if (account.use != SidTypeGroup && account.use != SidTypeAlias) return std::nullopt;
  return account.sid;
}

DWORD SystemPacAccount(const pac::LogonInfo& logon, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account) {
  std::optional<SidBytes> user = pac::WithRid(logon.logonDomainId, logon.userId);
  if (!user) return ERROR_INVALID_SID;
  account = SystemAccount{};
  account.sid = *user;
  account.domain = logon.logonDomainName;
  account.name = logon.effectiveName;
  account.use = SidTypeUser;
  account.groups = PacTokenGroups(logon, DomainAdminGroups(logon));

  const std::string domain = Narrow(logon.logonDomainName);
  const std::string name = Narrow(logon.effectiveName);
  std::vector<std::string> candidates{domain + "\\" + name};
  if (!realm.empty()) candidates.push_back(name + "@" + LowerAscii(realm));
  if (mapped) candidates.push_back(*mapped);
  for (const std::string& candidate : candidates) {
    UnixIdentity identity;
    const DWORD error = SystemIdentityNamed(candidate, identity);
    if (error == ERROR_NONE_MAPPED) continue;
    if (error != ERROR_SUCCESS) return error;
    account.identity = std::move(identity);
    break;
  }
  return ERROR_SUCCESS;
}

}  // namespace winhost::system
