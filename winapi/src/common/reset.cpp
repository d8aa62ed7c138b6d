// The reset hooks each area registers for its settings.
#include <vector>

#include "common/journal.h"
#include "common/lock.h"

namespace winhost::common {
namespace {

std::vector<std::function<void()>>& Hooks() {
  static auto* hooks = new std::vector<std::function<void()>>();  // never destroyed
  return *hooks;
}

}  // namespace

ResetHook::ResetHook(std::function<void()> hook) {
  WorldGuard guard(WorldMutex());
  Hooks().push_back(std::move(hook));
}

void RunResetHooks() {
  for (auto& hook : Hooks()) hook();
}

}  // namespace winhost::common
