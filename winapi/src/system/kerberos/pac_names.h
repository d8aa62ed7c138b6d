// Whether a verified PAC names the client of the ticket it came in.
#pragma once

#include <optional>
#include <string>

#include "system/kerberos/pac.h"

namespace winhost::system::kerberos {

// Why a verified PAC may not describe the client whose ticket it came in, `principal` as krb5
// displays it (alice@SAMDOM.TEST); null when it may. Its EffectiveName must be the principal's
// name (letter case of A to Z aside), and where the PAC has UPN_DNS_INFO, that buffer's DNS
// domain must be the principal's realm and its SAM name and SID, when it gives them, the logon
// information's. A PAC that names somebody else than its ticket is somebody's forgery or a KDC's
// confusion of two accounts, and is not used. Pure.
const char* PacNameRefusal(const LogonInfo& logon, const std::optional<UpnDnsInfo>& upn,
                           const std::string& principal);

}  // namespace winhost::system::kerberos
