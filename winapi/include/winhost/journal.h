// One call of a Windows function as the stand-in host's journal records it, for tests and tools.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace winhost {

struct Call {
  std::string function;
  std::vector<std::pair<std::string, std::string>> args;
  // The value of one argument; "<absent>" when the call did not record it.
  std::string Arg(const std::string& name) const;
  std::string ToString() const;
};

}  // namespace winhost
