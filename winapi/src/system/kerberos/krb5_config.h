// The packages' kept krb5 context and the keytab it names.
#pragma once

#include <krb5/krb5.h>

#include <string>

namespace winhost::system::kerberos {

// The packages' own krb5 context, made on first use and made again when the
// configuration's files change. Keeping one open also spares GSSAPI: MIT krb5 parses its
// configuration files once for all the krb5 contexts open at a time and frees the parse with the
// last one, and GSSAPI makes and frees a context in most of its calls, a dozen in one sign-on, so
// with none kept open each of them would read and parse krb5.conf again. Null when none can be
// made. A krb5 context serves one thread at a time: requires the world lock.
krb5_context SharedKrb5();
// A number that changes whenever SharedKrb5 makes its context again, as of its last call. Needs
// no lock: each thread's own context is made again when it changes.
unsigned long SharedKrb5Generation();

// The clock skew a krb5 context allows (libdefaults clockskew), 300 seconds when it says none or
// cannot be read.
long SkewOf(krb5_context context);

// The calling thread's own krb5 context, on the configuration SharedKrb5 last read, and the clock
// skew it allows: a call on it that makes no context of its own (krb5_rd_req, the crypto) waits on
// no lock that another thread's sign-on holds. Made again after SharedKrb5 makes its context again,
// freed when the thread ends; a null context when none can be made. Needs no lock.
struct ThreadKrb5 {
  krb5_context context = nullptr;
  long skew = 300;
};
const ThreadKrb5& ThreadKrb5Context();
// The thread's handle of the keytab `name` on that context, kept while the thread asks for the same
// one (a memory keytab's handle keeps it alive); null when it cannot be opened.
krb5_keytab ThreadKeytab(const std::string& name);

// The default keytab's name as krb5 has it now (KRB5_KTNAME, else krb5.conf's
// default_keytab_name, else the built-in), type prefix included; empty when krb5 cannot say. With
// SharedKrb5's context it requires the world lock.
std::string KeytabName(krb5_context context);
// The default keytab's file when it is one; empty otherwise.
std::string KeytabFile(krb5_context context);

}  // namespace winhost::system::kerberos
