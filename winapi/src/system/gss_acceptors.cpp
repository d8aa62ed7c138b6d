// Who a server of the system world lets in: tickets for the service principals it is meant to
// serve only, and clients that have a Windows name.
//
// A keytab often holds more than one service's keys (a shared /etc/krb5.keytab has host/ for ssh,
// cifs/, nfs/ ...), and GSSAPI accepts a ticket for any of them. Most users of the library are web
// servers, so a server whose keytab holds HTTP/ keys accepts only tickets for those; a setting
// names others, or all. The ticket's principal is checked once the context is established (the
// target name GSSAPI reports), before anything of the client is given out.
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "system/gss_host.h"
#include "system/principals.h"

namespace winhost::system::gss {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The principal a setting's item names, as krb5 displays it: the default realm is added to one
// without a realm. None for text that is no principal.
std::optional<std::string> Principal(krb5_context context, const std::string& text) {
  krb5_principal principal = nullptr;
  if (krb5_parse_name(context, text.c_str(), &principal) != 0) return std::nullopt;
  char* shown = nullptr;
  std::optional<std::string> result;
  if (krb5_unparse_name(context, principal, &shown) == 0) {
    result = std::string(shown);
    krb5_free_unparsed_name(context, shown);
  }
  krb5_free_principal(context, principal);
  return result;
}

// Whether the default keytab holds a key of the service class `service`.
bool KeytabHasService(krb5_context context, const std::string& service) {
  krb5_keytab keytab = nullptr;
  if (krb5_kt_default(context, &keytab) != 0) return false;
  bool found = false;
  krb5_kt_cursor cursor;
  if (krb5_kt_start_seq_get(context, keytab, &cursor) == 0) {
    krb5_keytab_entry entry;
    while (!found && krb5_kt_next_entry(context, keytab, &entry, &cursor) == 0) {
      const krb5_principal_data* principal = entry.principal;
      found = principal->length >= 2 && principal->data[0].length == service.size() &&
              std::equal(service.begin(), service.end(), principal->data[0].data);
      krb5_free_keytab_entry_contents(context, &entry);
    }
    krb5_kt_end_seq_get(context, keytab, &cursor);
  }
  krb5_kt_close(context, keytab);
  return found;
}

bool Accepts(const AcceptorPolicy& policy, const std::string& target) {
  switch (policy.kind) {
    case AcceptorPolicy::Any: return true;
    case AcceptorPolicy::Service: return target.rfind(policy.service + "/", 0) == 0;
    case AcceptorPolicy::Listed:
      return std::find(policy.principals.begin(), policy.principals.end(), target) != policy.principals.end();
  }
  return false;
}

bool IsKerberos(gss_OID mechanism) {
  return mechanism != GSS_C_NO_OID && (gss_oid_equal(mechanism, gss_mech_krb5) || gss_oid_equal(mechanism, gss_mech_krb5_wrong));
}

}  // namespace

AcceptorPolicy AcceptorPolicyNow() {
  AcceptorPolicy policy;
  krb5_context context = nullptr;
  const char* setting = std::getenv("QUENTREL_ACCEPT_PRINCIPALS");
  const std::string listed = setting != nullptr ? Trim(setting) : std::string();
  if (listed == "*") return policy;
  if (krb5_init_context(&context) != 0) {
    // Nothing can be read, so nothing is let in but what a setting would have named: no ticket.
    policy.kind = AcceptorPolicy::Listed;
    return policy;
  }
  if (!listed.empty()) {
    policy.kind = AcceptorPolicy::Listed;
    std::stringstream items(listed);
    std::string item;
    while (std::getline(items, item, ',')) {
      if (Trim(item).empty()) continue;
      if (std::optional<std::string> principal = Principal(context, Trim(item))) {
        policy.principals.push_back(*principal);
      } else {
        TraceRefusal("QUENTREL_ACCEPT_PRINCIPALS: not a principal, left out: " + Trim(item));
      }
    }
  } else if (KeytabHasService(context, "HTTP")) {
    policy.kind = AcceptorPolicy::Service;
    policy.service = "HTTP";
  }
  krb5_free_context(context);
  return policy;
}

SECURITY_STATUS Admit(const Credential& credential, Context& context, gss_name_t peer, gss_OID actual) {
  const bool kerberos = IsKerberos(actual) || (actual == GSS_C_NO_OID && IsKerberos(credential.mechanism->oid));
  if (kerberos && credential.acceptors.kind != AcceptorPolicy::Any) {
    OM_uint32 minor = 0;
    gss_name_t target = GSS_C_NO_NAME;
    OM_uint32 major = Fault("gss_inquire_context", minor);
    if (major == GSS_S_COMPLETE)
      major = gss_inquire_context(&minor, context.ctx, nullptr, &target, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (GSS_ERROR(major)) return Failed("gss_inquire_context", major, minor, credential.mechanism->oid, true);
    const std::string service = NameText(target);
    gss_release_name(&minor, &target);
    if (!Accepts(credential.acceptors, service)) {
      TraceRefusal("a ticket for " + (service.empty() ? std::string("an unnamed service") : service) +
                   " refused: not a service principal this server accepts (QUENTREL_ACCEPT_PRINCIPALS)");
      return SEC_E_WRONG_PRINCIPAL;
    }
  }
  const std::string client = NameText(peer);
  const std::optional<std::u16string> name = WindowsName(client, kerberos ? gss_mech_krb5 : actual);
  if (!name) {
    TraceRefusal("the client " + client + " refused: its name has no Windows form");
    return SEC_E_LOGON_DENIED;
  }
  context.clientName = *name;
  context.localAccount = LocalAccountOf(peer, actual);
  return SEC_E_OK;
}

}  // namespace winhost::system::gss
