// Memory the host hands out and the caller gives back through a Windows free function
// (FreeContextBuffer, LocalFree, FreeSid, NetApiBufferFree), each block known by its kind.
#pragma once

#include <cstddef>
#include <string>

#include "winhost/base.h"

namespace winhost::common {

// Heap copies that the caller releases through a Windows free function; counted as `kind`.
WCHAR* AllocWide(const std::u16string& text, const std::string& kind);
void* AllocBlock(size_t bytes, const std::string& kind);
bool FreeBlock(void* block, const std::string& kind);  // false when `block` is not live as `kind`

}  // namespace winhost::common
