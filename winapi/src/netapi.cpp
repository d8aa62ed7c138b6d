// netapi32's domain-controller lookup and account query of the stand-in host.
#include "common/blocks.h"
#include "common/journal.h"
#include "common/text.h"
#include "common/world.h"

#include <cstring>

using namespace winhost;
using namespace winhost::common;

namespace {

std::string TextOr(LPCWSTR text) { return text == nullptr ? "null" : Narrow(text); }

// One block, as netapi32 hands out: the USER_INFO_1, then the name, then the empty string the
// home folder, comment and script path point to. Null when memory runs out.
USER_INFO_1* NewUserInfo(const std::u16string& name, DWORD flags) {
  const size_t units = name.size() + 2;
  void* block = AllocBlock(sizeof(USER_INFO_1) + units * sizeof(WCHAR), "net-buffer");
  if (block == nullptr) return nullptr;
  auto* info = static_cast<USER_INFO_1*>(block);
  auto* text = reinterpret_cast<WCHAR*>(static_cast<BYTE*>(block) + sizeof(USER_INFO_1));
  std::memcpy(text, name.data(), name.size() * sizeof(WCHAR));
  text[name.size()] = 0;
  WCHAR* empty = text + name.size() + 1;
  *empty = 0;
  *info = USER_INFO_1{text, nullptr, 0, USER_PRIV_USER, empty, empty, flags, empty};
  return info;
}

}  // namespace

extern "C" {

NET_API_STATUS NET_API_FUNCTION NetGetAnyDCName(LPCWSTR serverName, LPCWSTR domainName, LPBYTE* buffer) {
  WorldLock lock(WorldMutex());
  if (auto fault = Enter(Call{"NetGetAnyDCName", {{"server", TextOr(serverName)}, {"domain", TextOr(domainName)}}}))
    return *fault;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  // On failure no buffer is allocated and the caller's pointer is left as it was.
  std::string controller;
  if (DWORD status = world::DomainController(lock, domainName, controller); status != NERR_Success) return status;
  WCHAR* name = AllocWide(WideOf(controller), "net-buffer");
  if (name == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *buffer = reinterpret_cast<LPBYTE>(name);
  return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetUserGetInfo(LPCWSTR serverName, LPCWSTR userName, DWORD level, LPBYTE* buffer) {
  WorldLock lock(WorldMutex());
  if (auto fault = Enter(Call{"NetUserGetInfo", {{"server", TextOr(serverName)}, {"user", TextOr(userName)},
                                                 {"level", std::to_string(level)}}}))
    return *fault;
  if (userName == nullptr || buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (level != 1) return ERROR_INVALID_LEVEL;
  std::u16string name;
  DWORD flags = 0;
  if (DWORD status = world::UserAccount(lock, serverName, std::u16string(userName), name, flags); status != NERR_Success)
    return status;
  USER_INFO_1* info = NewUserInfo(name, flags);
  if (info == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *buffer = reinterpret_cast<LPBYTE>(info);
  return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"NetApiBufferFree", {{"buffer", buffer == nullptr ? "null" : "set"}}})) return *fault;
  if (buffer == nullptr) return NERR_Success;
  return FreeBlock(buffer, "net-buffer") ? NERR_Success : ERROR_INVALID_PARAMETER;
}

}  // extern "C"
