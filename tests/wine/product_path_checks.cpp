// The product's folders: the install path from the product key, and the application-data
// folders created under the shell's common application-data folder or the key's base.
#include <windows.h>
#include <shlobj.h>

#include "wine/suite.h"

namespace {

using InstallPathFn = jstring JNICALL(JNIEnv*, jclass);
using FilePathFn = jstring JNICALL(JNIEnv*, jclass, jstring);

const wchar_t kCompanyKey[] = L"SOFTWARE\\Tarvex, Inc.";
const wchar_t kProductKey[] = L"SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane";
const std::wstring kFirst = L"Tarvex";
const std::wstring kSecond = L"Tarvex Quorvane";
const std::u16string kFailure = u"Failed to resolve common app data path";

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RemoveProductFolders(const std::wstring& base) {
  RemoveDirectoryW((base + L"\\" + kFirst + L"\\" + kSecond).c_str());
  RemoveDirectoryW((base + L"\\" + kFirst).c_str());
}

void DeleteProductKey() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCompanyKey);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCompanyKey);
}

void SetProductValue(const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    Check(false, "this program writes the product key");
    return;
  }
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

struct Calls {
  Context& c;
  InstallPathFn* installPath;
  FilePathFn* filePath;

  std::optional<std::u16string> InstallPath() {
    auto outcome = Invoke(c.jvm, "GetProductInstallPath", installPath);
    if (!outcome.thrown.empty()) Check(false, "GetProductInstallPath throws nothing", outcome.thrown);
    return TakeText(c.jvm, outcome.value);
  }
  // The path, or the thrown exception's text prefixed with "!".
  std::optional<std::u16string> FilePath(const std::u16string& name) {
    jstring fileName = c.jvm.String(name);
    auto outcome = Invoke(c.jvm, "GetCommonAppDataFilePath", filePath, fileName);
    c.jvm.Delete(fileName);
    if (!outcome.thrown.empty()) {
      if (outcome.value != nullptr) Check(false, "a path is returned only without an exception");
      c.jvm.Delete(outcome.value);
      return u"!" + std::u16string(outcome.thrown.begin(), outcome.thrown.end());
    }
    return TakeText(c.jvm, outcome.value);
  }
};

std::optional<std::u16string> Expected(const std::wstring& path) { return Wide(path.c_str()); }

void CheckWithoutProductKey(Calls& calls) {
  CheckEqual(calls.InstallPath(), std::optional<std::u16string>(), "no product key: the install path is null");
  wchar_t common[MAX_PATH] = {};
  const HRESULT shell = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common);
  if (!Check(SUCCEEDED(shell), "the shell names the common application-data folder", Hex(static_cast<uint32_t>(shell)))) return;
  RemoveProductFolders(common);
  const std::wstring folder = std::wstring(common) + L"\\" + kFirst + L"\\" + kSecond;
  CheckEqual(calls.FilePath(u"quentrel.log"), Expected(folder + L"\\quentrel.log"),
             "no product key: the file lies in the product's folders under the shell's folder");
  Check(IsDirectory(std::wstring(common) + L"\\" + kFirst) && IsDirectory(folder), "both product folders were created");
  CheckEqual(calls.FilePath(u"sub\\other.txt"), Expected(folder + L"\\sub\\other.txt"),
             "once they exist they are found, and the file name is taken as it is");
  RemoveProductFolders(common);
}

void CheckInstallPath(Calls& calls) {
  SetProductValue(L"InstallPath", L"C:\\Program Files\\Tarvex Quorvane\\");
  CheckEqual(calls.InstallPath(), std::optional<std::u16string>(u"C:\\Program Files\\Tarvex Quorvane"),
             "an InstallPath with a trailing backslash loses it");
  SetProductValue(L"InstallPath", L"D:\\Apps\\Quorvane\\\\");
  CheckEqual(calls.InstallPath(), std::optional<std::u16string>(u"D:\\Apps\\Quorvane\\"), "only one backslash goes");
  SetProductValue(L"InstallPath", L"D:\\Apps\\Quorvane");
  CheckEqual(calls.InstallPath(), std::optional<std::u16string>(u"D:\\Apps\\Quorvane"), "one without is returned as stored");
  SetProductValue(L"InstallPath", L"");
  CheckEqual(calls.InstallPath(), std::optional<std::u16string>(), "an empty InstallPath gives null");
}

void CheckAppDataBase(Calls& calls) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring base = std::wstring(temp) + L"quentrel-wine-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring blocked = base + L"-blocked";
  CreateDirectoryW(base.c_str(), nullptr);
  CreateDirectoryW(blocked.c_str(), nullptr);

  SetProductValue(L"AppDataPath", base);
  const std::wstring folder = base + L"\\" + kFirst + L"\\" + kSecond;
  CheckEqual(calls.FilePath(u"a.txt"), Expected(folder + L"\\a.txt"), "an AppDataPath wins over the shell's folder");
  Check(IsDirectory(folder), "and the product folders are created under it");

  // A file where the first folder belongs.
  HANDLE file = CreateFileW((blocked + L"\\" + kFirst).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "this program puts a file named Tarvex in a base of its own");
  CloseHandle(file);
  SetProductValue(L"AppDataPath", blocked);
  CheckEqual(calls.FilePath(u"a.txt"), std::optional<std::u16string>(u"!WinException: " + kFailure),
             "a file where the first folder belongs gives the WinException");

  SetProductValue(L"AppDataPath", base + L"\\does\\not\\exist");
  CheckEqual(calls.FilePath(u"a.txt"), std::optional<std::u16string>(u"!WinException: " + kFailure),
             "a base that does not exist is not created, and gives the WinException");

  DeleteFileW((blocked + L"\\" + kFirst).c_str());
  RemoveDirectoryW(blocked.c_str());
  RemoveProductFolders(base);
  RemoveDirectoryW(base.c_str());
}

}  // namespace

void CheckProductPaths(Context& c) {
  Group("product paths");
  const Library& l = c.library;
  if (!l.Has({"WinUtil_GetProductInstallPath", "WinUtil_GetCommonAppDataFilePath"}, "product paths")) return;
  Calls calls{c, l.Get<InstallPathFn>("WinUtil_GetProductInstallPath"), l.Get<FilePathFn>("WinUtil_GetCommonAppDataFilePath")};
  DeleteProductKey();
  CheckWithoutProductKey(calls);
  CheckInstallPath(calls);
  CheckAppDataBase(calls);
  DeleteProductKey();
}
