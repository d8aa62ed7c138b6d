// The system world's folders: see folders.h.
#include "system/host/folders.h"

#include <cstdlib>

namespace winhost::system {

std::string CommonAppDataFolder() {
  const char* named = std::getenv("QUENTREL_COMMON_APPDATA");
  return named != nullptr && *named != 0 ? named : "/var/lib";
}

}  // namespace winhost::system
