// Strict UTF-8 and UTF-16 conversions for text that comes from outside: names that GSSAPI, krb5
// and NSS give, and names a caller asks them about. A text that is not well formed has no
// conversion at all: nothing in it is cut, dropped or replaced, so two different names never come
// out as one.
#pragma once

#include <optional>
#include <string>

namespace winhost::detail {

// The UTF-16 form of `utf8`; none when it is not well-formed UTF-8 (a lead byte without its
// continuation bytes, a stray continuation byte, an overlong form, an encoded surrogate, a code
// point above U+10FFFF) or when it holds U+0000.
std::optional<std::u16string> StrictWide(const std::string& utf8);

// The UTF-8 form of `utf16`; none when it holds an unpaired surrogate or U+0000.
std::optional<std::string> StrictNarrow(const std::u16string& utf16);

}  // namespace winhost::detail
