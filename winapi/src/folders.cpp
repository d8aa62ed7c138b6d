// Folders and files of the stand-in host: the shell's common application data folder, directory
// creation and the C runtime's wide file tests, all over the real POSIX file system in both
// worlds; only the common application data folder differs (system/folders.h). Paths are taken as
// they are given; on POSIX their separator is '/'.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "services_host.h"
#include "system/folders.h"

namespace winhost {
namespace detail {
namespace {

struct FolderWorld {
  std::optional<std::string> commonAppData;  // unset: the default
  bool racing = false;
};

FolderWorld& Folders() {
  static FolderWorld* world = new FolderWorld();  // never destroyed
  return *world;
}

ResetHook resetFolders([] { Folders() = FolderWorld{}; });

std::string EnvironmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : fallback;
}

// ${TMPDIR:-/tmp}/winhost-<uid>: private to this user, so no other user can plant a folder there.
std::string PrivateRoot() {
  return EnvironmentOr("TMPDIR", "/tmp") + "/winhost-" + std::to_string(static_cast<unsigned>(getuid()));
}

std::string DefaultCommonAppData() {
  return EnvironmentOr("WINHOST_COMMON_APPDATA", PrivateRoot() + "/ProgramData");
}

DWORD ErrorOf(int error) {
  switch (error) {
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
  }
}

// The private root must be ours and a real directory, not a link someone else left in /tmp.
bool EnsurePrivateRoot(const std::string& root) {
  if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat status;
  return lstat(root.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == getuid();
}

// Makes `path` and any missing parents; false with errno set when it cannot.
bool MakeDirectories(const std::string& path) {
  if (path == PrivateRoot() + "/ProgramData" && !EnsurePrivateRoot(PrivateRoot())) {
    if (errno == 0 || errno == EEXIST) errno = EACCES;
    return false;
  }
  if (!MakeFolderPath(path)) return false;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

}  // namespace

bool MakeFolderPath(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) return true;
  }
}

}  // namespace detail

using namespace detail;

void SetCommonAppDataFolder(const std::string& path) {
  WorldGuard guard(WorldMutex());
  Folders().commonAppData = path;
}

std::string CommonAppDataFolder() {
  WorldGuard guard(WorldMutex());
  if (Folders().commonAppData) return *Folders().commonAppData;
  return InSystemWorld() ? system::CommonAppDataFolder() : DefaultCommonAppData();
}

void SetDirectoryCreationRace(bool racing) {
  WorldGuard guard(WorldMutex());
  Folders().racing = racing;
}

}  // namespace winhost

extern "C" {

HRESULT WINAPI SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  using namespace winhost::detail;
  WorldGuard guard(WorldMutex());
  winhost::Call call{"SHGetFolderPathW", {{"owner", owner == nullptr ? "null" : "set"},
                                          {"folder", Hex(static_cast<uint32_t>(folder))},
                                          {"token", token == nullptr ? "null" : "set"},
                                          {"flags", std::to_string(flags)}}};
  if (path != nullptr) path[0] = 0;
  if (auto fault = Enter(std::move(call))) return static_cast<HRESULT>(*fault);
  if (path == nullptr || (folder & ~CSIDL_FLAG_MASK) != CSIDL_COMMON_APPDATA) return E_INVALIDARG;

  std::string folderPath = winhost::CommonAppDataFolder();
  if (folderPath.empty()) return S_OK;
  std::u16string wide = WideOf(folderPath);
  if (wide.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  if (!IsDirectory(folderPath)) {
    if ((folder & CSIDL_FLAG_CREATE) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    errno = 0;
    if (!MakeDirectories(folderPath)) return HRESULT_FROM_WIN32(ErrorOf(errno));
  }
  std::copy(wide.begin(), wide.end(), path);
  path[wide.size()] = 0;
  return S_OK;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes) {
  using namespace winhost::detail;
  std::string path = Narrow(pathName);
  bool racing;
  {
    WorldGuard guard(WorldMutex());
    winhost::Call call{"CreateDirectoryW", {{"path", pathName == nullptr ? "null" : path},
                                            {"security", securityAttributes == nullptr ? "null" : "set"}}};
    if (auto fault = Enter(std::move(call))) {
      SetLastError(*fault);
      return FALSE;
    }
    racing = Folders().racing;
  }
  // The file system is not held under the world lock: threads that create at once race as they do
  // on Windows.
  if (pathName == nullptr || path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (racing) mkdir(path.c_str(), 0755);
  if (mkdir(path.c_str(), 0755) != 0) {
    SetLastError(ErrorOf(errno));
    return FALSE;
  }
  return TRUE;
}

int _waccess(const WCHAR* path, int mode) {
  using namespace winhost::detail;
  std::string narrow = Narrow(path);
  {
    WorldGuard guard(WorldMutex());
    winhost::Call call{"_waccess", {{"path", path == nullptr ? "null" : narrow}, {"mode", std::to_string(mode)}}};
    if (auto fault = Enter(std::move(call))) {
      errno = static_cast<int>(*fault);
      return -1;
    }
  }
  // Windows' modes: 0 existence, 2 write, 4 read, 6 both; there is no execute test.
  if (path == nullptr || (mode & ~6) != 0) {
    errno = EINVAL;
    return -1;
  }
  int posixMode = (mode & 2 ? W_OK : 0) | (mode & 4 ? R_OK : 0);
  return access(narrow.c_str(), posixMode == 0 ? F_OK : posixMode);
}

int _wstat(const WCHAR* path, struct _stat* buffer) {
  using namespace winhost::detail;
  std::string narrow = Narrow(path);
  {
    WorldGuard guard(WorldMutex());
    winhost::Call call{"_wstat", {{"path", path == nullptr ? "null" : narrow}}};
    if (auto fault = Enter(std::move(call))) {
      errno = static_cast<int>(*fault);
      return -1;
    }
  }
  if (path == nullptr || buffer == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat status;
  if (stat(narrow.c_str(), &status) != 0) return -1;
  *buffer = _stat{};
  buffer->st_dev = static_cast<unsigned int>(status.st_dev);
  buffer->st_ino = static_cast<unsigned short>(status.st_ino);
  // The type bits have the same values on both systems; Windows keeps no group or other bits.
  buffer->st_mode = static_cast<unsigned short>(status.st_mode & (S_IFMT | S_IRWXU));
  buffer->st_nlink = static_cast<short>(status.st_nlink);
  buffer->st_size = static_cast<long>(status.st_size);
  return 0;
}

}  // extern "C"
