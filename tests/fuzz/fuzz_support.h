// What the fuzz targets share: one session over the fake JNI, the simulated world, and the checks
// made after every input (nothing pinned, no JNI misuse, nothing left pending, nothing held that
// was not held before). A failed check aborts, which libFuzzer reports with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "harness/native/session.h"
#include "winhost/control.h"

namespace fuzz {

inline native::Session& TheSession() {
  static native::Session* session = [] {
    winhost::Reset();
    return new native::Session();
  }();
  return *session;
}

// An established pair and a user context kept from one input to the next; freed at exit, before
// the library's unload, so that they are no leak.
struct Kept {
  int client = 0, server = 0, user = 0;
  Kept() {
    native::Session& session = TheSession();
    session.Handshake(u"Negotiate", 0x10, client, server);
    user = session.CreateUserContext(u"WINHOST\\appuser").handle;
  }
  ~Kept() {
    native::Session& session = TheSession();
    session.FreeHandle(client);
    session.FreeHandle(server);
    session.FreeUserHandle(user);
  }
};

inline const Kept& Established() {
  static const Kept kept;
  return kept;
}

[[noreturn]] inline void Broken(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

// The live objects of the host before an input, compared after it.
class Unchanged {
 public:
  Unchanged() : before_(winhost::LiveCounts()) {}
  ~Unchanged() {
    native::Session& session = TheSession();
    if (session.jvm().HeldElements() != 0) Broken("a Java array or string was left pinned");
    if (!session.jvm().TakeViolations().empty()) Broken("JNI misuse");
    if (session.jvm().Pending()) Broken("an exception was left pending");
    if (session.jvm().LiveReferences() != 0) Broken("a local reference was left");
    if (winhost::LiveCounts() != before_) Broken("an object of the host was left held");
    winhost::ClearJournal();  // it would grow for ever
  }

 private:
  std::map<std::string, int> before_;
};

// The input as UTF-16 units, any values at all (unpaired surrogates and U+0000 included).
inline std::u16string Units(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return units;
}

// An outcome is documented when it is a result or one of the package's exceptions with a message.
inline void ExpectDocumented(const native::Outcome& outcome, const char* operation) {
  if (outcome.ok()) return;
  for (const char* prefix : {"WinAuthException: ", "GroupNotFoundException: ", "UserNotFoundException: ",
                             "NullPointerException: ", "WinException: "})
    if (outcome.text.rfind(prefix, 0) == 0) return;
  Broken(std::string(operation) + " gave " + outcome.text);
}

}  // namespace fuzz
