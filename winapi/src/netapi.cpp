// netapi32's domain-controller lookup. In the simulated world this computer is not joined to a
// domain unless a test says otherwise; in the system world the Kerberos configuration and DNS say.
#include "services_host.h"
#include "system/domain.h"

namespace winhost {
namespace detail {
namespace {

struct DomainWorld {
  uint32_t status = ERROR_NO_SUCH_DOMAIN;
  std::string controller = "\\\\DC01.example.test";
};

DomainWorld& Domain() {
  static DomainWorld* world = new DomainWorld();  // never destroyed
  return *world;
}

ResetHook resetDomain([] { Domain() = DomainWorld{}; });

std::string TextOr(LPCWSTR text) { return text == nullptr ? "null" : Narrow(text); }

}  // namespace
}  // namespace detail

void SetDomainControllerStatus(uint32_t status, const std::string& controller) {
  using namespace detail;
  WorldGuard guard(WorldMutex());
  Domain() = DomainWorld{status, controller};
}

}  // namespace winhost

extern "C" {

NET_API_STATUS NET_API_FUNCTION NetGetAnyDCName(LPCWSTR serverName, LPCWSTR domainName, LPBYTE* buffer) {
  using namespace winhost::detail;
  WorldLock guard(WorldMutex());
  winhost::Call call{"NetGetAnyDCName", {{"server", TextOr(serverName)}, {"domain", TextOr(domainName)}}};
  if (auto fault = Enter(std::move(call))) return *fault;
  if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (InSystemWorld()) {
    guard.unlock();  // DNS may take its time
    std::string controller;
    if (DWORD status = SystemFindDomainController(domainName ? Narrow(domainName) : "", controller); status != NERR_Success)
      return status;
    WCHAR* name = AllocWide(WideOf(controller), "net-buffer");
    if (name == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    *buffer = reinterpret_cast<LPBYTE>(name);
    return NERR_Success;
  }
  // On failure no buffer is allocated and the caller's pointer is left as it was.
  if (Domain().status != NERR_Success) return Domain().status;
  WCHAR* name = AllocWide(WideOf(Domain().controller), "net-buffer");
  if (name == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *buffer = reinterpret_cast<LPBYTE>(name);
  return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer) {
  using namespace winhost::detail;
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(winhost::Call{"NetApiBufferFree", {{"buffer", buffer == nullptr ? "null" : "set"}}}))
    return *fault;
  if (buffer == nullptr) return NERR_Success;
  return FreeBlock(buffer, "net-buffer") ? NERR_Success : ERROR_INVALID_PARAMETER;
}

}  // extern "C"
