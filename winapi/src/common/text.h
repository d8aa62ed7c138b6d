// Text as the stand-in host keeps it: UTF-8 inside, UTF-16 at the Windows functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "winhost/base.h"

namespace winhost::common {

std::u16string WideOf(const std::string& utf8);
std::string Narrow(const std::u16string& utf16);
std::string Narrow(const WCHAR* text);  // null gives ""
std::string Narrow(const WCHAR* text, size_t units);

// Strict forms for text from outside (names GSSAPI, krb5 and NSS give, names a caller asks them
// about): a text that is not well formed has no conversion at all, so nothing in it is cut,
// dropped or replaced, and two different names never come out as one.
// The UTF-16 of `utf8`; none when it is not well-formed UTF-8 (a lead byte without its
// continuation bytes, a stray continuation byte, an overlong form, an encoded surrogate, a code
// point above U+10FFFF) or when it holds U+0000.
std::optional<std::u16string> StrictWide(const std::string& utf8);
// The UTF-8 of `utf16`; none when it holds an unpaired surrogate or U+0000.
std::optional<std::string> StrictNarrow(const std::u16string& utf16);

// Letter case as Windows' own names (BUILTIN, Everyone, a domain or host name) and Kerberos realms
// are compared here, whatever the locale: only the letters A to Z and a to z change case.
std::string UpperAscii(std::string text);
std::string LowerAscii(std::string text);
bool SameAscii(const std::u16string& a, const std::u16string& b);  // equal but for that case

// "0x%08x": flags and masks as the journal shows them.
std::string FlagsText(ULONG flags);

}  // namespace winhost::common
