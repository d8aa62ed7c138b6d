// The registry of the stand-in host: HKEY_LOCAL_MACHINE with typed values, a 64-bit and a 32-bit
// view, and open key handles that are counted as "key". The simulated world keeps the hive in
// memory; the system world keeps it in a SQLite database file (system/registry_store.h). Handles,
// paths, views, the journal and faults are the same in both.
#include <algorithm>
#include <cstdio>
#include <map>

#include "services_host.h"
#include "system/registry_store.h"

namespace winhost {
namespace detail {
namespace {

const std::u16string kSoftware = u"SOFTWARE";
const std::u16string kWow6432Node = u"WOW6432Node";

// Key and value names match without regard to the case of ASCII letters.
std::u16string Fold(const std::u16string& text) {
  std::u16string folded = text;
  for (char16_t& unit : folded)
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  return folded;
}

struct StoredValue {
  std::u16string name;  // as last written
  RegistryValue value;
};

struct Key {
  std::u16string path;                         // as created
  std::map<std::u16string, StoredValue> values;  // by folded name
};

struct OpenKey {
  std::u16string folded;  // the key's stored path, folded
  REGSAM access;
  bool system = false;    // a key of the system world's store, named by `stored`
  std::u16string stored;  // its path as the store keeps it
};

struct Registry {
  std::map<std::u16string, Key> keys;  // by folded stored path; "" is the hive's root
  std::map<HKEY, OpenKey> handles;
  uintptr_t lastHandle = 0x1000;
};

void AddKey(Registry& registry, const std::u16string& path) {
  // Parents first, so that every key's parent exists.
  for (size_t at = path.find(u'\\'); at != std::u16string::npos; at = path.find(u'\\', at + 1))
    AddKey(registry, path.substr(0, at));
  auto& key = registry.keys[Fold(path)];
  if (key.path.empty()) key.path = path;
}

void DefaultWorld(Registry& registry) {
  registry.keys.clear();
  registry.keys[u""] = Key{};
  AddKey(registry, u"SOFTWARE");
  AddKey(registry, u"SOFTWARE\\WOW6432Node");
  AddKey(registry, u"SYSTEM");
}

Registry& TheRegistry() {
  static Registry* registry = [] {
    auto* created = new Registry();
    DefaultWorld(*created);
    return created;
  }();  // never destroyed: the library may call in during unload
  return *registry;
}

ResetHook resetRegistry([] { DefaultWorld(TheRegistry()); });

// Splits a key path at its backslashes. A single trailing backslash is allowed; any other empty
// part (a leading backslash, two in a row) makes the path invalid.
std::optional<std::vector<std::u16string>> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  if (path.empty()) return parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end == start) {
      if (end == path.size() && !parts.empty()) break;  // the trailing backslash
      return std::nullopt;
    }
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string Join(const std::vector<std::u16string>& parts) {
  std::u16string joined;
  for (const auto& part : parts) joined += (joined.empty() ? u"" : u"\\") + part;
  return joined;
}

// Where a path seen in a view is stored: the 32-bit view of SOFTWARE\... is SOFTWARE\WOW6432Node\...
std::vector<std::u16string> Redirect(std::vector<std::u16string> parts, View view) {
  if (view != View::k32 || parts.empty() || Fold(parts[0]) != kSoftware) return parts;
  if (parts.size() >= 2 && Fold(parts[1]) == Fold(kWow6432Node)) return parts;
  parts.insert(parts.begin() + 1, kWow6432Node);
  return parts;
}

// The view an access mask selects for this process.
View ViewFor(REGSAM access) {
  switch (CurrentWow64()) {
    case Wow64::On:
      return (access & KEY_WOW64_64KEY) ? View::k64 : View::k32;
    case Wow64::Absent:
      return View::k64;  // 32-bit Windows: one view, the flags are ignored
    default:
      return (access & KEY_WOW64_32KEY) ? View::k32 : View::k64;
  }
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string KeyText(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  auto it = TheRegistry().handles.find(key);
  if (it == TheRegistry().handles.end()) return "invalid";
  if (it->second.system) return winhost::Narrow(it->second.stored);
  auto stored = TheRegistry().keys.find(it->second.folded);
  return stored == TheRegistry().keys.end() ? "deleted" : winhost::Narrow(stored->second.path);
}

std::string NameText(LPCWSTR name) { return name == nullptr ? "null" : Narrow(name); }

// The open handle, or the error its use gives.
LONG FindHandle(HKEY handle, REGSAM needed, OpenKey** open) {
  auto it = TheRegistry().handles.find(handle);
  if (it == TheRegistry().handles.end()) return ERROR_INVALID_HANDLE;
  if ((it->second.access & needed) != needed) return ERROR_ACCESS_DENIED;
  *open = &it->second;
  return ERROR_SUCCESS;
}

// The simulated key an open handle names, or the error its use gives.
LONG FindOpenKey(const OpenKey& open, Key** key) {
  auto stored = TheRegistry().keys.find(open.folded);
  if (stored == TheRegistry().keys.end()) return ERROR_KEY_DELETED;
  *key = &stored->second;
  return ERROR_SUCCESS;
}

HKEY NewHandle(OpenKey open) {
  Registry& registry = TheRegistry();
  auto handle = reinterpret_cast<HKEY>(registry.lastHandle += 4);
  registry.handles[handle] = std::move(open);
  AddLive("key", 1);
  return handle;
}

// Opens `stored` in the system world's store. The store is read without the world lock, so a
// process waiting for another one's lock holds up no other call of this host.
LONG OpenStoreKey(WorldLock& lock, const std::u16string& stored, REGSAM access, PHKEY result) {
  lock.unlock();
  std::u16string found;
  LONG status = store::FindKey(stored, found);
  lock.lock();
  if (status != ERROR_SUCCESS) return status;
  *result = NewHandle(OpenKey{Fold(found), access, true, found});
  return ERROR_SUCCESS;
}

// What RegQueryValueExW gives for a value, in both worlds.
LONG CopyValue(const RegistryValue& value, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  const std::vector<uint8_t>& bytes = value.data;
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
  }
  if (*dataSize < bytes.size()) {
    // Windows leaves the buffer's content undefined here; a part of the data, with no terminator,
    // is what a caller that ignores the status would then find.
    std::copy(bytes.begin(), bytes.begin() + *dataSize, data);
    *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  *dataSize = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

LONG OpenKeyAs(const char* function, HKEY base, const std::u16string& subKey, bool subKeyNull, DWORD options,
               REGSAM desired, PHKEY result) {
  WorldLock lock(WorldMutex());
  Call call{function, {{"key", KeyText(base)},
                       {"path", subKeyNull ? "null" : winhost::Narrow(subKey)},
                       {"access", Hex(desired)},
                       {"options", std::to_string(options)}}};
  if (auto fault = Enter(std::move(call))) {
    if (result != nullptr) *result = nullptr;
    return static_cast<LONG>(*fault);
  }
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options != 0 || (desired & KEY_WOW64_RES) == KEY_WOW64_RES) return ERROR_INVALID_PARAMETER;
  auto parts = SplitPath(subKey);
  if (!parts) return ERROR_BAD_PATHNAME;

  Registry& registry = TheRegistry();
  const REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_RES);
  std::u16string stored;
  if (base == HKEY_LOCAL_MACHINE) {
    stored = Join(Redirect(*parts, ViewFor(desired)));
    if (InSystemWorld()) return OpenStoreKey(lock, stored, access, result);
  } else {
    auto open = registry.handles.find(base);
    if (open == registry.handles.end()) return ERROR_INVALID_HANDLE;
    if (open->second.system) {
      stored = open->second.stored;
      if (!parts->empty()) stored += (stored.empty() ? u"" : u"\\") + Join(*parts);
      return OpenStoreKey(lock, stored, access, result);
    }
    auto parent = registry.keys.find(open->second.folded);
    if (parent == registry.keys.end()) return ERROR_KEY_DELETED;
    stored = parent->second.path;
    if (!parts->empty()) stored += (stored.empty() ? u"" : u"\\") + Join(*parts);
  }
  auto key = registry.keys.find(Fold(stored));
  if (key == registry.keys.end()) return ERROR_FILE_NOT_FOUND;

  *result = NewHandle(OpenKey{key->first, access, false, {}});
  return ERROR_SUCCESS;
}

// The stored key for a path seen in a view; created with its parents when `create` is set.
Key* KeyAt(View view, const std::string& path, bool create) {
  auto parts = SplitPath(WideOf(path));
  if (!parts) return nullptr;
  std::u16string stored = Join(Redirect(*parts, view));
  Registry& registry = TheRegistry();
  if (create) AddKey(registry, stored);
  auto it = registry.keys.find(Fold(stored));
  return it == registry.keys.end() ? nullptr : &it->second;
}

}  // namespace
}  // namespace detail

