// The accepted client's PAC, through MIT's name attributes. MIT's krb5 mechanism verifies a
// ticket's PAC when it accepts the ticket: the server's checksum with the service's own key, and
// the client's name and logon time against the ticket. It reports the PAC's buffers as attributes
// of the client's name, "authenticated" only when that verification held; a PAC that is not
// authenticated is anybody's word and is never used.
#include <gssapi/gssapi_ext.h>

#include <cstring>

#include "system/host/trace.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::gss {

namespace {

// One urn:mspac: attribute of the client's name: its bytes when MIT verified the PAC's server
// signature, none when the PAC (or that buffer) is not there or was not verified.
std::optional<std::vector<uint8_t>> VerifiedAttribute(gss_name_t name, const char* urn, gss_OID mechanism) {
  gss_buffer_desc attribute = {std::strlen(urn), const_cast<char*>(urn)};
  int authenticated = 0;
  int complete = 0;
  int more = -1;
  gss_buffer_desc value = GSS_C_EMPTY_BUFFER;
  gss_buffer_desc display = GSS_C_EMPTY_BUFFER;
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_get_name_attribute", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_get_name_attribute(&minor, name, &attribute, &authenticated, &complete, &value, &display, &more);
  if (GSS_ERROR(major)) {
    // A ticket without a PAC, or a PAC without the buffer, is no failure.
    if (GSS_ROUTINE_ERROR(major) != GSS_S_UNAVAILABLE) Trace("gss_get_name_attribute", major, minor, mechanism);
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> bytes;
  if (!authenticated) {
    TraceRefusal(urn, "the PAC's signature was not verified");
  } else {
    const auto* data = static_cast<const uint8_t*>(value.value);
    bytes.emplace(data, data + value.length);
  }
  OM_uint32 ignored = 0;
  gss_release_buffer(&ignored, &value);
  gss_release_buffer(&ignored, &display);
  return bytes;
}

}  // namespace

std::shared_ptr<const pac::LogonInfo> VerifiedLogonInfo(gss_name_t name, gss_OID mechanism) {
  if (name == GSS_C_NO_NAME) return nullptr;
  // A minimal PAC (an MIT KDC's since 1.20) has no logon information: the client's token then
  // comes from the account its principal maps to, as for a realm that issues no PAC.
  const std::optional<std::vector<uint8_t>> logonBytes = VerifiedAttribute(name, "urn:mspac:logon-info", mechanism);
  if (!logonBytes) return nullptr;
  const char* failure = "";
  std::optional<pac::LogonInfo> decoded = pac::DecodeLogonInfo(logonBytes->data(), logonBytes->size(), &failure);
  if (!decoded) {
    TraceRefusal("the PAC's logon information", failure);
    return nullptr;
  }
  // The whole PAC, for what the logon information alone does not say: who the ticket was issued
  // to (the requestor) and which signatures it carries.
  const std::optional<std::vector<uint8_t>> whole = VerifiedAttribute(name, "urn:mspac:", mechanism);
  if (whole) {
    std::optional<pac::PacBuffers> buffers = pac::DecodePacBuffers(whole->data(), whole->size(), &failure);
    if (!buffers) {
      TraceRefusal("the PAC", failure);
      return nullptr;
    }
    if (!pac::RequestorMatches(*buffers, *decoded)) {
      TraceRefusal("the PAC", "its requestor is another account than its logon information's user");
      return nullptr;
    }
    if (system::TraceOn()) system::Trace("the client's PAC: " + pac::SignaturesText(*buffers));
  }
  return std::make_shared<const pac::LogonInfo>(std::move(*decoded));
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
