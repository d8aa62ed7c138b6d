// Text as the stand-in host keeps it: UTF-8 inside, UTF-16 at the Windows functions.
#pragma once

#include <cstddef>
#include <string>

#include "winhost/base.h"

namespace winhost::common {

std::u16string WideOf(const std::string& utf8);
std::string Narrow(const std::u16string& utf16);
std::string Narrow(const WCHAR* text);  // null gives ""
std::string Narrow(const WCHAR* text, size_t units);

// "0x%08x": flags and masks as the journal shows them.
std::string FlagsText(ULONG flags);

}  // namespace winhost::common
