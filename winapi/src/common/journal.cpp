// The journal, the fault table and the live counts of the hosts the tests run on, with their
// control functions.
#include "common/journal.h"

#include <map>
#include <sstream>
#include <vector>

#include "common/lock.h"
#include "common/text.h"
#include "common/world.h"
#include "winhost/control.h"

namespace winhost {
namespace common {
namespace {

struct Fault {
  uint32_t code;
  int skip;
  bool persistent;
};

struct Core {
  std::vector<Call> journal;
  std::map<std::string, Fault> faults;
  std::map<std::string, int> live;
};

Core& TheCore() {
  static Core* core = new Core();  // never destroyed: the library may call in during unload
  return *core;
}

// A process may run for long: the journal keeps only the most recent calls, dropping the older
// half at once when it is full so that each call costs the same.
constexpr size_t kJournalLimit = 20000;

}  // namespace

std::optional<uint32_t> Enter(Call call) {
  world::EnterThread();
  WorldGuard guard(WorldMutex());
  Core& core = TheCore();
  std::string function = call.function;
  if (core.journal.size() >= kJournalLimit)
    core.journal.erase(core.journal.begin(), core.journal.begin() + kJournalLimit / 2);
  core.journal.push_back(std::move(call));
  auto it = core.faults.find(function);
  if (it == core.faults.end()) return std::nullopt;
  if (it->second.skip > 0) {
    --it->second.skip;
    return std::nullopt;
  }
  uint32_t code = it->second.code;
  if (!it->second.persistent) core.faults.erase(it);
  return code;
}

void AddLive(const std::string& kind, int delta) {
  WorldGuard guard(WorldMutex());
  TheCore().live[kind] += delta;
}

}  // namespace common

using namespace common;

void Reset() {
  WorldGuard guard(WorldMutex());
  Core& core = TheCore();
  core.journal.clear();
  core.faults.clear();
  RunResetHooks();
}

void Fail(const std::string& function, uint32_t code, int skip, bool persistent) {
  WorldGuard guard(WorldMutex());
  TheCore().faults[function] = Fault{code, skip, persistent};
}

void ClearFaults() {
  WorldGuard guard(WorldMutex());
  TheCore().faults.clear();
}

std::string Call::Arg(const std::string& name) const {
  for (const auto& [key, value] : args)
    if (key == name) return value;
  return "<absent>";
}

std::string Call::ToString() const {
  std::ostringstream out;
  out << function << "(";
  for (size_t i = 0; i < args.size(); ++i) out << (i ? ", " : "") << args[i].first << "=" << args[i].second;
  out << ")";
  return out.str();
}

std::vector<Call> Journal() {
  WorldGuard guard(WorldMutex());
  return TheCore().journal;
}

std::vector<Call> JournalOf(const std::string& function) {
  std::vector<Call> out;
  for (auto& call : Journal())
    if (call.function == function) out.push_back(call);
  return out;
}

std::vector<std::string> JournalFunctions() {
  std::vector<std::string> out;
  for (auto& call : Journal()) out.push_back(call.function);
  return out;
}

void ClearJournal() {
  WorldGuard guard(WorldMutex());
  TheCore().journal.clear();
}

int LiveCount(const std::string& kind) {
  WorldGuard guard(WorldMutex());
  auto it = TheCore().live.find(kind);
  return it == TheCore().live.end() ? 0 : it->second;
}

std::map<std::string, int> LiveCounts() {
  WorldGuard guard(WorldMutex());
  std::map<std::string, int> out;
  for (auto& [kind, count] : TheCore().live)
    if (count != 0) out[kind] = count;
  return out;
}

std::u16string Wide(const std::string& utf8) { return WideOf(utf8); }

std::string Narrow(const std::u16string& utf16) { return common::Narrow(utf16); }

}  // namespace winhost
