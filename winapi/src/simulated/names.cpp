// The simulated computer's names and its domain: not joined to one unless a test says otherwise.
#include "common/world.h"
#include "simulated/host.h"

namespace winhost {
namespace simulated {
namespace {

ComputerNames DefaultNames() { return ComputerNames{"WINHOST", "winhost", "example.test"}; }

struct Computer {
  ComputerNames names = DefaultNames();
  uint32_t domainStatus = ERROR_NO_SUCH_DOMAIN;
  std::string controller = "\\\\DC01.example.test";
};

Computer& TheComputer() {
  static Computer* computer = new Computer();  // never destroyed: the library may call in during unload
  return *computer;
}

ResetHook resetComputer([] { TheComputer() = Computer{}; });

}  // namespace

ComputerNames& Names() { return TheComputer().names; }

const std::string& ProcessUser() {
  static const std::string user = "appuser";
  return user;
}

std::string ProcessUserQualifiedName() {
  WorldGuard guard(WorldMutex());
  return Names().netbios + "\\" + ProcessUser();
}

}  // namespace simulated

DWORD world::ComputerName(WorldLock&, COMPUTER_NAME_FORMAT format, std::string& name) {
  const ComputerNames& names = simulated::Names();
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS: name = names.netbios; break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname: name = names.dnsHost; break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain: name = names.dnsDomain; break;
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified:
      name = names.dnsDomain.empty() ? names.dnsHost : names.dnsHost + "." + names.dnsDomain;
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

DWORD world::DomainController(WorldLock&, LPCWSTR, std::string& controller) {
  const simulated::Computer& computer = simulated::TheComputer();
  if (computer.domainStatus != NERR_Success) return computer.domainStatus;
  controller = computer.controller;
  return NERR_Success;
}

// ---- control -------------------------------------------------------------------------------

World CurrentWorld() { return World::Simulated; }

ComputerNames GetComputerNames() {
  common::WorldGuard guard(common::WorldMutex());
  return simulated::Names();
}

void SetComputerNames(const ComputerNames& names) {
  common::WorldGuard guard(common::WorldMutex());
  simulated::Names() = names;
}

std::string ProcessUserName() { return simulated::ProcessUser(); }

std::string ProcessUserQualifiedName() { return simulated::ProcessUserQualifiedName(); }

void SetDomainControllerStatus(uint32_t status, const std::string& controller) {
  common::WorldGuard guard(common::WorldMutex());
  simulated::TheComputer().domainStatus = status;
  simulated::TheComputer().controller = controller;
}

}  // namespace winhost
