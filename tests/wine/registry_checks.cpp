// Registry values under HKEY_LOCAL_MACHINE, written and read by the library and looked at by this
// program with the registry functions themselves, under keys that this program creates.
#include <windows.h>

#include "wine/suite.h"

namespace {

using GetFn = jstring JNICALL(JNIEnv*, jclass, jstring, jstring, jboolean);
using SetTextFn = jint JNICALL(JNIEnv*, jclass, jstring, jstring, jstring, jboolean);
using SetIntFn = jint JNICALL(JNIEnv*, jclass, jstring, jstring, jint, jboolean);

const std::u16string kKey = u"SOFTWARE\\QuentrelWineSuite";
const std::u16string kKey32 = u"SOFTWARE\\QuentrelWineSuite32";  // in the 32-bit view only
const std::u16string kMissing = u"SOFTWARE\\QuentrelWineSuite\\Missing";

bool RunningUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The access the library is to ask for, by the rule that maps the 64-bit-view flag onto the
// views this process has.
REGSAM ReadMask(bool view64) {
  if (!RunningUnderWow64()) return KEY_READ;
  return KEY_READ | (view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
}

REGSAM WriteMask(bool view64) {
  if (!RunningUnderWow64() || !view64) return KEY_SET_VALUE;
  return KEY_SET_VALUE | KEY_WOW64_64KEY;
}

// The status of opening a key with an access mask, as the platform answers.
long OpenError(const std::u16string& path, REGSAM mask) {
  HKEY key;
  const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, mask, &key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status;
}

struct Value {
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

std::optional<Value> ReadValue(HKEY key, const std::u16string& name) {
  Value value;
  DWORD size = 0;
  if (RegQueryValueExW(key, W(name), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  if (RegQueryValueExW(key, W(name), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  return value;
}

// What the platform has for the value where the library is to look: the view of the flag's
// access, then the view of a false flag's, as the registry itself answers.
std::optional<Value> PlatformRead(const std::u16string& path, const std::u16string& name, bool view64) {
  for (REGSAM mask : {ReadMask(view64), ReadMask(false)}) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, mask, &key) != ERROR_SUCCESS) continue;
    std::optional<Value> value = ReadValue(key, name);
    RegCloseKey(key);
    return value;
  }
  return std::nullopt;
}

// A REG_SZ value's text as the library gives it: its bytes as UTF-16 up to the first zero unit.
std::optional<std::u16string> AsText(const std::optional<Value>& value) {
  if (!value || value->data.empty()) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    if (unit == 0) break;
    text += unit;
  }
  return text;
}

bool KeyExists(const std::u16string& path, REGSAM view) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

HKEY CreateKey(const std::u16string& path, REGSAM view) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
  return key;
}

struct Calls {
  Context& c;
  GetFn* get;
  SetTextFn* setText;
  SetIntFn* setInt;

  std::optional<std::u16string> Get(const std::u16string& path, const std::u16string& name, bool view64) {
    jstring p = c.jvm.String(path), n = c.jvm.String(name);
    auto outcome = Invoke(c.jvm, "GetHKLMStringRegValue", get, p, n, static_cast<jboolean>(view64));
    c.jvm.Delete(p);
    c.jvm.Delete(n);
    if (!outcome.thrown.empty()) Check(false, "GetHKLMStringRegValue throws nothing", outcome.thrown);
    return TakeText(c.jvm, outcome.value);
  }
  long SetText(const std::u16string& path, const std::u16string& name, const std::u16string& text, bool view64) {
    jstring p = c.jvm.String(path), n = c.jvm.String(name), t = c.jvm.String(text);
    auto outcome = Invoke(c.jvm, "SetHKLMStringRegValue", setText, p, n, t, static_cast<jboolean>(view64));
    c.jvm.Delete(p);
    c.jvm.Delete(n);
    c.jvm.Delete(t);
    return outcome.value;
  }
  long SetInt(const std::u16string& path, const std::u16string& name, jint number, bool view64) {
    jstring p = c.jvm.String(path), n = c.jvm.String(name);
    auto outcome = Invoke(c.jvm, "SetHKLMIntRegValue", setInt, p, n, number, static_cast<jboolean>(view64));
    c.jvm.Delete(p);
    c.jvm.Delete(n);
    return outcome.value;
  }
};

void CheckRoundTrips(Calls& calls, HKEY key) {
  const std::u16string text = u"C:\\Data\\Gr\u00fc\u00dfe \u6771\u4eac";
  CheckEqual(calls.SetText(kKey, u"Text", text, false), 0L, "SetHKLMStringRegValue under an existing key returns 0");
  std::optional<Value> stored = ReadValue(key, u"Text");
  // The library hands over two bytes per character and no terminator; the registry itself counts
  // a NUL that happens to follow the data, so either length is the platform's answer.
  const bool exact = stored && stored->data.size() == 2 * text.size();
  const bool terminated = stored && stored->data.size() == 2 * text.size() + 2 && stored->data[2 * text.size()] == 0 &&
                          stored->data[2 * text.size() + 1] == 0;
  Check(stored && stored->type == REG_SZ && (exact || terminated), "the registry holds REG_SZ of two bytes per character",
        stored ? "type " + std::to_string(stored->type) + ", " + std::to_string(stored->data.size()) + " bytes" : "no value");
  if (terminated) Note("the registry counted the NUL after the text itself");
  CheckEqual(AsText(stored), std::optional<std::u16string>(text), "RegQueryValueExW reads back the text written");
  CheckEqual(calls.Get(kKey, u"Text", false), std::optional<std::u16string>(text), "GetHKLMStringRegValue reads it back");
  CheckEqual(calls.Get(kKey, u"Text", true), AsText(PlatformRead(kKey, u"Text", true)),
             "and with the 64-bit-view flag, what that view holds");

  for (jint number : {1, -2, 0x12345678}) {
    CheckEqual(calls.SetInt(kKey, u"Number", number, false), 0L, "SetHKLMIntRegValue(" + std::to_string(number) + ") returns 0");
    stored = ReadValue(key, u"Number");
    const uint32_t bits = static_cast<uint32_t>(number);
    const std::vector<uint8_t> expected = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                           static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
    Check(stored && stored->type == REG_SZ && stored->data == expected,
          "an integer is stored as REG_SZ of its four bytes, least significant first",
          stored ? "type " + std::to_string(stored->type) + ", " + std::to_string(stored->data.size()) + " bytes" : "no value");
  }

  const DWORD one = 1;
  RegSetValueExW(key, L"Dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  CheckEqual(calls.Get(kKey, u"Dword", false), std::optional<std::u16string>(u"\u0001"),
             "a REG_DWORD 1 reads as its bytes taken as text, up to the first zero unit");

  CheckEqual(calls.SetText(kKey, u"Empty", u"", false), 0L, "an empty string is written");
  stored = ReadValue(key, u"Empty");
  Check(stored && stored->type == REG_SZ && stored->data.empty(), "as REG_SZ of no bytes");
  CheckEqual(calls.Get(kKey, u"Empty", false), std::optional<std::u16string>(), "and reads back as null");
  CheckEqual(calls.Get(kKey, u"NoSuchValue", false), std::optional<std::u16string>(), "a missing value reads as null");
}

void CheckMissingKeysAndViews(Calls& calls) {
  CheckEqual(calls.Get(kMissing, u"Text", false), std::optional<std::u16string>(), "a missing key reads as null");
  CheckEqual(calls.Get(kMissing, u"Text", true), std::optional<std::u16string>(), "in both views");
  // A key that cannot be opened is reported with the error of the last open, never as 0.
  const long openError = OpenError(kMissing, WriteMask(false));
  Check(openError != ERROR_SUCCESS, "the platform cannot open the missing key for writing");
  CheckEqual(calls.SetText(kMissing, u"Text", u"x", true), openError, "writing text under a missing key gives the open's error");
  CheckEqual(calls.SetInt(kMissing, u"Number", 5, false), openError, "writing an integer under a missing key gives the open's error");
  Check(!KeyExists(kMissing, 0), "and creates no key");

  // A key that only the 32-bit view holds: where the library finds it depends on whether this
  // process runs under WOW64, which the platform says.
  HKEY key32 = CreateKey(kKey32, KEY_WOW64_32KEY);
  if (!Check(key32 != nullptr, "this program creates a key in the 32-bit view")) return;
  RegSetValueExW(key32, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"view32"), 12);
  RegCloseKey(key32);
  const bool wow64 = RunningUnderWow64();
  Note(std::string("this process ") + (wow64 ? "runs" : "does not run") + " under WOW64");
  if (KeyExists(kKey32, KEY_WOW64_64KEY)) {
    Note("the registry shares the key between both views; the view checks tell nothing here");
  } else {
    for (bool view64 : {true, false}) {
      const std::optional<std::u16string> expected = AsText(PlatformRead(kKey32, u"Text", view64));
      CheckEqual(calls.Get(kKey32, u"Text", view64), expected,
                 std::string("a key of the 32-bit view only, read with the flag ") + (view64 ? "true" : "false") +
                     (view64 ? " (the second open uses a false flag's access)" : ""));
      if (!wow64) CheckEqual(expected, std::optional<std::u16string>(), "which a 64-bit process does not see");
    }
    const long expected = OpenError(kKey32, WriteMask(true)) == ERROR_SUCCESS ? ERROR_SUCCESS : OpenError(kKey32, WriteMask(false));
    CheckEqual(calls.SetText(kKey32, u"Written", u"x", true), expected,
               "writing there with the flag true gives what the platform's opens allow");
    HKEY check = CreateKey(kKey32, KEY_WOW64_32KEY);
    const bool written = ReadValue(check, u"Written").has_value();
    RegCloseKey(check);
    CheckEqual(written, wow64, std::string("and writes ") + (wow64 ? "there, on the second open" : "nothing, a 64-bit process not seeing it"));
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kKey32));
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, W(kKey32), KEY_WOW64_32KEY, 0);
}

}  // namespace

void CheckRegistry(Context& c) {
  Group("registry");
  const Library& l = c.library;
  if (!l.Has({"WinUtil_GetHKLMStringRegValue", "WinUtil_SetHKLMStringRegValue", "WinUtil_SetHKLMIntRegValue"}, "registry")) return;
  Calls calls{c, l.Get<GetFn>("WinUtil_GetHKLMStringRegValue"), l.Get<SetTextFn>("WinUtil_SetHKLMStringRegValue"),
              l.Get<SetIntFn>("WinUtil_SetHKLMIntRegValue")};
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kKey));
  HKEY key = CreateKey(kKey, 0);
  if (!Check(key != nullptr, "this program creates its key under HKEY_LOCAL_MACHINE")) return;
  CheckRoundTrips(calls, key);
  RegCloseKey(key);
  CheckMissingKeysAndViews(calls);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kKey));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(kKey));
}
