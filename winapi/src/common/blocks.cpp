// The host's heap blocks, by kind.
#include "common/blocks.h"

#include <cstdlib>
#include <cstring>
#include <map>

#include "common/journal.h"
#include "common/lock.h"

namespace winhost::common {
namespace {

std::map<void*, std::string>& Blocks() {
  static auto* blocks = new std::map<void*, std::string>();  // never destroyed
  return *blocks;
}

}  // namespace

void* AllocBlock(size_t bytes, const std::string& kind) {
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block == nullptr) return nullptr;
  WorldGuard guard(WorldMutex());
  Blocks()[block] = kind;
  AddLive(kind, 1);
  return block;
}

WCHAR* AllocWide(const std::u16string& text, const std::string& kind) {
  auto* out = static_cast<WCHAR*>(AllocBlock((text.size() + 1) * sizeof(WCHAR), kind));
  if (out != nullptr) std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
  return out;
}

bool FreeBlock(void* block, const std::string& kind) {
  WorldGuard guard(WorldMutex());
  auto it = Blocks().find(block);
  if (it == Blocks().end() || it->second != kind) return false;
  Blocks().erase(it);
  AddLive(kind, -1);
  std::free(block);
  return true;
}

}  // namespace winhost::common
