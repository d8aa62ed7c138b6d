// The keys a server's policy lets GSSAPI use. A ticket's service principal used to be checked after
// GSSAPI had accepted it (gss_inquire_context, then the name displayed and released: three krb5
// contexts of GSSAPI's a sign-on, a fifth of the library's own cost). Instead the shared acceptor
// credential is acquired on a memory keytab that holds only the keys of the principals the policy
// accepts, so that GSSAPI finds no key for any other ticket and the check is made by the
// decryption itself. Reading that keytab also spares each acceptance the keytab file's open, lock
// and parse.
//
// The memory keytab is made again with each kept credential, i.e. whenever the keytab file
// changes (see gss_kept_credentials.cpp), and goes with the last credential that holds it.
#include <krb5/krb5.h>

#include <atomic>
#include <string>
#include <vector>

#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

// Copies the entries of `from` whose principal `policy` accepts into `to`, in the same order: krb5
// tries the keys of a ticket's encryption type one after another, so the order is what a ticket's
// decryption costs. The number copied, or -1 when the keytab cannot be read through.
int CopyAllowed(krb5_context context, krb5_keytab from, krb5_keytab to, const AcceptorPolicy& policy) {
  krb5_kt_cursor cursor;
  if (krb5_kt_start_seq_get(context, from, &cursor) != 0) return -1;
  std::vector<krb5_keytab_entry> allowed;
  bool failed = false;
  krb5_keytab_entry entry;
  while (!failed && krb5_kt_next_entry(context, from, &entry, &cursor) == 0) {
    char* text = nullptr;
    failed = krb5_unparse_name(context, entry.principal, &text) != 0;
    const bool accepted = !failed && Accepts(policy, text);
    if (text != nullptr) krb5_free_unparsed_name(context, text);
    if (accepted) {
      allowed.push_back(entry);
    } else {
      krb5_free_keytab_entry_contents(context, &entry);
    }
  }
  krb5_kt_end_seq_get(context, from, &cursor);
  // A memory keytab puts each entry it is given first.
  for (auto it = allowed.rbegin(); it != allowed.rend(); ++it) {
    failed = failed || krb5_kt_add_entry(context, to, &*it) != 0;
    krb5_free_keytab_entry_contents(context, &*it);
  }
  return failed ? -1 : static_cast<int>(allowed.size());
}

}  // namespace

AllowedKeys::AllowedKeys(krb5_context context, const AcceptorPolicy& policy) {
  if (context == nullptr || policy.kind == AcceptorPolicy::Any) return;
  const std::string file = KeytabName(context);
  krb5_keytab from = nullptr;
  if (file.empty() || krb5_kt_resolve(context, file.c_str(), &from) != 0) return;
  static std::atomic<unsigned long> made{0};
  const std::string name = "MEMORY:acceptor-keys-" + std::to_string(++made);
  krb5_keytab to = nullptr;
  if (krb5_kt_resolve(context, name.c_str(), &to) == 0) {
    // A policy none of whose principals has a key is left to the check after acceptance, which
    // refuses each ticket in its own words.
    if (CopyAllowed(context, from, to, policy) > 0) {
      context_ = context;
      keytab_ = to;
      name_ = name;
    } else {
      krb5_kt_close(context, to);
    }
  }
  krb5_kt_close(context, from);
}

AllowedKeys::~AllowedKeys() {
  // The credential acquired on the keytab holds it open from then on; a memory keytab goes with
  // its last handle.
  if (keytab_ != nullptr) krb5_kt_close(context_, keytab_);
}

}  // namespace winhost::system::kerberos
