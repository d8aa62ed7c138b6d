// The one header through which the library sees the platform: the Windows SDK on Windows, the
// stand-in host everywhere else. Both declare the same names with the same values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
#include <security.h>
#include <sspi.h>
#include <shlobj.h>
#include <lm.h>
#include <io.h>
#include <sys/stat.h>
#include <sddl.h>
#include <authz.h>
#else
#include <windows.h>
#endif

#include <string>

// The separator of file paths: Windows' backslash there, the POSIX slash elsewhere, so that a path
// the library builds is one the process can open.
#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

// Wide strings are UTF-16 on both platforms. The Windows functions take WCHAR, which is wchar_t
// there and char16_t here; AsWide bridges the two without copying.
using WideString = std::u16string;

inline WCHAR* AsWide(WideString& text) { return reinterpret_cast<WCHAR*>(text.data()); }
inline const WCHAR* AsWide(const WideString& text) { return reinterpret_cast<const WCHAR*>(text.data()); }
inline WideString FromWide(const WCHAR* text) {
  return text == nullptr ? WideString() : WideString(reinterpret_cast<const char16_t*>(text));
}
