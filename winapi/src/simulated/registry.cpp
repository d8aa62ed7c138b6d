// The simulated host's registry: HKEY_LOCAL_MACHINE held in memory, holding SOFTWARE, SYSTEM and
// SOFTWARE\WOW6432Node in the default world.
#include <map>

#include "common/registry.h"
#include "common/world.h"
#include "simulated/host.h"

namespace winhost {
namespace simulated {
namespace {

struct StoredValue {
  std::u16string name;  // as last written
  RegistryValue value;
};

struct Key {
  std::u16string path;                           // as created
  std::map<std::u16string, StoredValue> values;  // by folded name
};

using Hive = std::map<std::u16string, Key>;  // by folded stored path; "" is the hive's root

void AddKey(Hive& hive, const std::u16string& path) {
  // Parents first, so that every key's parent exists.
  for (size_t at = path.find(u'\\'); at != std::u16string::npos; at = path.find(u'\\', at + 1))
    AddKey(hive, path.substr(0, at));
  auto& key = hive[Fold(path)];
  if (key.path.empty()) key.path = path;
}

void DefaultWorld(Hive& hive) {
  hive.clear();
  hive[u""] = Key{};
  AddKey(hive, u"SOFTWARE");
  AddKey(hive, u"SOFTWARE\\WOW6432Node");
  AddKey(hive, u"SYSTEM");
}

Hive& TheHive() {
  static Hive* hive = [] {
    auto* created = new Hive();
    DefaultWorld(*created);
    return created;
  }();  // never destroyed: the library may call in during unload
  return *hive;
}

ResetHook resetRegistry([] { DefaultWorld(TheHive()); });

// The key an open handle names, or the error its use gives.
LONG FindOpenKey(const OpenKey& open, Key** key) {
  auto stored = TheHive().find(Fold(open.path));
  if (stored == TheHive().end()) return ERROR_KEY_DELETED;
  *key = &stored->second;
  return ERROR_SUCCESS;
}

// The stored key for a path seen in a view; created with its parents when `create` is set.
Key* KeyAt(View view, const std::string& path, bool create) {
  auto stored = StoredPath(view, path);
  if (!stored) return nullptr;
  if (create) AddKey(TheHive(), *stored);
  auto it = TheHive().find(Fold(*stored));
  return it == TheHive().end() ? nullptr : &it->second;
}

}  // namespace
}  // namespace simulated

using namespace simulated;

std::string world::KeyText(const common::OpenKey& open) {
  auto stored = TheHive().find(Fold(open.path));
  return stored == TheHive().end() ? "deleted" : common::Narrow(stored->second.path);
}

LONG world::OpenKey(WorldLock&, const common::OpenKey* base, const std::u16string& path, std::u16string& found) {
  std::u16string stored = path;
  if (base != nullptr) {
    Key* parent = nullptr;
    if (LONG status = FindOpenKey(*base, &parent); status != ERROR_SUCCESS) return status;
    stored = parent->path;
    if (!path.empty()) stored += (stored.empty() ? u"" : u"\\") + path;
  }
  auto key = TheHive().find(Fold(stored));
  if (key == TheHive().end()) return ERROR_FILE_NOT_FOUND;
  found = key->second.path;
  return ERROR_SUCCESS;
}

LONG world::QueryValue(WorldLock&, const common::OpenKey& open, const std::u16string& name, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  Key* stored = nullptr;
  if (LONG status = FindOpenKey(open, &stored); status != ERROR_SUCCESS) return status;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  auto it = stored->values.find(Fold(name));
  if (it == stored->values.end()) return ERROR_FILE_NOT_FOUND;
  return CopyValue(it->second.value, type, data, dataSize);
}

LONG world::SetValue(WorldLock&, const common::OpenKey& open, const std::u16string& name, DWORD reserved,
                     DWORD type, const BYTE* data, DWORD dataSize) {
  Key* stored = nullptr;
  if (LONG status = FindOpenKey(open, &stored); status != ERROR_SUCCESS) return status;
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  stored->values[Fold(name)] = StoredValue{name, RegistryValue{type, std::vector<uint8_t>(data, data + dataSize)}};
  return ERROR_SUCCESS;
}

// ---- control -------------------------------------------------------------------------------

void CreateRegistryKey(View view, const std::string& path) {
  WorldGuard guard(WorldMutex());
  KeyAt(view, path, true);
}

bool RegistryKeyExists(View view, const std::string& path) {
  WorldGuard guard(WorldMutex());
  return KeyAt(view, path, false) != nullptr;
}

void DeleteRegistryKey(View view, const std::string& path) {
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key == nullptr || key->path.empty()) return;
  std::u16string folded = Fold(key->path);
  auto& keys = TheHive();
  for (auto it = keys.begin(); it != keys.end();) {
    bool under = it->first == folded || it->first.rfind(folded + u"\\", 0) == 0;
    it = under ? keys.erase(it) : std::next(it);
  }
}

std::vector<std::string> RegistryKeys() {
  WorldGuard guard(WorldMutex());
  std::vector<std::string> paths;
  for (const auto& [folded, key] : TheHive())
    if (!folded.empty()) paths.push_back(common::Narrow(key.path));
  return paths;
}

void SetRegistryValue(View view, const std::string& path, const std::string& name, const RegistryValue& value) {
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, true);
  if (key == nullptr) return;
  std::u16string wideName = WideOf(name);
  key->values[Fold(wideName)] = StoredValue{wideName, value};
}

std::optional<RegistryValue> GetRegistryValue(View view, const std::string& path, const std::string& name) {
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key == nullptr) return std::nullopt;
  auto it = key->values.find(Fold(WideOf(name)));
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

void DeleteRegistryValue(View view, const std::string& path, const std::string& name) {
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key != nullptr) key->values.erase(Fold(WideOf(name)));
}

}  // namespace winhost
