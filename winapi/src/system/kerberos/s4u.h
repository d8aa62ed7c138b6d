// The groups a domain's KDC gives a user at logon, asked for without the user, as Windows builds an
// Authz context for a domain account: the service asks its KDC for a ticket to itself on the user's
// behalf (S4U2Self) with its own key, accepts that ticket as any client's, and reads the logon
// information of the PAC the KDC put in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/host/host.h"

namespace winhost::system::kerberos {

// The PAC logon-info buffer ("urn:mspac:logon-info") of the ticket that `principal`'s KDC issues
// the service `service` for `principal` (alice@SAMDOM.TEST), when GSSAPI verified the PAC's
// signature with the service's key. 0; ERROR_NO_SUCH_USER when the KDC knows no such client;
// ERROR_NONE_MAPPED when the ticket has no logon information GSSAPI vouches for;
// ERROR_NO_LOGON_SERVERS when no KDC answers or it refuses the service; ERROR_NOT_ENOUGH_MEMORY.
// Each GSSAPI call is a fault point under its own name ("gss_acquire_cred_impersonate_name" ...).
DWORD S4uLogonInfo(const std::string& service, const std::string& principal, std::vector<uint8_t>& logonInfo);

}  // namespace winhost::system::kerberos
