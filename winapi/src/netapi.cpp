// netapi32's domain-controller lookup of the stand-in host.
#include "common/blocks.h"
#include "common/journal.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

std::string TextOr(LPCWSTR text) { return text == nullptr ? "null" : Narrow(text); }

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

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"NetApiBufferFree", {{"buffer", buffer == nullptr ? "null" : "set"}}})) return *fault;
  if (buffer == nullptr) return NERR_Success;
  return FreeBlock(buffer, "net-buffer") ? NERR_Success : ERROR_INVALID_PARAMETER;
}

}  // extern "C"
