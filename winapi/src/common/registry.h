// What the registries of both worlds share: key paths and their views, the open key handles, and
// RegQueryValueExW's copy of a value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "winhost/control_host.h"
#include "winhost/host_services.h"

namespace winhost::common {

// Key and value names match without regard to the case of ASCII letters.
std::u16string Fold(const std::u16string& text);

// Splits a key path at its backslashes. A single trailing backslash is allowed; any other empty
// part (a leading backslash, two in a row) makes the path invalid.
std::optional<std::vector<std::u16string>> SplitPath(const std::u16string& path);
std::u16string Join(const std::vector<std::u16string>& parts);
// Where a path seen in a view is stored: the 32-bit view of SOFTWARE\... is SOFTWARE\WOW6432Node\...
std::vector<std::u16string> Redirect(std::vector<std::u16string> parts, View view);
// The view an access mask selects for this process.
View ViewFor(REGSAM access);
// The stored path of a key seen in a view; none for a path that is not one.
std::optional<std::u16string> StoredPath(View view, const std::string& path);

// An open key: its stored path (the 64-bit view's, as its world keeps it) and the access granted.
struct OpenKey {
  std::u16string path;
  REGSAM access;
};

// The handle table; each requires the world lock.
HKEY NewKeyHandle(OpenKey open);
// The open handle, or the error its use gives: ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED.
LONG FindKeyHandle(HKEY handle, REGSAM needed, const OpenKey** open);
bool CloseKeyHandle(HKEY handle);  // false when no key has the handle

// What RegQueryValueExW gives for a value, in both worlds.
LONG CopyValue(const RegistryValue& value, LPDWORD type, LPBYTE data, LPDWORD dataSize);

}  // namespace winhost::common
