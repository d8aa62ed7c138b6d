// Key paths, views and open key handles.
#include "common/registry.h"

#include <algorithm>
#include <map>

#include "common/journal.h"
#include "common/process.h"
#include "common/text.h"

namespace winhost::common {
namespace {

const std::u16string kSoftware = u"SOFTWARE";
const std::u16string kWow6432Node = u"WOW6432Node";

struct KeyTable {
  std::map<HKEY, OpenKey> handles;
  uintptr_t lastHandle = 0x1000;
};

KeyTable& Keys() {
  static KeyTable* table = new KeyTable();  // never destroyed: the library may call in during unload
  return *table;
}

}  // namespace

std::u16string Fold(const std::u16string& text) {
  std::u16string folded = text;
  for (char16_t& unit : folded)
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  return folded;
}

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

std::vector<std::u16string> Redirect(std::vector<std::u16string> parts, View view) {
  if (view != View::k32 || parts.empty() || Fold(parts[0]) != kSoftware) return parts;
  if (parts.size() >= 2 && Fold(parts[1]) == Fold(kWow6432Node)) return parts;
  parts.insert(parts.begin() + 1, kWow6432Node);
  return parts;
}

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

std::optional<std::u16string> StoredPath(View view, const std::string& path) {
  auto parts = SplitPath(WideOf(path));
  if (!parts) return std::nullopt;
  return Join(Redirect(*parts, view));
}

HKEY NewKeyHandle(OpenKey open) {
  KeyTable& table = Keys();
  auto handle = reinterpret_cast<HKEY>(table.lastHandle += 4);
  table.handles[handle] = std::move(open);
  AddLive("key", 1);
  return handle;
}

LONG FindKeyHandle(HKEY handle, REGSAM needed, const OpenKey** open) {
  auto it = Keys().handles.find(handle);
  if (it == Keys().handles.end()) return ERROR_INVALID_HANDLE;
  if ((it->second.access & needed) != needed) return ERROR_ACCESS_DENIED;
  *open = &it->second;
  return ERROR_SUCCESS;
}

bool CloseKeyHandle(HKEY handle) {
  if (Keys().handles.erase(handle) == 0) return false;
  AddLive("key", -1);
  return true;
}

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

}  // namespace winhost::common