using namespace detail;

std::string StoredKeyPath(View view, const std::string& path) {
  auto parts = SplitPath(WideOf(path));
  return parts ? Narrow(Join(Redirect(*parts, view))) : std::string();
}

void SetRegistryStore(const std::string& path) {
  WorldGuard guard(WorldMutex());
  store::SetStorePath(path);
}

std::string RegistryStore() {
  WorldGuard guard(WorldMutex());
  return store::StorePath();
}

namespace {

// The stored path of a key in the system world's store; nothing for a path that is not one.
std::optional<std::u16string> StoreKeyPath(View view, const std::string& path) {
  auto parts = SplitPath(WideOf(path));
  if (!parts) return std::nullopt;
  return Join(Redirect(*parts, view));
}

}  // namespace

void CreateRegistryKey(View view, const std::string& path) {
  if (InSystemWorld()) {
    if (auto stored = StoreKeyPath(view, path)) store::CreateKey(*stored);
    return;
  }
  WorldGuard guard(WorldMutex());
  KeyAt(view, path, true);
}

bool RegistryKeyExists(View view, const std::string& path) {
  if (InSystemWorld()) {
    auto stored = StoreKeyPath(view, path);
    std::u16string found;
    return stored && store::FindKey(*stored, found) == ERROR_SUCCESS;
  }
  WorldGuard guard(WorldMutex());
  return KeyAt(view, path, false) != nullptr;
}

