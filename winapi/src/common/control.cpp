// The control interface's functions over what both worlds share: the process's settings, the
// folders, the version, the calling thread's identity and the registry's paths. Linked only into
// the hosts the tests run on.
#include "common/files.h"
#include "common/lock.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/tokens.h"
#include "winhost/control.h"
#include "winhost/control_host.h"
#include "winhost/control_tokens.h"

namespace winhost {

using namespace common;

void SetWow64(Wow64 mode) {
  WorldGuard guard(WorldMutex());
  Wow64Setting() = mode;
}

Wow64 GetWow64() { return CurrentWow64(); }

void RecordTerminationIn(const std::string& path) {
  WorldGuard guard(WorldMutex());
  TerminationRecord() = path;
}

void SetCommonAppDataFolder(const std::string& path) {
  WorldGuard guard(WorldMutex());
  CommonAppDataSetting() = path;
}

void SetDirectoryCreationRace(bool racing) {
  WorldGuard guard(WorldMutex());
  DirectoryCreationRace() = racing;
}

void SetMajorVersion(uint32_t major) {
  WorldGuard guard(WorldMutex());
  MajorVersion() = major;
}

std::optional<std::string> ThreadIdentity() {
  if (!ThreadToken()) return std::nullopt;
  return Describe(ThreadToken()->data);
}

std::string StoredKeyPath(View view, const std::string& path) {
  auto stored = StoredPath(view, path);
  return stored ? common::Narrow(*stored) : std::string();
}

void SetRegistryString(View view, const std::string& path, const std::string& name, const std::u16string& text,
                       bool terminated) {
  RegistryValue value{REG_SZ, {}};
  for (char16_t unit : text) {
    value.data.push_back(static_cast<uint8_t>(unit & 0xFF));
    value.data.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminated) value.data.insert(value.data.end(), {0, 0});
  SetRegistryValue(view, path, name, value);
}

}  // namespace winhost
