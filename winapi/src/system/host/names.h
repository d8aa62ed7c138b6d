// This computer's names and domain in the system world, and the Windows codes that the system
// world's failures become. Call these without the world lock: the resolver and Kerberos may wait.
#pragma once

#include <optional>
#include <string>

#include "system/host/host.h"

// Windows codes answered by the system world and used nowhere in the library itself.
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define RPC_S_SERVER_UNAVAILABLE 1722L

namespace winhost::system::host {

// The host name as gethostname() gives it, or the failure's Windows code.
DWORD SystemHostName(std::string& name);

// The NetBIOS name Windows forms from a host name: its first label in capitals, cut to 15
// characters.
std::u16string NetbiosNameOf(const std::string& hostName);

// The computer's names, as GetComputerNameExW gives them for `format`: the NetBIOS name, the DNS
// host name (the host name's first label), the DNS domain and the fully qualified name (the
// resolver's canonical name of the host name, or the host name when the resolver has none).
DWORD SystemComputerName(COMPUTER_NAME_FORMAT format, std::string& name);

}  // namespace winhost::system::host