void DeleteRegistryKey(View view, const std::string& path) {
  if (InSystemWorld()) {
    if (auto stored = StoreKeyPath(view, path)) store::DeleteKey(*stored);
    return;
  }
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key == nullptr || key->path.empty()) return;
  std::u16string folded = Fold(key->path);
  auto& keys = TheRegistry().keys;
  for (auto it = keys.begin(); it != keys.end();) {
    bool under = it->first == folded || it->first.rfind(folded + u"\\", 0) == 0;
    it = under ? keys.erase(it) : std::next(it);
  }
}

std::vector<std::string> RegistryKeys() {
  std::vector<std::string> paths;
  if (InSystemWorld()) {
    for (const auto& path : store::Keys()) paths.push_back(Narrow(path));
    return paths;
  }
  WorldGuard guard(WorldMutex());
  for (const auto& [folded, key] : TheRegistry().keys)
    if (!folded.empty()) paths.push_back(Narrow(key.path));
  return paths;
}

void SetRegistryValue(View view, const std::string& path, const std::string& name, const RegistryValue& value) {
  if (InSystemWorld()) {
    auto stored = StoreKeyPath(view, path);
    if (stored && store::CreateKey(*stored) == ERROR_SUCCESS) store::WriteValue(*stored, WideOf(name), value);
    return;
  }
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, true);
  if (key == nullptr) return;
  std::u16string wideName = WideOf(name);
  key->values[Fold(wideName)] = StoredValue{wideName, value};
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

