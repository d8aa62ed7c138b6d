// advapi32's registry of the stand-in host: HKEY_LOCAL_MACHINE with typed values, a 64-bit and a
// 32-bit view, and open key handles that are counted as "key". Paths, views, handles, the journal
// and faults are the same in both worlds; the keys and values are the world's.
#include <cstdio>

#include "common/journal.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

std::string KeyText(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  const OpenKey* open = nullptr;
  if (FindKeyHandle(key, 0, &open) != ERROR_SUCCESS) return "invalid";
  return world::KeyText(*open);
}

std::string NameText(LPCWSTR name) { return name == nullptr ? "null" : Narrow(name); }

LONG OpenKeyAs(const char* function, HKEY base, const std::u16string& subKey, bool subKeyNull, DWORD options,
               REGSAM desired, PHKEY result) {
  WorldLock lock(WorldMutex());
  Call call{function, {{"key", KeyText(base)},
                       {"path", subKeyNull ? "null" : Narrow(subKey)},
                       {"access", FlagsText(desired)},
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
  const OpenKey* open = nullptr;
  if (base != HKEY_LOCAL_MACHINE && FindKeyHandle(base, 0, &open) != ERROR_SUCCESS) return ERROR_INVALID_HANDLE;
  // Under the root the view decides where the key is stored; under an open key it is decided.
  const std::u16string path = open == nullptr ? Join(Redirect(*parts, ViewFor(desired))) : Join(*parts);
  std::u16string found;
  if (LONG status = world::OpenKey(lock, open, path, found); status != ERROR_SUCCESS) return status;
  *result = NewKeyHandle(OpenKey{found, desired & ~static_cast<REGSAM>(KEY_WOW64_RES)});
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  std::u16string path = subKey == nullptr ? std::u16string() : std::u16string(subKey);
  return OpenKeyAs("RegOpenKeyExW", key, path, subKey == nullptr, options, desired, result);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  // The ANSI code page is taken to be Latin-1: each byte is one character.
  std::u16string path;
  for (const char* at = subKey; at != nullptr && *at != 0; ++at) path.push_back(static_cast<unsigned char>(*at));
  return OpenKeyAs("RegOpenKeyExA", key, path, subKey == nullptr, options, desired, result);
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
  WorldLock lock(WorldMutex());
  Call call{"RegQueryValueExW", {{"key", KeyText(key)},
                                 {"name", NameText(valueName)},
                                 {"buffer", data == nullptr ? "null" : "set"},
                                 {"size", dataSize == nullptr ? "null" : std::to_string(*dataSize)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<LONG>(*fault);
  const OpenKey* open = nullptr;
  if (LONG status = FindKeyHandle(key, KEY_QUERY_VALUE, &open); status != ERROR_SUCCESS) return status;
  const std::u16string name = valueName == nullptr ? std::u16string() : std::u16string(valueName);
  return world::QueryValue(lock, *open, name, reserved, type, data, dataSize);
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) {
  WorldLock lock(WorldMutex());
  Call call{"RegSetValueExW", {{"key", KeyText(key)},
                               {"name", NameText(valueName)},
                               {"type", std::to_string(type)},
                               {"size", std::to_string(dataSize)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<LONG>(*fault);
  const OpenKey* open = nullptr;
  if (LONG status = FindKeyHandle(key, KEY_SET_VALUE, &open); status != ERROR_SUCCESS) return status;
  const std::u16string name = valueName == nullptr ? std::u16string() : std::u16string(valueName);
  return world::SetValue(lock, *open, name, reserved, type, data, dataSize);
}

LONG WINAPI RegCloseKey(HKEY key) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"RegCloseKey", {{"key", KeyText(key)}}})) return static_cast<LONG>(*fault);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return CloseKeyHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
