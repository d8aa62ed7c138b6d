// NetUserGetInfo's account flags in the system world. A domain account's flags are its
// controller's userAccountControl, read over LDAP as the service (system/directory/
// ldap_directory.h), whose bits are netapi32's UF_* flags; this computer's own accounts are
// plain ones, as the machine keeps no such flags for them. Call without the world lock.
#pragma once

#include <string>

#include "system/host/host.h"

namespace winhost::system::directory {

// The account `user` at `server`: null or empty for this computer, else a controller, whose DNS
// name ends in its domain's. NERR_Success with the name as the directory spells it and its flags;
// NERR_UserNotFound; or the directory's failure (ERROR_NO_SUCH_DOMAIN where no directory of that
// domain serves this host, ERROR_NO_LOGON_SERVERS ...).
DWORD SystemUserFlags(const std::string& server, const std::u16string& user, std::u16string& name, DWORD& flags);

}  // namespace winhost::system::directory
