// The Wine suite's small frame: checks that report and count, the library's entry points
// resolved by name, and calls through the fake JNI environment that also check what every call
// leaves behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "harness/jnifake/fake_jni.h"

// ---- reporting ----------------------------------------------------------------------------------

// Records one expectation; `detail` says what was seen when it fails.
bool Check(bool ok, const std::string& what, const std::string& detail = "");
template <typename T>
bool CheckEqual(const T& actual, const T& expected, const std::string& what);
void Skip(const std::string& what, const std::string& why);
void Note(const std::string& text);
// Starts a group of related checks in the report.
void Group(const std::string& name);
int Failures();

std::string Narrow(const std::u16string& text);
std::string Quoted(const std::optional<std::u16string>& text);
std::string Hex(uint32_t value);
std::u16string Wide(const wchar_t* text);
inline const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
// "Platform error: %08x", as the library reports a platform status.
std::string PlatformError(uint32_t code);

template <typename T>
std::string Show(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) return "\"" + value + "\"";
  else if constexpr (std::is_same_v<T, std::optional<std::u16string>>) return Quoted(value);
  else if constexpr (std::is_same_v<T, std::u16string>) return Quoted(value);
  else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) return std::to_string(value.size()) + " bytes";
  else return std::to_string(value);
}

template <typename T>
bool CheckEqual(const T& actual, const T& expected, const std::string& what) {
  return Check(actual == expected, what, "got " + Show(actual) + ", expected " + Show(expected));
}

// ---- the library --------------------------------------------------------------------------------

// Every exported entry point, by its JNI name less the package prefix ("SSPI_CreateContext").
class Library {
 public:
  explicit Library(HMODULE module);
  // The entry point as a typed pointer, or null when the DLL does not export it.
  template <typename Function>
  Function* Get(const std::string& name) const {
    auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : reinterpret_cast<Function*>(it->second);  // NOLINT
  }
  // True when every named entry point is there; otherwise reports the group as skipped.
  bool Has(const std::vector<std::string>& names, const std::string& group) const;
  static const std::vector<std::string>& Names();

 private:
  std::map<std::string, void*> entries_;
};

// ---- calls --------------------------------------------------------------------------------------

// What a call left: its result and, if it threw, "WinAuthException: Invalid handle" (the class's
// simple name and the message).
template <typename T>
struct Outcome {
  T value;
  std::string thrown;
};

// Checks what every call must leave behind whatever it did: no JNI misuse, no characters or
// elements still held, no local reference of its own left besides its result.
void CheckCallHygiene(fakejni::FakeJvm& jvm, const std::string& call, size_t referencesBefore, bool madeResult);
std::string TakeThrown(fakejni::FakeJvm& jvm);

template <typename Result, typename... Params, typename... Args>
Outcome<Result> Invoke(fakejni::FakeJvm& jvm, const std::string& call, Result(JNICALL* entry)(JNIEnv*, jclass, Params...),
                       Args... args) {
  const size_t before = jvm.LiveReferences();
  Result value = entry(jvm.env(), nullptr, args...);
  bool madeResult = false;
  if constexpr (std::is_pointer_v<Result>) madeResult = value != nullptr;
  std::string thrown = TakeThrown(jvm);
  CheckCallHygiene(jvm, call, before, madeResult);
  return Outcome<Result>{value, thrown};
}

template <typename... Params, typename... Args>
Outcome<bool> InvokeVoid(fakejni::FakeJvm& jvm, const std::string& call, void(JNICALL* entry)(JNIEnv*, jclass, Params...),
                         Args... args) {
  const size_t before = jvm.LiveReferences();
  entry(jvm.env(), nullptr, args...);
  std::string thrown = TakeThrown(jvm);
  CheckCallHygiene(jvm, call, before, false);
  return Outcome<bool>{true, thrown};
}

// The text of a Java string result, nullopt for null; deletes the reference.
std::optional<std::u16string> TakeText(fakejni::FakeJvm& jvm, jstring text);

// ---- the groups ---------------------------------------------------------------------------------

struct Context {
  fakejni::FakeJvm& jvm;
  const Library& library;
  std::wstring program;  // this test program, for child processes
  std::wstring dll;      // the library under test
};

void CheckSspi(Context& context);
void CheckRegistry(Context& context);
void CheckProductPaths(Context& context);
void CheckHostIdentity(Context& context);
void CheckUserAuth(Context& context);
void CheckTermination(Context& context);
// The SSPI refusals that need no established context; `server`, when not 0, names a server
// context that has seen no token.
void CheckRefusals(Context& context, jint server);
// Needs a KDC and a ticket for the process (see run-kerberos.sh).
void CheckKerberos(Context& context, const std::u16string& target);
// One side of an authentication with another process, until standard input ends (peer.cpp).
void ServePeer(Context& context, const std::u16string& role, const std::u16string& package, const std::u16string& target);
