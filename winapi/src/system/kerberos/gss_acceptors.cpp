// Who a server of the system world lets in: tickets for the service principals it is meant to
// serve only, and clients that have a Windows name.
//
// A keytab often holds more than one service's keys (a shared /etc/krb5.keytab has host/ for ssh,
// cifs/, nfs/ ...), and GSSAPI accepts a ticket for any of them. Most users of the library are web
// servers, so a server whose keytab holds HTTP/ keys accepts only tickets for those; a setting
// names others, or all. GSSAPI checks the ticket's principal itself where the server's credential
// holds the keys of the accepted principals alone (gss_acceptor_keys.cpp); else it is checked once
// the context is established (the target name GSSAPI reports), before anything of the client is
// given out.
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "system/host/settings.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/krb5_config.h"
#include "system/kerberos/principals.h"

namespace winhost::system::kerberos {
namespace {

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



// Whether the default keytab holds a key of the service class `service`. Reading a keytab costs as
// much as a good part of an authentication, so the answer for a keytab file is kept until the
// file changes. Requires the world lock.
bool KeytabHasService(krb5_context context, const std::string& service) {
  const std::string name = KeytabName(context);
  if (name.empty()) return false;
  const std::string path = KeytabFile(context);
  struct stat file = {};
  const bool known = !path.empty() && stat(path.c_str(), &file) == 0;
  struct Seen {
    std::string name;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    bool found;
  };
  static std::optional<Seen> seen;
  if (known && seen && seen->name == name && seen->device == file.st_dev && seen->inode == file.st_ino &&
      seen->size == file.st_size && seen->modified.tv_sec == file.st_mtim.tv_sec &&
      seen->modified.tv_nsec == file.st_mtim.tv_nsec)
    return seen->found;

  krb5_keytab keytab = nullptr;
  if (krb5_kt_resolve(context, name.c_str(), &keytab) != 0) return false;
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
  if (known) seen = Seen{name, file.st_dev, file.st_ino, file.st_size, file.st_mtim, found};
  return found;
}

// The local account krb5's auth_to_local rules give the principal shown as `principal`, with the
// credential's context; none when they give none or fail (the client then has no account).
// Journalled as krb5_aname_to_localname, whose fault code is a krb5 error code.
std::optional<std::string> LocalAccountOf(krb5_context context, const std::string& principal) {
  krb5_error_code error = 0;
  std::string local;
  if (auto fault = Enter(Call{"krb5_aname_to_localname", {{"principal", principal}}})) {
    error = static_cast<krb5_error_code>(*fault);
  } else if (context == nullptr) {
    error = KRB5_CONFIG_CANTOPEN;
  } else {
    krb5_principal parsed = nullptr;
    error = krb5_parse_name(context, principal.c_str(), &parsed);
    if (error == 0) {
      char buffer[1025] = {};
      error = krb5_aname_to_localname(context, parsed, static_cast<int>(sizeof buffer - 1), buffer);
      if (error == 0) local = buffer;
      krb5_free_principal(context, parsed);
    }
  }
  if (error != 0 || local.empty()) return std::nullopt;
  return local;
}

// The client of an established context, named `client` under `mechanism`, admitted when it has a
// Windows name; a verified PAC (of `logonOf`) names it where the name it gives may stand.
SECURITY_STATUS AdmitClient(const Credential& credential, Context& context, const std::string& client,
                            gss_OID mechanism,
                            const std::function<std::shared_ptr<const LogonInfo>(std::optional<UpnDnsInfo>*)>& logonOf) {
  std::optional<std::u16string> name = WindowsName(client, mechanism, credential.realms);
  if (!name) {
    TraceRefusal(("the client " + client).c_str(), "its name has no Windows form");
    return SEC_E_LOGON_DENIED;
  }
  std::optional<UpnDnsInfo> upn;
  context.logon = logonOf(&upn);
  if (context.logon) {
    if (std::optional<std::u16string> pacName = PacClientName(*context.logon, upn, client, credential.realms)) {
      name = pacName;
    } else {
      context.logon = nullptr;
    }
  }
  context.clientPrincipal = client;
  context.clientName = *name;
  return SEC_E_OK;
}

}  // namespace

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

void PrepareAcceptor(Credential& credential) {
  AcceptorPolicy& policy = credential.acceptors;
  policy = AcceptorPolicy{};
  krb5_context context = SharedKrb5();
  std::optional<std::string> defaultRealm;
  char* realm = nullptr;
  if (context != nullptr && krb5_get_default_realm(context, &realm) == 0 && realm != nullptr) {
    if (*realm != 0) defaultRealm = realm;
    krb5_free_default_realm(context, realm);
  }
  credential.realms = RealmDomainsOf(defaultRealm);

  const std::vector<std::string> listed = host::ListSetting(host::SettingId::kAcceptPrincipals);
  if (listed.size() == 1 && listed[0] == "*") return;
  if (context == nullptr) {
    // Nothing can be read, so nothing is let in but what a setting would have named: no ticket.
    policy.kind = AcceptorPolicy::Listed;
    return;
  }
  if (!listed.empty()) {
    policy.kind = AcceptorPolicy::Listed;
    for (const std::string& item : listed) {
      if (std::optional<std::string> principal = Principal(context, item)) {
        policy.principals.push_back(*principal);
      } else {
        TraceRefusal(("the QUENTREL_ACCEPT_PRINCIPALS entry " + item).c_str(), "not a principal");
      }
    }
  } else if (KeytabHasService(context, "HTTP")) {
    policy.kind = AcceptorPolicy::Service;
    policy.service = "HTTP";
  }
}

SECURITY_STATUS Admit(const Credential& credential, Context& context, gss_name_t peer, gss_OID actual,
                      bool keysChecked) {
  const bool kerberos = IsKerberos(actual) || (actual == GSS_C_NO_OID && IsKerberos(credential.mechanism->oid));
  if (kerberos && credential.acceptors.kind != AcceptorPolicy::Any && !keysChecked) {
    OM_uint32 minor = 0;
    GssName target;
    OM_uint32 major = Fault("gss_inquire_context", minor);
    if (major == GSS_S_COMPLETE)
      major = gss_inquire_context(&minor, context.ctx.get(), nullptr, target.out(), nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
    if (GSS_ERROR(major)) return Failed("gss_inquire_context", major, minor, credential.mechanism->oid, true);
    const std::string service = NameText(target.get());
    if (!Accepts(credential.acceptors, service)) {
      TraceRefusal(("a ticket for " + (service.empty() ? std::string("an unnamed service") : service)).c_str(),
                   "not a service principal this server accepts (QUENTREL_ACCEPT_PRINCIPALS)");
      return SEC_E_WRONG_PRINCIPAL;
    }
  }
  return AdmitClient(credential, context, NameText(peer), kerberos ? gss_mech_krb5 : actual,
                     [&](std::optional<UpnDnsInfo>* upn) {
                       return kerberos ? VerifiedLogonInfo(peer, actual, upn) : nullptr;
                     });
}

SECURITY_STATUS AdmitDirect(const Credential& credential, Context& context, const DirectAccepted& accepted) {
  return AdmitClient(credential, context, accepted.client, gss_mech_krb5, [&](std::optional<UpnDnsInfo>* upn) {
    return accepted.pac ? LogonInfoOfPac(*accepted.pac, upn) : nullptr;
  });
}

std::optional<std::string> ClientAccount(Context& context) {
  if (context.localAccountKnown) return context.localAccount;
  // A Kerberos client's account with the servers' krb5 context (what gss_localname does with a new
  // one, which would read the configuration again); another mechanism's through GSSAPI.
  std::optional<std::string> local = IsKerberos(context.actual) ? LocalAccountOf(SharedKrb5(), context.clientPrincipal)
                                                                : LocalAccountOf(context.peer.get(), context.actual);
  // NSS takes names up to their first NUL: a name with one would be another account's.
  if (local && local->find('\0') != std::string::npos) local.reset();
  context.localAccount = local;
  context.localAccountKnown = true;
  return local;
}

}  // namespace winhost::system::kerberos
