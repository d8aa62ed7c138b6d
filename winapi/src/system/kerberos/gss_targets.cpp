// The GSSAPI name of a client's target.
//
// Targets come as Windows names them: "service/host", optionally with ":port" after the host and
// "@REALM" at the end. Without a realm the name is GSSAPI's host-based service "service@host",
// whose realm krb5 finds from the host; with one it is the Kerberos principal itself. A client
// without a target addresses this host's own service: the first principal of the keytab where
// the process can read one, else "host" on this computer.
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

// The first principal of the keytab that a server of this host would accept with, read afresh on
// each call. Requires the world lock (the packages' krb5 context).
std::optional<std::string> KeytabPrincipal() {
  krb5_context context = SharedKrb5();
  if (context == nullptr) return std::nullopt;
  std::optional<std::string> principal;
  krb5_keytab keytab = nullptr;
  krb5_kt_cursor cursor;
  krb5_keytab_entry entry;
  if (krb5_kt_default(context, &keytab) == 0) {
    if (krb5_kt_start_seq_get(context, keytab, &cursor) == 0) {
      if (krb5_kt_next_entry(context, keytab, &entry, &cursor) == 0) {
        char* text = nullptr;
        if (krb5_unparse_name(context, entry.principal, &text) == 0) {
          principal = std::string(text);
          krb5_free_unparsed_name(context, text);
        }
        krb5_free_keytab_entry_contents(context, &entry);
      }
      krb5_kt_end_seq_get(context, keytab, &cursor);
    }
    krb5_kt_close(context, keytab);
  }
  return principal;
}

std::string HostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

std::pair<std::string, gss_OID> GssTargetName(const std::string& target) {
  if (target.empty()) {
    if (auto principal = KeytabPrincipal()) return {*principal, GSS_KRB5_NT_PRINCIPAL_NAME};
    return {"host@" + HostName(), GSS_C_NT_HOSTBASED_SERVICE};
  }
  // "DOMAIN\user", as a credential names its user: the principal in the default realm.
  const size_t backslash = target.find('\\');
  if (backslash != std::string::npos) return {target.substr(backslash + 1), GSS_KRB5_NT_PRINCIPAL_NAME};
  const size_t slash = target.find('/');
  if (slash == std::string::npos) return {target, GSS_KRB5_NT_PRINCIPAL_NAME};
  std::string service = target.substr(0, slash);
  std::string host = target.substr(slash + 1);
  std::string realm;
  if (size_t at = host.find('@'); at != std::string::npos) {
    realm = host.substr(at + 1);
    host.erase(at);
  }
  if (size_t colon = host.find(':'); colon != std::string::npos) host.erase(colon);
  // "service/host/extra" names a principal of more parts; krb5 takes it as it is.
  if (!realm.empty() || host.find('/') != std::string::npos)
    return {service + "/" + host + (realm.empty() ? "" : "@" + realm), GSS_KRB5_NT_PRINCIPAL_NAME};
  return {service + "@" + host, GSS_C_NT_HOSTBASED_SERVICE};
}

}  // namespace winhost::system::kerberos
