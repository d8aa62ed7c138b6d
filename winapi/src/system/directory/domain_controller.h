// The domain-controller check of the system world: the Kerberos configuration says whether the
// computer has a domain (its default realm), and DNS says where the domain's controllers are.
#pragma once

#include <string>

#include "system/host/host.h"

namespace winhost::system::directory {

// Looks for a controller of `domain` (empty: the domain of the default Kerberos realm) in DNS as
// Windows' locator does: _ldap._tcp.dc._msdcs.<domain>, then _kerberos._tcp.<domain>; then the
// first of the first name that lists any (up to four, by priority) that answers: its rootDSE over
// LDAP, or for a realm's KDC a TCP connection. NERR_Success with that controller's host name;
// ERROR_NO_SUCH_DOMAIN when the computer has no domain or DNS says the domain does not exist;
// ERROR_NO_LOGON_SERVERS when the domain lists no controller, every one tried is silent, or the
// resolver cannot get an answer; ERROR_NOT_ENOUGH_MEMORY.
DWORD SystemFindDomainController(const std::string& domain, std::string& controller);

}  // namespace winhost::system::directory
