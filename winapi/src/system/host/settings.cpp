// The settings table and its parsers: see settings.h.
#include "system/host/settings.h"

#include <cerrno>
#include <cstdlib>

namespace winhost::system::host {

const std::vector<Setting>& SettingsTable() {
  static const std::vector<Setting> table = {
#define SETTING(id, variable, fallback, parser, widens, meaning) {SettingId::id, variable, fallback, SettingParser::parser, widens, meaning},
#include "system/host/settings.def"
#undef SETTING
  };
  return table;
}

const Setting& SettingOf(SettingId id) { return SettingsTable()[static_cast<size_t>(id)]; }

namespace {

// The default as a value: none where the table gives it in words.
std::string Fallback(SettingId id) {
  const char* fallback = SettingOf(id).fallback;
  return fallback[0] == '(' ? std::string() : std::string(fallback);
}

}  // namespace

// The one place the system world reads its environment.
std::optional<std::string> RawSetting(SettingId id) {
  const char* value = std::getenv(SettingOf(id).variable);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> GivenSetting(SettingId id) {
  std::optional<std::string> value = RawSetting(id);
  if (value && value->empty()) value.reset();
  return value;
}

std::string TextSetting(SettingId id) {
  std::optional<std::string> value = GivenSetting(id);
  return value ? *value : Fallback(id);
}

std::vector<std::string> ListSetting(SettingId id) {
  const std::optional<std::string> value = RawSetting(id);
  return SplitList(value ? *value : Fallback(id));
}

bool SettingOn(SettingId id) {
  const std::optional<std::string> value = GivenSetting(id);
  return value && *value != "0";
}

std::optional<long long> SecondsSetting(SettingId id) {
  const std::optional<std::string> value = GivenSetting(id);
  if (!value) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(value->c_str(), &end, 10);
  if (errno != 0 || *end != 0 || seconds < 0 || end == value->c_str()) return std::nullopt;
  return seconds;
}

std::optional<long long> CountSetting(SettingId id) { return SecondsSetting(id); }

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (std::string item = Trim(text.substr(start, end - start)); !item.empty()) items.push_back(item);
    start = end + 1;
  }
  return items;
}

}  // namespace winhost::system::host
