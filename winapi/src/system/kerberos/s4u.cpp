// S4U2Self over MIT's GSSAPI (see s4u.h).
#include "system/kerberos/s4u.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cerrno>

#include "system/kerberos/gss_host.h"
#include "system/kerberos/service_key.h"
#include "winhost/host_services.h"

namespace winhost::system {
namespace {

// Everything one exchange holds, released whatever way it ends.
struct Exchange {
  gss_cred_id_t service = GSS_C_NO_CREDENTIAL;
  gss_cred_id_t impersonated = GSS_C_NO_CREDENTIAL;
  gss_name_t user = GSS_C_NO_NAME;
  gss_name_t self = GSS_C_NO_NAME;
  gss_name_t client = GSS_C_NO_NAME;
  gss_ctx_id_t initiator = GSS_C_NO_CONTEXT;
  gss_ctx_id_t acceptor = GSS_C_NO_CONTEXT;
  gss_buffer_desc token{0, nullptr};

  ~Exchange() {
    OM_uint32 minor = 0;
    gss_release_buffer(&minor, &token);
    gss_delete_sec_context(&minor, &acceptor, GSS_C_NO_BUFFER);
    gss_delete_sec_context(&minor, &initiator, GSS_C_NO_BUFFER);
    gss_release_name(&minor, &client);
    gss_release_name(&minor, &self);
    gss_release_name(&minor, &user);
    gss_release_cred(&minor, &impersonated);
    gss_release_cred(&minor, &service);
  }
};

// Windows' code for a failed step: a client the KDC does not know is no user; anything else the
// KDC or the keytab refused leaves the domain unreachable for this service.
DWORD Failed(const char* function, OM_uint32 major, OM_uint32 minor) {
  gss::Trace(function, major, minor, gss_mech_krb5);
  if (minor == static_cast<OM_uint32>(KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN)) return ERROR_NO_SUCH_USER;
  return KdcError(static_cast<long>(minor));
}

}  // namespace

DWORD S4uLogonInfo(const std::string& service, const std::string& principal, std::vector<uint8_t>& logonInfo) {
  logonInfo.clear();
  Exchange exchange;
  if (DWORD error = ServiceCredential(service, exchange.service); error != ERROR_SUCCESS) return error;
  gss_OID_desc krb5 = *gss_mech_krb5;
  gss_OID_set_desc mechanisms{1, &krb5};
  OM_uint32 minor = 0;

  gss_buffer_desc name{principal.size(), const_cast<char*>(principal.data())};
  OM_uint32 major = gss::Fault("gss_import_name", minor);
  if (major == GSS_S_COMPLETE) major = gss_import_name(&minor, &name, GSS_KRB5_NT_PRINCIPAL_NAME, &exchange.user);
  if (GSS_ERROR(major)) return Failed("gss_import_name", major, minor);

  major = gss::Fault("gss_acquire_cred_impersonate_name", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_acquire_cred_impersonate_name(&minor, exchange.service, exchange.user, GSS_C_INDEFINITE, &mechanisms,
                                              GSS_C_INITIATE, &exchange.impersonated, nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_acquire_cred_impersonate_name", major, minor);

  // The ticket is for the service itself: its own name is the target.
  major = gss::Fault("gss_inquire_cred", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_inquire_cred(&minor, exchange.service, &exchange.self, nullptr, nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_inquire_cred", major, minor);

  major = gss::Fault("gss_init_sec_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_init_sec_context(&minor, exchange.impersonated, &exchange.initiator, exchange.self, &krb5, 0,
                                 GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr,
                                 &exchange.token, nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_init_sec_context", major, minor);

  // Accepted with the keytab's key, which verifies the PAC's server signature.
  gss_buffer_desc reply{0, nullptr};
  major = gss::Fault("gss_accept_sec_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_accept_sec_context(&minor, &exchange.acceptor, GSS_C_NO_CREDENTIAL, &exchange.token,
                                   GSS_C_NO_CHANNEL_BINDINGS, &exchange.client, nullptr, &reply, nullptr, nullptr,
                                   nullptr);
  OM_uint32 ignored = 0;
  gss_release_buffer(&ignored, &reply);
  if (GSS_ERROR(major)) return Failed("gss_accept_sec_context", major, minor);
  if (major != GSS_S_COMPLETE) return ERROR_NO_LOGON_SERVERS;  // a Kerberos exchange is one leg

  static const char kLogonInfo[] = "urn:mspac:logon-info";
  gss_buffer_desc attribute{sizeof kLogonInfo - 1, const_cast<char*>(kLogonInfo)};
  int authenticated = 0;
  int complete = 0;
  int more = -1;
  gss_buffer_desc value{0, nullptr};
  major = gss::Fault("gss_get_name_attribute", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_get_name_attribute(&minor, exchange.client, &attribute, &authenticated, &complete, &value, nullptr,
                                   &more);
  if (major == GSS_S_UNAVAILABLE) return ERROR_NONE_MAPPED;  // a ticket without a PAC
  if (GSS_ERROR(major)) {
    gss::Trace("gss_get_name_attribute", major, minor, gss_mech_krb5);
    return minor == ENOMEM ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : static_cast<DWORD>(ERROR_NONE_MAPPED);
  }
  if (authenticated != 0 && value.length > 0)
    logonInfo.assign(static_cast<const uint8_t*>(value.value), static_cast<const uint8_t*>(value.value) + value.length);
  gss_release_buffer(&ignored, &value);
  return logonInfo.empty() ? static_cast<DWORD>(ERROR_NONE_MAPPED) : static_cast<DWORD>(ERROR_SUCCESS);
}

}  // namespace winhost::system
