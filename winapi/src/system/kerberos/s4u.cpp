// S4U2Self over MIT's GSSAPI (see s4u.h).
#include "system/kerberos/s4u.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cerrno>

#include "system/kerberos/gss_host.h"
#include "system/kerberos/service_key.h"
#include "winhost/host_services.h"

namespace winhost::system::kerberos {
namespace {

// Everything one exchange holds, released whatever way it ends.
struct Exchange {
  GssCredential service;
  GssCredential impersonated;
  GssName user;
  GssName self;
  GssName client;
  GssContext initiator;
  GssContext acceptor;
  GssBuffer token;
};

// Windows' code for a failed step: a client the KDC does not know is no user; anything else the
// KDC or the keytab refused leaves the domain unreachable for this service.
DWORD Failed(const char* function, OM_uint32 major, OM_uint32 minor) {
  Trace(function, major, minor, gss_mech_krb5);
  if (minor == static_cast<OM_uint32>(KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN)) return ERROR_NO_SUCH_USER;
  return KdcError(static_cast<long>(minor));
}

// The service's credential for the user, and the service's own name, which the ticket is for.
DWORD Impersonate(const std::string& service, const std::string& principal, Exchange& exchange) {
  if (DWORD error = ServiceCredential(service, exchange.service); error != ERROR_SUCCESS) return error;
  gss_OID_desc krb5 = *gss_mech_krb5;
  gss_OID_set_desc mechanisms{1, &krb5};
  OM_uint32 minor = 0;
  gss_buffer_desc name{principal.size(), const_cast<char*>(principal.data())};
  OM_uint32 major = Fault("gss_import_name", minor);
  if (major == GSS_S_COMPLETE) major = gss_import_name(&minor, &name, GSS_KRB5_NT_PRINCIPAL_NAME, exchange.user.out());
  if (GSS_ERROR(major)) return Failed("gss_import_name", major, minor);

  major = Fault("gss_acquire_cred_impersonate_name", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_acquire_cred_impersonate_name(&minor, exchange.service.get(), exchange.user.get(), GSS_C_INDEFINITE,
                                              &mechanisms, GSS_C_INITIATE, exchange.impersonated.out(), nullptr,
                                              nullptr);
  if (GSS_ERROR(major)) return Failed("gss_acquire_cred_impersonate_name", major, minor);

  major = Fault("gss_inquire_cred", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_inquire_cred(&minor, exchange.service.get(), exchange.self.out(), nullptr, nullptr, nullptr);
  return GSS_ERROR(major) ? Failed("gss_inquire_cred", major, minor) : static_cast<DWORD>(ERROR_SUCCESS);
}

// The verified logon information of the accepted ticket's PAC.
DWORD LogonInfoOf(const Exchange& exchange, std::vector<uint8_t>& logonInfo) {
  static const char kLogonInfo[] = "urn:mspac:logon-info";
  gss_buffer_desc attribute{sizeof kLogonInfo - 1, const_cast<char*>(kLogonInfo)};
  int authenticated = 0;
  int complete = 0;
  int more = -1;
  GssBuffer value;
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_get_name_attribute", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_get_name_attribute(&minor, exchange.client.get(), &attribute, &authenticated, &complete, value.out(),
                                   nullptr, &more);
  if (major == GSS_S_UNAVAILABLE) return ERROR_NONE_MAPPED;  // a ticket without a PAC
  if (GSS_ERROR(major)) {
    Trace("gss_get_name_attribute", major, minor, gss_mech_krb5);
    return minor == ENOMEM ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : static_cast<DWORD>(ERROR_NONE_MAPPED);
  }
  const auto* bytes = static_cast<const uint8_t*>(value->value);
  if (authenticated != 0 && value->length > 0) logonInfo.assign(bytes, bytes + value->length);
  return logonInfo.empty() ? static_cast<DWORD>(ERROR_NONE_MAPPED) : static_cast<DWORD>(ERROR_SUCCESS);
}

}  // namespace

DWORD S4uLogonInfo(const std::string& service, const std::string& principal, std::vector<uint8_t>& logonInfo) {
  logonInfo.clear();
  Exchange exchange;
  if (DWORD error = Impersonate(service, principal, exchange); error != ERROR_SUCCESS) return error;
  gss_OID_desc krb5 = *gss_mech_krb5;
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_init_sec_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_init_sec_context(&minor, exchange.impersonated.get(), exchange.initiator.in_out(), exchange.self.get(),
                                 &krb5, 0, GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr,
                                 exchange.token.out(), nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_init_sec_context", major, minor);

  // Accepted with the keytab's key, which verifies the PAC's server signature.
  GssBuffer reply;
  gss_buffer_desc token = *exchange.token;
  major = Fault("gss_accept_sec_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_accept_sec_context(&minor, exchange.acceptor.in_out(), GSS_C_NO_CREDENTIAL, &token,
                                   GSS_C_NO_CHANNEL_BINDINGS, exchange.client.out(), nullptr, reply.out(), nullptr,
                                   nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_accept_sec_context", major, minor);
  if (major != GSS_S_COMPLETE) return ERROR_NO_LOGON_SERVERS;  // a Kerberos exchange is one leg
  return LogonInfoOf(exchange, logonInfo);
}

}  // namespace winhost::system::kerberos
