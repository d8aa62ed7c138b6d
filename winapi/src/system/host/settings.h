// The system world's settings: every environment variable it reads, each with its default, its
// parser and one line of meaning, in one table (settings.def). Nothing else in the system world
// reads the environment. Read at each use, so that a setting changed in the process takes effect
// at the next call that needs it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace winhost::system::host {

enum class SettingParser { Text, List, Switch, Seconds, Count, Choice };

enum class SettingId {
#define SETTING(id, variable, fallback, parser, widens, meaning) id,
#include "system/host/settings.def"
#undef SETTING
};

struct Setting {
  SettingId id;
  const char* variable;
  const char* fallback;  // what applies when the variable is unset, in words where it is no value
  SettingParser parser;
  bool widensTrust;
  const char* meaning;
};

// The whole table, in its order.
const std::vector<Setting>& SettingsTable();
const Setting& SettingOf(SettingId id);

// The variable as the environment has it; none when it is unset.
std::optional<std::string> RawSetting(SettingId id);
// The variable when it is set and not empty; none otherwise.
std::optional<std::string> GivenSetting(SettingId id);
// A Text setting: the variable when set and not empty, else the default.
std::string TextSetting(SettingId id);
// A List setting's items: of the variable when set (empty: no items), else of the default.
std::vector<std::string> ListSetting(SettingId id);
// A Switch: on unless unset, empty or "0".
bool SettingOn(SettingId id);
// A Seconds setting: its whole number of 0 or more; none when unset or not such a number.
std::optional<long long> SecondsSetting(SettingId id);
// A Count setting: its whole number of 0 or more; none when unset or not such a number.
std::optional<long long> CountSetting(SettingId id);

// The items of a comma-separated text, trimmed of blanks, empty ones left out.
std::vector<std::string> SplitList(const std::string& text);
// `text` without blanks (spaces, tabs) at either end.
std::string Trim(const std::string& text);

}  // namespace winhost::system::host
