// The built-in aliases of a domain member (see local_aliases.h).
#include "system/directory/local_aliases.h"

#include <algorithm>
#include <mutex>

#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "system/host/settings.h"
#include "system/host/trace.h"
#include "system/kerberos/principals.h"

namespace winhost::system::directory {
namespace {

// The SIDs this computer gives itself, which no domain has a say over.
struct LocalSids {
  SidBytes everyone = *ParseSid("S-1-1-0");
  SidBytes authenticatedUsers = *ParseSid("S-1-5-11");
  SidBytes builtinUsers = *ParseSid("S-1-5-32-545");
  SidBytes builtinAdministrators = *ParseSid("S-1-5-32-544");
  SidBytes builtin = *ParseSid("S-1-5-32");
  SidBytes unix = *ParseSid("S-1-22");
  SidBytes system = *ParseSid("S-1-5-18");
  SidBytes ntDomain = *ParseSid("S-1-5-21");
};
const LocalSids& Local() {
  static const LocalSids* sids = new LocalSids();
  return *sids;
}

bool GrantedLocally(const SidBytes& sid) {
  if (sid == Local().system || sid == Local().everyone || sid == Local().authenticatedUsers) return true;
  // Same authority, and for BUILTIN the same first sub-authority.
  auto under = [&sid](const SidBytes& domain) {
    return sid.size() >= domain.size() && sid.size() >= 8 && std::equal(domain.begin() + 2, domain.end(), sid.begin() + 2);
  };
  return under(Local().builtin) || under(Local().unix);
}

// The groups every domain has, at the same RID in each.
struct DomainGroup {
  const char16_t* name;
  uint32_t rid;
};
const DomainGroup kDomainGroups[] = {
    {u"Domain Admins", 512}, {u"Domain Users", 513},        {u"Domain Guests", 514},
    {u"Domain Computers", 515}, {u"Domain Controllers", 516},
};

// A domain's SID as a member's domain has it: S-1-5-21 and three sub-authorities.
bool DomainShaped(const SidBytes& sid) {
  return sid.size() == 8 + 4 * 4 && sid[1] == 4 && std::equal(Local().ntDomain.begin() + 2, Local().ntDomain.end(), sid.begin() + 2);
}

// The directory's answer, kept for the default realm it was asked for: a member's domain SID
// never changes, and sign-ons ask for it often.
std::optional<SidBytes> DirectoryHomeSid(const std::string& realm) {
  static std::mutex lock;
  static std::string keptRealm;
  static std::optional<SidBytes> kept;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (kept && keptRealm == realm) return kept;
  }
  const std::optional<std::string> domain = kerberos::DomainOfRealm(realm);
  if (!domain) return std::nullopt;
  SystemAccount users;
  if (SystemResolveName(WideOf(*domain + "\\Domain Users"), users) != ERROR_SUCCESS || users.use != SidTypeGroup)
    return std::nullopt;
  std::optional<SidBytes> sid = DomainPart(users.sid);
  if (!sid || !DomainShaped(*sid) || WithRid(*sid, 513) != users.sid) return std::nullopt;
  std::lock_guard<std::mutex> guard(lock);
  keptRealm = realm;
  kept = sid;
  return sid;
}

// The SIDs of the groups a list setting names (see local_aliases.h).
std::vector<SidBytes> GroupsNamed(host::SettingId setting, const std::optional<SidBytes>& home,
                                  const std::u16string& homeName) {
  std::vector<SidBytes> sids;
  for (const std::string& entry : host::ListSetting(setting)) {
    if (entry.rfind("S-", 0) == 0 || entry.rfind("s-", 0) == 0) {
      if (auto sid = ParseSid(entry)) sids.push_back(*sid);
      continue;
    }
    const std::u16string name = WideOf(entry);
    const size_t slash = name.find(u'\\');
    const std::u16string domain = slash == std::u16string::npos ? u"" : name.substr(0, slash);
    const std::u16string group = slash == std::u16string::npos ? name : name.substr(slash + 1);
    const DomainGroup* known = nullptr;
    if (domain.empty() || (!homeName.empty() && SameAscii(domain, homeName)))
      for (const DomainGroup& candidate : kDomainGroups)
        if (SameAscii(group, candidate.name)) known = &candidate;
    if (known != nullptr) {
      // This computer's own domain's group, and no other domain's of the same RID.
      if (home) sids.push_back(*WithRid(*home, known->rid));
      continue;
    }
    SystemAccount found;
    if (SystemResolveName(name, found) == ERROR_SUCCESS && (found.use == SidTypeGroup || found.use == SidTypeAlias))
      sids.push_back(found.sid);
  }
  return sids;
}

}  // namespace

std::optional<SidBytes> HomeDomainSid() {
  if (const std::optional<std::string> configured = host::GivenSetting(host::SettingId::kDomainSid)) {
    std::optional<SidBytes> sid = ParseSid(*configured);
    if (sid && DomainShaped(*sid)) return sid;
    host::Trace("QUENTREL_DOMAIN_SID " + *configured + ": not a domain's SID (S-1-5-21-x-y-z)");
    return std::nullopt;
  }
  const std::optional<std::string> realm = kerberos::SystemDefaultRealm();
  return realm ? DirectoryHomeSid(*realm) : std::nullopt;
}

LocalAliasGroups LocalAliasMembers() {
  const std::optional<SidBytes> home = HomeDomainSid();
  std::u16string homeName;
  if (const std::optional<std::string> realm = kerberos::SystemDefaultRealm())
    if (const std::optional<std::string> domain = kerberos::DomainOfRealm(*realm)) homeName = WideOf(*domain);
  LocalAliasGroups aliases;
  aliases.administrators = GroupsNamed(host::SettingId::kDomainAdminGroups, home, homeName);
  aliases.users = GroupsNamed(host::SettingId::kDomainUserGroups, home, homeName);
  return aliases;
}

std::vector<GroupEntry> DomainTokenGroups(const std::vector<GroupEntry>& domainGroups, const LocalAliasGroups& aliases) {
  std::vector<GroupEntry> groups{{Local().everyone, kEnabled}};
  for (const GroupEntry& group : domainGroups) {
    if (GrantedLocally(group.sid)) continue;
    bool seen = false;
    for (const GroupEntry& entry : groups) seen = seen || entry.sid == group.sid;
    if (!seen) groups.push_back(group);
  }
  auto holdsAny = [&groups](const std::vector<SidBytes>& wanted) {
    for (const GroupEntry& entry : groups)
      if ((entry.attributes & SE_GROUP_ENABLED) != 0 && (entry.attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 &&
          std::find(wanted.begin(), wanted.end(), entry.sid) != wanted.end())
        return true;
    return false;
  };
  const bool user = holdsAny(aliases.users);
  const bool administrator = holdsAny(aliases.administrators);
  if (user) groups.push_back({Local().builtinUsers, kEnabled});
  if (administrator) groups.push_back({Local().builtinAdministrators, kEnabled});
  groups.push_back({Local().authenticatedUsers, kEnabled});
  return groups;
}

}  // namespace winhost::system::directory
