// The process's settings.
#include "common/process.h"

#include "common/journal.h"
#include "common/lock.h"

namespace winhost::common {
namespace {

struct ProcessSettings {
  Wow64 wow64 = Wow64::Off;
  std::string terminationRecord;
};

ProcessSettings& Process() {
  static ProcessSettings* settings = new ProcessSettings();  // never destroyed
  return *settings;
}

ResetHook resetProcess([] { Process() = ProcessSettings{}; });

}  // namespace

Wow64 CurrentWow64() {
  WorldGuard guard(WorldMutex());
  return Process().wow64;
}

Wow64& Wow64Setting() { return Process().wow64; }

std::string& TerminationRecord() { return Process().terminationRecord; }

}  // namespace winhost::common
