// The system world's settings: every environment variable it reads, each with its default, its
// parser and one line of meaning, in one table (settings.def). Nothing else in the system world
// reads the environment. Read at each use, so that a setting changed in the process takes effect
// at the next call that needs it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace winhost::system::settings {

enum class Parser { Text, List, Switch, Seconds, Choice };

enum class Id {
#define SETTING(id, variable, fallback, parser, widens, meaning) id,
#include "system/host/settings.def"
#undef SETTING
};

struct Setting {
  Id id;
  const char* variable;
  const char* fallback;  // what applies when the variable is unset, in words where it is no value
  Parser parser;
  bool widensTrust;
  const char* meaning;
};

// The whole table, in its order.
const std::vector<Setting>& Table();
const Setting& Of(Id id);

// The variable as the environment has it; none when it is unset.
std::optional<std::string> Raw(Id id);
// The variable when it is set and not empty; none otherwise.
std::optional<std::string> Given(Id id);
// A Text setting: the variable when set and not empty, else the default.
std::string Text(Id id);
// A List setting's items: of the variable when set (empty: no items), else of the default.
std::vector<std::string> List(Id id);
// A Switch: on unless unset, empty or "0".
bool Switch(Id id);
// A Seconds setting: its whole number of 0 or more; none when unset or not such a number.
std::optional<long long> Seconds(Id id);

// The items of a comma-separated text, trimmed of blanks, empty ones left out.
std::vector<std::string> SplitList(const std::string& text);
// `text` without blanks (spaces, tabs) at either end.
std::string Trim(const std::string& text);

}  // namespace winhost::system::settings
