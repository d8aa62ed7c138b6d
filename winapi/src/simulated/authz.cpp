// Authz in the simulated host: a client context's groups are the directory's answer at the moment
// the context is made, unless a test scripted them.
#include <deque>
#include <stdexcept>

#include "common/world.h"
#include "simulated/directory.h"

namespace winhost {
namespace simulated {
namespace {

std::deque<std::vector<GroupEntry>>& Scripts() {
  static auto* scripts = new std::deque<std::vector<GroupEntry>>();
  return *scripts;
}

ResetHook resetAuthzScripts([] { Scripts().clear(); });

}  // namespace
}  // namespace simulated

using namespace simulated;

DWORD world::ContextGroups(WorldLock&, const SidBytes& user, std::vector<GroupEntry>& groups) {
  // Only a user account can be the subject of a context made without a logon.
  if (!IsUserAccount(user)) return ERROR_NO_SUCH_USER;
  if (Scripts().empty()) {
    groups = GroupsOf(user);
  } else {
    groups = std::move(Scripts().front());
    Scripts().pop_front();
  }
  return ERROR_SUCCESS;
}

// ---- control -------------------------------------------------------------------------------

void ScriptContextGroups(const std::vector<ScriptedGroup>& groups) {
  WorldGuard guard(WorldMutex());
  std::vector<GroupEntry> entries;
  for (const ScriptedGroup& group : groups) {
    auto sid = ParseSid(group.sid);
    if (!sid) throw std::invalid_argument("malformed SID " + group.sid);
    entries.push_back({*sid, group.attributes});
  }
  Scripts().push_back(std::move(entries));
}

}  // namespace winhost
