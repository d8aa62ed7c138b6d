// The account and token of a client whose PAC was verified (see pac_account.h).
#include "system/directory/pac_account.h"

#include <algorithm>

#include "common/tokens.h"
#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "system/host/settings.h"
#include "system/host/trace.h"

namespace winhost::system::directory {
namespace {

bool Under(const SidBytes& sid, const SidBytes& domain) {
  const std::optional<SidBytes> part = DomainPart(sid);
  return part && *part == domain;
}

// The identity-authority SIDs (S-1-18-1 asserted by an authority, S-1-18-2 by a service).
bool AssertedIdentity(const SidBytes& sid) {
  static const SidBytes authority = *ParseSid("S-1-18");
  return sid.size() == 12 && std::equal(authority.begin() + 2, authority.begin() + 8, sid.begin() + 2);
}

bool Unfiltered(const std::string& realm) {
  for (const std::string& entry : host::ListSetting(host::SettingId::kUnfilteredRealms))
    if (entry == realm) return true;
  return false;
}

}  // namespace

std::optional<kerberos::LogonInfo> FilteredAcrossTrust(const kerberos::LogonInfo& logon, const std::optional<SidBytes>& home,
                                                  bool unfiltered) {
  if (!home || logon.logonDomainId == *home) return std::nullopt;
  kerberos::LogonInfo taken = logon;
  if (unfiltered) return taken;
  std::vector<kerberos::SidAttributes> extra;
  for (const kerberos::SidAttributes& entry : logon.extraSids)
    if (Under(entry.sid, logon.logonDomainId) || AssertedIdentity(entry.sid)) extra.push_back(entry);
  taken.extraSids = std::move(extra);
  if (taken.resourceGroupDomainSid != logon.logonDomainId) {
    taken.resourceGroupDomainSid.clear();
    taken.resourceGroupIds.clear();
  }
  return taken;
}

std::vector<GroupEntry> PacDomainGroups(const kerberos::LogonInfo& logon) {
  std::vector<GroupEntry> groups;
  auto add = [&groups](const std::optional<SidBytes>& sid, DWORD attributes) {
    if (sid) groups.push_back({*sid, attributes});
  };
  for (const kerberos::GroupRid& group : logon.groupIds) add(WithRid(logon.logonDomainId, group.rid), group.attributes);
  add(WithRid(logon.logonDomainId, logon.primaryGroupId), kEnabled);
  if (logon.userFlags & kerberos::kExtraSidsFlag)
    for (const kerberos::SidAttributes& extra : logon.extraSids) add(extra.sid, extra.attributes);
  if (logon.userFlags & kerberos::kResourceGroupsFlag)
    for (const kerberos::GroupRid& group : logon.resourceGroupIds)
      add(WithRid(logon.resourceGroupDomainSid, group.rid), group.attributes);
  return groups;
}

std::vector<GroupEntry> PacTokenGroups(const kerberos::LogonInfo& logon, const LocalAliasGroups& aliases) {
  return DomainTokenGroups(PacDomainGroups(logon), aliases);
}

DWORD SystemPacAccount(const kerberos::LogonInfo& given, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account) {
  std::optional<kerberos::LogonInfo> filtered;
  const std::optional<std::string> home = kerberos::SystemDefaultRealm();
  if (!home || realm != *home) {
    filtered = FilteredAcrossTrust(given, HomeDomainSid(), Unfiltered(realm));
    if (!filtered) {
      host::Trace("a PAC of the realm " + realm + " not used: it claims this computer's domain's SID, or that SID is unknown");
      return ERROR_NONE_MAPPED;
    }
  }
  const kerberos::LogonInfo& logon = filtered ? *filtered : given;
  std::optional<SidBytes> user = WithRid(logon.logonDomainId, logon.userId);
  if (!user) return ERROR_INVALID_SID;
  account = SystemAccount{};
  account.sid = *user;
  account.domain = logon.logonDomainName;
  account.name = logon.effectiveName;
  account.use = SidTypeUser;
  account.groups = PacTokenGroups(logon, LocalAliasMembers());

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

}  // namespace winhost::system::directory
