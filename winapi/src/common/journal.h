// The test facilities every area reaches: the journal of calls, the fault table, the counts of
// live objects and the reset hooks. The hosts the tests run on record and fail calls; the shipped
// host links common/no_journal.cpp instead, where Enter records nothing and never fails.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "winhost/base.h"
#include "winhost/journal.h"

namespace winhost::common {

// Adds a call to the journal and returns the fault armed for this function, if it fires now.
// The journal records the call whether or not it fails.
std::optional<uint32_t> Enter(Call call);

void AddLive(const std::string& kind, int delta);

// A failing call's answer: the last error set, FALSE returned.
inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Area reset hooks run by winhost::Reset(), in registration order, under the world lock.
struct ResetHook {
  explicit ResetHook(std::function<void()> hook);
};
void RunResetHooks();

}  // namespace winhost::common