std::optional<RegistryValue> GetRegistryValue(View view, const std::string& path, const std::string& name) {
  if (InSystemWorld()) {
    auto stored = StoreKeyPath(view, path);
    RegistryValue value;
    if (stored && store::ReadValue(*stored, WideOf(name), value) == ERROR_SUCCESS) return value;
    return std::nullopt;
  }
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key == nullptr) return std::nullopt;
  auto it = key->values.find(Fold(WideOf(name)));
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

void DeleteRegistryValue(View view, const std::string& path, const std::string& name) {
  if (InSystemWorld()) {
    if (auto stored = StoreKeyPath(view, path)) store::DeleteValue(*stored, WideOf(name));
    return;
  }
  WorldGuard guard(WorldMutex());
  Key* key = KeyAt(view, path, false);
  if (key != nullptr) key->values.erase(Fold(WideOf(name)));
}

}  // namespace winhost

// ---- advapi32 --------------------------------------------------------------------------------

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  std::u16string path = subKey == nullptr ? std::u16string() : std::u16string(subKey);
  return winhost::detail::OpenKeyAs("RegOpenKeyExW", key, path, subKey == nullptr, options, desired, result);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  // The ANSI code page is taken to be Latin-1: each byte is one character.
  std::u16string path;
  for (const char* at = subKey; at != nullptr && *at != 0; ++at) path.push_back(static_cast<unsigned char>(*at));
  return winhost::detail::OpenKeyAs("RegOpenKeyExA", key, path, subKey == nullptr, options, desired, result);
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
  using namespace winhost::detail;
  WorldLock lock(WorldMutex());
  winhost::Call call{"RegQueryValueExW", {{"key", KeyText(key)},
                                          {"name", NameText(valueName)},
                                          {"buffer", data == nullptr ? "null" : "set"},
                                          {"size", dataSize == nullptr ? "null" : std::to_string(*dataSize)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<LONG>(*fault);
  OpenKey* open = nullptr;
  if (LONG status = FindHandle(key, KEY_QUERY_VALUE, &open); status != ERROR_SUCCESS) return status;
  const std::u16string name = valueName == nullptr ? std::u16string() : std::u16string(valueName);
  if (open->system) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
    const std::u16string path = open->stored;
    lock.unlock();  // the store is read without the world lock
    winhost::RegistryValue value;
    if (LONG status = store::ReadValue(path, name, value); status != ERROR_SUCCESS) return status;
    return CopyValue(value, type, data, dataSize);
  }
  Key* stored = nullptr;
  if (LONG status = FindOpenKey(*open, &stored); status != ERROR_SUCCESS) return status;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  auto it = stored->values.find(Fold(name));
  if (it == stored->values.end()) return ERROR_FILE_NOT_FOUND;
  return CopyValue(it->second.value, type, data, dataSize);
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) {
  using namespace winhost::detail;
  WorldLock lock(WorldMutex());
  winhost::Call call{"RegSetValueExW", {{"key", KeyText(key)},
                                        {"name", NameText(valueName)},
                                        {"type", std::to_string(type)},
                                        {"size", std::to_string(dataSize)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<LONG>(*fault);
  OpenKey* open = nullptr;
  if (LONG status = FindHandle(key, KEY_SET_VALUE, &open); status != ERROR_SUCCESS) return status;
  Key* stored = nullptr;
  if (!open->system) {
    if (LONG status = FindOpenKey(*open, &stored); status != ERROR_SUCCESS) return status;
  }
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  std::u16string name = valueName == nullptr ? std::u16string() : std::u16string(valueName);
  winhost::RegistryValue value{type, std::vector<uint8_t>(data, data + dataSize)};
  if (open->system) {
    const std::u16string path = open->stored;
    lock.unlock();  // the store is written without the world lock
    return store::WriteValue(path, name, value);
  }
  stored->values[Fold(name)] = StoredValue{name, std::move(value)};
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
  using namespace winhost::detail;
  WorldGuard guard(WorldMutex());
  winhost::Call call{"RegCloseKey", {{"key", KeyText(key)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<LONG>(*fault);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (TheRegistry().handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  AddLive("key", -1);
  return ERROR_SUCCESS;
}

}  // extern "C"
