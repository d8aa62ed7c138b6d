// The account and token of a client whose PAC was verified (see pac_account.h).
#include "system/kerberos/pac_account.h"

#include "common/tokens.h"
#include "system/directory/domain_accounts.h"

namespace winhost::system {

std::vector<GroupEntry> PacDomainGroups(const pac::LogonInfo& logon) {
  std::vector<GroupEntry> groups;
  auto add = [&groups](const std::optional<SidBytes>& sid, DWORD attributes) {
    if (sid) groups.push_back({*sid, attributes});
  };
  for (const pac::GroupRid& group : logon.groupIds) add(WithRid(logon.logonDomainId, group.rid), group.attributes);
  add(WithRid(logon.logonDomainId, logon.primaryGroupId), kEnabled);
  if (logon.userFlags & pac::kExtraSidsFlag)
    for (const pac::SidAttributes& extra : logon.extraSids) add(extra.sid, extra.attributes);
  if (logon.userFlags & pac::kResourceGroupsFlag)
    for (const pac::GroupRid& group : logon.resourceGroupIds)
      add(WithRid(logon.resourceGroupDomainSid, group.rid), group.attributes);
  return groups;
}

std::vector<GroupEntry> PacTokenGroups(const pac::LogonInfo& logon, const std::vector<SidBytes>& administratorGroups) {
  return DomainTokenGroups(logon.logonDomainId, PacDomainGroups(logon), administratorGroups);
}

std::vector<SidBytes> DomainAdminGroups(const pac::LogonInfo& logon) {
  return DomainAdminGroups(logon.logonDomainId, logon.logonDomainName);
}

DWORD SystemPacAccount(const pac::LogonInfo& logon, const std::string& realm, const std::optional<std::string>& mapped,
                       SystemAccount& account) {
  std::optional<SidBytes> user = WithRid(logon.logonDomainId, logon.userId);
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
