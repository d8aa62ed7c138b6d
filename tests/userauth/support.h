// Helpers shared by the UserAuth tests.
#pragma once

#include <string>
#include <vector>

#include "harness/jvm/api.h"
#include "harness/jvm/hooks.h"
#include "winhost/control.h"
#include "winhost/control_directory.h"

namespace userauth_test {

// StripLocalDomain of the loaded library, over the names it recorded at load.
inline std::u16string Strip(const std::u16string& name) {
  auto strip = hooks::Get<size_t(const char16_t*, size_t, char16_t*, size_t)>("quentrel_test_StripLocalDomain");
  std::u16string result(name.size(), u'\0');
  result.resize(strip(name.data(), name.size(), &result[0], result.size()));
  return result;
}

// The journal's function names, less the kernel32 and SID-comparison noise.
inline std::vector<std::string> Calls() {
  std::vector<std::string> out;
  for (auto& name : winhost::JournalFunctions())
    if (name != "EqualSid") out.push_back(name);
  return out;
}

inline jvm::JString W(const std::string& utf8) { return winhost::Wide(utf8); }

}  // namespace userauth_test
