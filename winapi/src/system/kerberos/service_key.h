// The service's own Kerberos identity in its domain, for the questions this host asks the domain
// as that service (LDAP binds, S4U2Self): a principal of the acceptor keytab, and tickets got with
// its key into a MEMORY: cache of the process, never a file.
#pragma once

#include <gssapi/gssapi.h>

#include <optional>
#include <string>

#include "system/host/host.h"
#include "system/kerberos/owners.h"

namespace winhost::system::kerberos {

// The principal of the acceptor keytab (KRB5_KTNAME, else the Kerberos configuration's) that
// this host acts as in `realm`: QUENTREL_SERVICE_PRINCIPAL when set, else the keytab's first
// principal of `realm` with one component (an account's own name: web$, svc-web), else its first
// of `realm`. None when the keytab has no key of that realm or cannot be read.
std::optional<std::string> ServicePrincipal(const std::string& realm);

// Makes sure the process's ticket cache for `principal` holds a ticket-granting ticket that is
// good for a while, getting one with the keytab's key when it does not, and gives the cache's
// name ("MEMORY:..."). 0; ERROR_NO_LOGON_SERVERS when no KDC answers or the KDC refuses the key;
// ERROR_NOT_ENOUGH_MEMORY. Journalled as "krb5_get_init_creds_keytab", with a krb5 code as its
// fault, when a ticket is asked for.
DWORD ServiceTickets(const std::string& principal, std::string& cache);

// Makes the next ServiceTickets get new tickets whatever the caches hold (a test's fresh world).
void ForgetServiceTickets();

// An initiator credential of `principal` over those tickets, for GSSAPI calls made as the
// service, held by its owner. Journalled as "gss_acquire_cred_from".
DWORD ServiceCredential(const std::string& principal, GssCredential& credential);

// A krb5 or GSSAPI minor code of a call made towards the domain's KDC, as the Windows code of the
// same failure: ERROR_NO_LOGON_SERVERS for a KDC that does not answer or refuses, ENOMEM as
// ERROR_NOT_ENOUGH_MEMORY.
DWORD KdcError(long code);

}  // namespace winhost::system::kerberos
