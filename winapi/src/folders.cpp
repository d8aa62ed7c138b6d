// Folders and files of the stand-in host: the shell's common application data folder, directory
// creation and the C runtime's wide file tests, all over the real POSIX file system in both
// worlds; only the common application data folder is the world's.
#include <errno.h>

#include "common/files.h"
#include "common/journal.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

extern "C" {

HRESULT WINAPI SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  WorldGuard guard(WorldMutex());
  Call call{"SHGetFolderPathW", {{"owner", owner == nullptr ? "null" : "set"},
                                 {"folder", FlagsText(static_cast<ULONG>(folder))},
                                 {"token", token == nullptr ? "null" : "set"},
                                 {"flags", std::to_string(flags)}}};
  if (path != nullptr) path[0] = 0;
  if (auto fault = Enter(std::move(call))) return static_cast<HRESULT>(*fault);
  if (path == nullptr || (folder & ~CSIDL_FLAG_MASK) != CSIDL_COMMON_APPDATA) return E_INVALIDARG;
  return AnswerFolder(world::CommonAppDataFolder(), folder, path, world::MakeCommonAppDataFolder);
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes) {
  std::string path = Narrow(pathName);
  bool racing;
  {
    WorldGuard guard(WorldMutex());
    Call call{"CreateDirectoryW", {{"path", pathName == nullptr ? "null" : path},
                                   {"security", securityAttributes == nullptr ? "null" : "set"}}};
    if (auto fault = Enter(std::move(call))) return FailWith(*fault);
    racing = DirectoryCreationRace();
  }
  return CreateDirectory(path, racing);
}

int _waccess(const WCHAR* path, int mode) {
  std::string narrow = Narrow(path);
  {
    WorldGuard guard(WorldMutex());
    if (auto fault = Enter(Call{"_waccess", {{"path", path == nullptr ? "null" : narrow}, {"mode", std::to_string(mode)}}})) {
      errno = static_cast<int>(*fault);
      return -1;
    }
  }
  return Access(path, narrow, mode);
}

int _wstat(const WCHAR* path, struct _stat* buffer) {
  std::string narrow = Narrow(path);
  {
    WorldGuard guard(WorldMutex());
    if (auto fault = Enter(Call{"_wstat", {{"path", path == nullptr ? "null" : narrow}}})) {
      errno = static_cast<int>(*fault);
      return -1;
    }
  }
  return Stat(path, narrow, buffer);
}

}  // extern "C"
