// The real POSIX file system that both worlds stand on: the shell's folder answer, directory
// creation and the C runtime's wide file tests. Paths are taken as they are given; on POSIX their
// separator is '/'.
#pragma once

#include <optional>
#include <string>

#include "winhost/host_services.h"

namespace winhost::common {

// Makes each missing folder of an absolute `path`, parents first (mode 0755); false with errno set
// at the first that cannot be made. A part that exists already, of whatever kind, is passed over.
bool MakeFolderPath(const std::string& path);
// MakeFolderPath, then false with ENOTDIR unless `path` is a directory.
bool MakeDirectories(const std::string& path);

// The folder a test set in place of the world's common application data folder, if any.
// Requires the world lock.
std::optional<std::string>& CommonAppDataSetting();
// Whether CreateDirectoryW acts as if another thread created the directory just before it.
bool& DirectoryCreationRace();

// SHGetFolderPathW's answer for the common application data folder `folderPath` (an empty one
// answers S_OK with an empty buffer), made when missing and asked for with CSIDL_FLAG_CREATE by
// `make` (false with errno set when it cannot).
HRESULT AnswerFolder(const std::string& folderPath, int folder, LPWSTR path, bool (*make)(const std::string&));

BOOL CreateDirectory(const std::string& path, bool racing);
int Access(const WCHAR* path, const std::string& narrow, int mode);
int Stat(const WCHAR* path, const std::string& narrow, struct _stat* buffer);

}  // namespace winhost::common
