#include "harness/tool/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace tooltest {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  JsonValue Document() {
    JsonValue value = Value();
    Space();
    if (at_ != text_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + " at offset " + std::to_string(at_));
  }

  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }

  char Peek() {
    if (at_ >= text_.size()) Fail("unexpected end");
    return text_[at_];
  }

  void Expect(const std::string& word) {
    if (text_.compare(at_, word.size(), word) != 0) Fail("expected " + word);
    at_ += word.size();
  }

  JsonValue Value() {
    Space();
    JsonValue value;
    char c = Peek();
    if (c == '{') {
      value.kind = JsonValue::Kind::Object;
      ++at_;
      Space();
      if (Peek() == '}') {
        ++at_;
        return value;
      }
      for (;;) {
        Space();
        if (Peek() != '"') Fail("expected a member name");
        std::string key = String();
        Space();
        Expect(":");
        value.members.emplace_back(key, Value());
        Space();
        if (Peek() == ',') {
          ++at_;
          continue;
        }
        Expect("}");
        return value;
      }
    }
    if (c == '[') {
      value.kind = JsonValue::Kind::Array;
      ++at_;
      Space();
      if (Peek() == ']') {
        ++at_;
        return value;
      }
      for (;;) {
        value.items.push_back(Value());
        Space();
        if (Peek() == ',') {
          ++at_;
          continue;
        }
        Expect("]");
        return value;
      }
    }
    if (c == '"') {
      value.kind = JsonValue::Kind::String;
      value.text = String();
      return value;
    }
    if (c == 't' || c == 'f') {
      value.kind = JsonValue::Kind::Bool;
      value.boolean = c == 't';
      Expect(c == 't' ? "true" : "false");
      return value;
    }
    if (c == 'n') {
      Expect("null");
      return value;
    }
    value.kind = JsonValue::Kind::Number;
    size_t start = at_;
    if (Peek() == '-') ++at_;
    if (at_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[at_]))) Fail("bad value");
    if (text_[at_] == '0' && at_ + 1 < text_.size() && isdigit(static_cast<unsigned char>(text_[at_ + 1]))) {
      Fail("leading zero");
    }
    while (at_ < text_.size() && (isdigit(static_cast<unsigned char>(text_[at_])) || strchr(".eE+-", text_[at_]))) ++at_;
    value.number = std::strtod(text_.substr(start, at_ - start).c_str(), nullptr);
    return value;
  }

  unsigned Hex4() {
    if (at_ + 4 > text_.size()) Fail("short \\u escape");
    unsigned unit = 0;
    for (int i = 0; i < 4; ++i) {
      char h = text_[at_++];
      unit <<= 4;
      if (h >= '0' && h <= '9') unit |= h - '0';
      else if (h >= 'a' && h <= 'f') unit |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F') unit |= h - 'A' + 10;
      else Fail("bad \\u escape");
    }
    return unit;
  }

  static void Utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string String() {
    Expect("\"");
    std::string out;
    for (;;) {
      char c = Peek();
      ++at_;
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      char e = Peek();
      ++at_;
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
            at_ += 2;
            unsigned low = Hex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          Utf8(out, cp);
          break;
        }
        default: Fail("bad escape");
      }
    }
  }

  const std::string& text_;
  size_t at_ = 0;
};

const JsonValue& Missing() {
  static const JsonValue none;
  return none;
}

}  // namespace

bool JsonValue::Has(const std::string& key) const {
  for (const auto& member : members) {
    if (member.first == key) return true;
  }
  return false;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  for (const auto& member : members) {
    if (member.first == key) return member.second;
  }
  ADD_FAILURE() << "no member \"" << key << "\"";
  return Missing();
}

const JsonValue& JsonValue::operator[](size_t index) const {
  if (index < items.size()) return items[index];
  ADD_FAILURE() << "no item " << index << " in an array of " << items.size();
  return Missing();
}

std::optional<JsonValue> ParseJson(const std::string& document, std::string* error) {
  try {
    return Parser(document).Document();
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace tooltest
