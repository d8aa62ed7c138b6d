// This computer's names in the system world: the host name, the NetBIOS name Windows would form
// from it, and the fully qualified name the resolver gives.
#include "system/host/names.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace winhost::system::host {
namespace {

constexpr size_t kNetbiosLength = 15;

std::string FirstLabel(const std::string& name) { return name.substr(0, name.find('.')); }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; }

bool SameLabel(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// The resolver's canonical name of the host name, or the host name itself when the resolver has
// none for it or answers with another host's name (a host name mapped to "localhost", say).
// Only running out of memory is a failure: no name at all is what the resolver cannot give.
DWORD FullyQualifiedName(const std::string& host, std::string& name) {
  name = host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  int error;
  if (auto fault = Enter(Call{"getaddrinfo", {{"node", host}, {"flags", "AI_CANONNAME"}}})) {
    error = static_cast<int>(*fault);
  } else {
    error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  }
  if (error == EAI_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
  if (error != 0) return ERROR_SUCCESS;
  if (found->ai_canonname != nullptr && SameLabel(FirstLabel(found->ai_canonname), FirstLabel(host))) {
    name = found->ai_canonname;
    if (!name.empty() && name.back() == '.') name.pop_back();
  }
  freeaddrinfo(found);
  return ERROR_SUCCESS;
}

}  // namespace

DWORD SystemHostName(std::string& name) {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return errno == ENAMETOOLONG ? ERROR_MORE_DATA : ERROR_INVALID_PARAMETER;
  name = buffer;
  return ERROR_SUCCESS;
}

std::u16string NetbiosNameOf(const std::string& hostName) {
  std::u16string name = WideOf(FirstLabel(hostName));
  for (char16_t& c : name)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  if (name.size() > kNetbiosLength) name.resize(kNetbiosLength);
  return name;
}

DWORD SystemComputerName(COMPUTER_NAME_FORMAT format, std::string& name) {
  std::string host;
  if (DWORD error = SystemHostName(host); error != ERROR_SUCCESS) return error;
  switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS: {
      std::u16string netbios = NetbiosNameOf(host);
      name = Narrow(netbios.c_str(), netbios.size());
      return ERROR_SUCCESS;
    }
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname: name = FirstLabel(host); return ERROR_SUCCESS;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain: {
      std::string full;
      if (DWORD error = FullyQualifiedName(host, full); error != ERROR_SUCCESS) return error;
      size_t dot = full.find('.');
      name = dot == std::string::npos ? "" : full.substr(dot + 1);
      return ERROR_SUCCESS;
    }
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified: return FullyQualifiedName(host, name);
    default: return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace winhost::system::host
