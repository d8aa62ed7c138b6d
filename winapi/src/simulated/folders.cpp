// The simulated host's common application data folder: $WINHOST_COMMON_APPDATA, or else a folder
// private to this user under ${TMPDIR:-/tmp}, made on first use.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/files.h"
#include "common/world.h"
#include "simulated/host.h"

namespace winhost {
namespace simulated {
namespace {

std::string EnvironmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : fallback;
}

// ${TMPDIR:-/tmp}/winhost-<uid>: private to this user, so no other user can plant a folder there.
std::string PrivateRoot() {
  return EnvironmentOr("TMPDIR", "/tmp") + "/winhost-" + std::to_string(static_cast<unsigned>(getuid()));
}

// The private root must be ours and a real directory, not a link someone else left in /tmp.
bool EnsurePrivateRoot(const std::string& root) {
  if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat status;
  return lstat(root.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == getuid();
}

}  // namespace
}  // namespace simulated

using namespace simulated;

std::string world::CommonAppDataFolder() {
  if (CommonAppDataSetting()) return *CommonAppDataSetting();
  return EnvironmentOr("WINHOST_COMMON_APPDATA", PrivateRoot() + "/ProgramData");
}

bool world::MakeCommonAppDataFolder(const std::string& path) {
  if (path == PrivateRoot() + "/ProgramData" && !EnsurePrivateRoot(PrivateRoot())) {
    if (errno == 0 || errno == EEXIST) errno = EACCES;
    return false;
  }
  return MakeDirectories(path);
}

// ---- control -------------------------------------------------------------------------------

std::string CommonAppDataFolder() {
  WorldGuard guard(WorldMutex());
  return world::CommonAppDataFolder();
}

}  // namespace winhost
