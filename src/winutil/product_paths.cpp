// WinUtil's product paths: the installation folder recorded in the product's registry key, and
// files in the product's folders under the machine-wide application data folder.
#include <optional>

#include "bridge/entry.h"
#include "winutil/host_access.h"

namespace {

constexpr char kProductRegistryKey[] = "SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane";
const WideString kInstallPathValue = u"InstallPath";
const WideString kAppDataPathValue = u"AppDataPath";
constexpr char kFirstFolder[] = "Tarvex";
constexpr char kSecondFolder[] = "Tarvex Quorvane";

// Every path here must fit a buffer of MAX_PATH units with its terminator.
constexpr size_t kPathUnits = MAX_PATH;

bool FitsPathBuffer(const WideString& path) { return path.size() < kPathUnits; }

// 8-bit text as UTF-16, one unit per byte; a byte outside ASCII becomes '?'.
WideString WidenAscii(const char* text) {
  WideString wide;
  for (const char* at = text; *at != 0; ++at) {
    auto byte = static_cast<unsigned char>(*at);
    wide.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : u'?');
  }
  return wide;
}

// A value of the product's key as a path, in the 64-bit view under WOW64. Nothing when the key or
// the value is missing, the read fails, the text is empty or it would not fit a path buffer.
std::optional<WideString> ReadProductPath(const WideString& valueName) {
  const REGSAM access = RunningUnderWow64() ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
  OpenedKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductRegistryKey, 0, access, key.Receive()) != ERROR_SUCCESS)
    return std::nullopt;
  WCHAR buffer[kPathUnits] = {};
  DWORD size = sizeof buffer;  // in bytes
  DWORD type = REG_NONE;
  if (RegQueryValueExW(key.get(), AsWide(valueName), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  WideString path = TextUpToNul(reinterpret_cast<const BYTE*>(buffer), size);
  if (path.empty() || !FitsPathBuffer(path)) return std::nullopt;
  return path;
}

// True when `path` names an existing directory.
bool IsExistingDirectory(const WideString& path) {
  struct _stat status;
  return _waccess(AsWide(path), 0) == 0 && _wstat(AsWide(path), &status) == 0 &&
         (status.st_mode & _S_IFMT) == _S_IFDIR;
}

// Makes sure `path` is a directory. A failed creation is looked at again: another thread or
// process may have made the directory in between.
bool EnsureDirectory(const WideString& path) {
  if (IsExistingDirectory(path)) return true;
  CreateDirectoryW(AsWide(path), nullptr);
  return IsExistingDirectory(path);
}

// The product's application data folder, made when missing: the product key's "AppDataPath", or
// else the shell's common application data folder, then the two product folders under it.
std::optional<WideString> ResolveCommonAppDataDir() {
  std::optional<WideString> directory = ReadProductPath(kAppDataPathValue);
  if (!directory) {
    WCHAR buffer[kPathUnits] = {};
    HRESULT result = SHGetFolderPathW(nullptr,                                    // no window
                                      CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE,  // folder
                                      nullptr,                                    // no token
                                      0,                                          // current path
                                      buffer);                                    // MAX_PATH units
    if (FAILED(result)) return std::nullopt;
    directory = TextUpToNul(buffer, kPathUnits);
    if (directory->empty()) return std::nullopt;
  }
  for (const char* folder : {kFirstFolder, kSecondFolder}) {
    *directory += kPathSeparator;
    *directory += WidenAscii(folder);
    if (!FitsPathBuffer(*directory) || !EnsureDirectory(*directory)) return std::nullopt;
  }
  return directory;
}

jstring GetProductInstallPath(JNIEnv* env) {
  std::optional<WideString> path = ReadProductPath(kInstallPathValue);
  if (!path) return nullptr;
  // One trailing separator goes: a backslash as Windows writes it, or this platform's own.
  if (path->back() == u'\\' || path->back() == kPathSeparator) path->pop_back();
  return WideToJavaString(env, *path);
}

jstring GetCommonAppDataFilePath(JNIEnv* env, jstring fileName) {
  if (RefuseNull(env, fileName, messages::kFileNameIsNull)) return nullptr;
  std::optional<WideString> directory = ResolveCommonAppDataDir();
  if (directory) {
    // The name is taken as it is: no test for separators, drive letters or existence.
    WideString path = *directory + kPathSeparator + JavaStringToWide(env, fileName);
    // A path that would not fit is refused, never cut.
    if (FitsPathBuffer(path)) return WideToJavaString(env, path);
  }
  ThrowJavaException(env, javaclass::kWinException, messages::kFailedToResolveAppDataPath);
  return nullptr;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetProductInstallPath(JNIEnv* env,
                                                                                               jclass) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetProductInstallPath(env); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetCommonAppDataFilePath(
    JNIEnv* env, jclass, jstring fileName) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetCommonAppDataFilePath(env, fileName); });
}
