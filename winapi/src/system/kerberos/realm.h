// The Kerberos configuration's realm and its mapping of principals to local accounts, read the way
// MIT krb5 reads them.
#pragma once

#include <krb5/krb5.h>

#include <optional>
#include <string>

#include "system/host/host.h"

namespace winhost::system::kerberos {

// The default realm of the Kerberos configuration (KRB5_CONFIG, else /etc/krb5.conf), or none
// when it names none.
std::optional<std::string> SystemDefaultRealm();
// The same with krb5's code when there is none (KRB5_CONFIG_NODEFREALM, ENOMEM ...).
std::optional<std::string> SystemDefaultRealm(krb5_error_code& error);

// The local account that krb5's auth_to_local rules map the principal `name`@`realm` to, through
// krb5_aname_to_localname: the rules gss_localname applies to a Kerberos client. `name` is read
// as krb5 displays a principal's name before its realm ("alice", "host/web"). 0 with the account's NSS name; ERROR_NONE_MAPPED when
// the rules map the principal to no account; ERROR_NOT_ENOUGH_MEMORY; RPC_S_SERVER_UNAVAILABLE
// when krb5 itself fails (a configuration it cannot read ...), as for a directory that does not
// answer. Journalled as "krb5_aname_to_localname", whose fault code is a krb5 error code.
DWORD SystemLocalNameOf(const std::string& name, const std::string& realm, std::string& local);

}  // namespace winhost::system::kerberos
