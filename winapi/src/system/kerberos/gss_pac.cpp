// The accepted client's PAC, through MIT's name attributes. MIT's krb5 mechanism verifies a
// ticket's PAC when it accepts the ticket: the server's checksum with the service's own key, and
// the client's name and logon time against the ticket. It reports the PAC's buffers as attributes
// of the client's name, "authenticated" only when that verification held; a PAC that is not
// authenticated is anybody's word and is never used.
#include <gssapi/gssapi_ext.h>

#include "system/kerberos/gss_host.h"

namespace winhost::system::gss {

std::shared_ptr<const pac::LogonInfo> VerifiedLogonInfo(gss_name_t name, gss_OID mechanism) {
  static const char kLogonInfo[] = "urn:mspac:logon-info";
  if (name == GSS_C_NO_NAME) return nullptr;
  gss_buffer_desc attribute = {sizeof kLogonInfo - 1, const_cast<char*>(kLogonInfo)};
  int authenticated = 0;
  int complete = 0;
  int more = -1;
  GssBuffer value;
  GssBuffer display;
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_get_name_attribute", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_get_name_attribute(&minor, name, &attribute, &authenticated, &complete, value.out(), display.out(),
                                   &more);
  if (GSS_ERROR(major)) {
    // A ticket without a PAC, or with one that has no logon information, is no failure.
    if (GSS_ROUTINE_ERROR(major) != GSS_S_UNAVAILABLE) Trace("gss_get_name_attribute", major, minor, mechanism);
    return nullptr;
  }
  std::shared_ptr<const pac::LogonInfo> logon;
  if (!authenticated) {
    TraceRefusal("the PAC's logon information", "its signature was not verified");
  } else {
    const char* failure = "";
    std::optional<pac::LogonInfo> decoded =
        pac::DecodeLogonInfo(static_cast<const uint8_t*>(value->value), value->length, &failure);
    if (decoded) {
      logon = std::make_shared<const pac::LogonInfo>(std::move(*decoded));
    } else {
      TraceRefusal("the PAC's logon information", failure);
    }
  }
  return logon;
}

std::optional<std::u16string> PacClientName(const pac::LogonInfo& logon, const std::string& realm,
                                            const RealmDomains& realms) {
  return PacWindowsName(logon.logonDomainName, logon.effectiveName, realm, realms);
}

std::string RealmOf(const std::string& principal) {
  // The realm follows the last '@' that no backslash escapes.
  size_t at = std::string::npos;
  for (size_t i = 0; i < principal.size(); ++i) {
    if (principal[i] == '\\') {
      ++i;
    } else if (principal[i] == '@') {
      at = i;
    }
  }
  return at == std::string::npos ? std::string() : principal.substr(at + 1);
}

}  // namespace winhost::system::gss
