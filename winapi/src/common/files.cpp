// Folders and files over the POSIX file system.
#include "common/files.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/journal.h"
#include "common/text.h"

namespace winhost::common {
namespace {

struct FolderSettings {
  std::optional<std::string> commonAppData;  // unset: the world's own
  bool racing = false;
};

FolderSettings& Folders() {
  static FolderSettings* settings = new FolderSettings();  // never destroyed
  return *settings;
}

ResetHook resetFolders([] { Folders() = FolderSettings{}; });

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

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool MakeFolderPath(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) return true;
  }
}

bool MakeDirectories(const std::string& path) {
  if (!MakeFolderPath(path)) return false;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

std::optional<std::string>& CommonAppDataSetting() { return Folders().commonAppData; }

bool& DirectoryCreationRace() { return Folders().racing; }

HRESULT AnswerFolder(const std::string& folderPath, int folder, LPWSTR path, bool (*make)(const std::string&)) {
  if (folderPath.empty()) return S_OK;
  std::u16string wide = WideOf(folderPath);
  if (wide.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  if (!IsDirectory(folderPath)) {
    if ((folder & CSIDL_FLAG_CREATE) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    errno = 0;
    if (!make(folderPath)) return HRESULT_FROM_WIN32(ErrorOf(errno));
  }
  std::copy(wide.begin(), wide.end(), path);
  path[wide.size()] = 0;
  return S_OK;
}

// The file system is not held under the world lock: threads that create at once race as they do
// on Windows.
BOOL CreateDirectory(const std::string& path, bool racing) {
  if (path.empty()) {
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

int Access(const WCHAR* path, const std::string& narrow, int mode) {
  // Windows' modes: 0 existence, 2 write, 4 read, 6 both; there is no execute test.
  if (path == nullptr || (mode & ~6) != 0) {
    errno = EINVAL;
    return -1;
  }
  int posixMode = (mode & 2 ? W_OK : 0) | (mode & 4 ? R_OK : 0);
  return access(narrow.c_str(), posixMode == 0 ? F_OK : posixMode);
}

int Stat(const WCHAR* path, const std::string& narrow, struct _stat* buffer) {
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

}  // namespace winhost::common
