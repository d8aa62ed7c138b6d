// A strict JSON reader for checking the tool's --json output: any deviation from the grammar,
// or anything after the value, is an error.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // UTF-8
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in document order

  bool Has(const std::string& key) const;
  // The member of that name; a test failure (and a Null value) when there is none.
  const JsonValue& operator[](const std::string& key) const;
  const JsonValue& operator[](size_t index) const;
  bool IsNull() const { return kind == Kind::Null; }
};

// Parses a whole document; nullopt with `error` set when it is not valid JSON.
std::optional<JsonValue> ParseJson(const std::string& document, std::string* error);

}  // namespace tooltest
