// A client's account from the machine's user database (NSS): Unix SIDs S-1-22-1-uid for the user
// and S-1-22-2-gid for its groups, with the well-known groups every authenticated client has.
#include "system/client_account.h"

#include <grp.h>
#include <pwd.h>

#include <memory>

#include "winhost/security.h"

namespace winhost::detail {
namespace {

constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

void AddGroup(std::vector<GroupEntry>& groups, const std::string& sid) {
  if (auto bytes = ParseSid(sid)) groups.push_back(GroupEntry{*bytes, kEnabled});
}

// The user's entry, or none; NSS may need a larger buffer than it first says.
std::optional<passwd> UserNamed(const std::string& name, std::vector<char>& storage) {
  storage.resize(4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwnam_r(name.c_str(), &entry, storage.data(), storage.size(), &found);
    if (error == ERANGE && storage.size() < (1u << 20)) {
      storage.resize(storage.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return entry;
  }
}

std::vector<gid_t> GroupsOfUser(const passwd& user) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) groups.resize(static_cast<size_t>(count));
  groups.resize(static_cast<size_t>(count));
  return groups;
}

}  // namespace

ClientAccount ClientAccountOf(const std::string& clientName, const std::optional<std::string>& localName) {
  ClientAccount account;
  account.name = clientName;
  AddGroup(account.groups, "S-1-1-0");  // Everyone
  std::vector<char> storage;
  std::optional<passwd> user = localName ? UserNamed(*localName, storage) : std::nullopt;
  if (user) {
    account.user = ParseSid("S-1-22-1-" + std::to_string(user->pw_uid)).value_or(SidBytes());
    const std::vector<gid_t> groups = GroupsOfUser(*user);
    for (gid_t gid : groups) AddGroup(account.groups, "S-1-22-2-" + std::to_string(gid));
    AddGroup(account.groups, "S-1-5-32-545");  // BUILTIN\Users: every account of the machine
    account.identity = UnixCredentials{user->pw_uid, user->pw_gid, groups};
  }
  AddGroup(account.groups, "S-1-5-11");  // Authenticated Users
  return account;
}

UnixCredentials Nobody() {
  std::vector<char> storage;
  if (std::optional<passwd> user = UserNamed("nobody", storage)) return UnixCredentials{user->pw_uid, user->pw_gid, {user->pw_gid}};
  return UnixCredentials{65534, 65534, {65534}};
}

}  // namespace winhost::detail
