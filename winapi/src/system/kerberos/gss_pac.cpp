// The accepted client's PAC, through MIT's name attributes. MIT's krb5 mechanism verifies a
// ticket's PAC when it accepts the ticket: the server's checksum with the service's own key, and
// the client's name and logon time against the ticket. It reports the PAC's buffers as attributes
// of the client's name, "authenticated" only when that verification held; a PAC that is not
// authenticated is anybody's word and is never used.
#include <gssapi/gssapi_ext.h>

#include <cstring>

#include "system/host/trace.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/pac_names.h"

namespace winhost::system::kerberos {
namespace {

enum class Attribute { kAbsent, kPresent, kRefused };

// The bytes of one of the PAC's buffers: absent when the ticket has no PAC or the PAC no such
// buffer; refused when GSSAPI did not verify it or could not say.
Attribute VerifiedAttribute(gss_name_t name, gss_OID mechanism, const char* urn, std::vector<uint8_t>& bytes) {
  gss_buffer_desc attribute = {std::strlen(urn), const_cast<char*>(urn)};
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
    if (GSS_ROUTINE_ERROR(major) == GSS_S_UNAVAILABLE) return Attribute::kAbsent;
    Trace("gss_get_name_attribute", major, minor, mechanism);
    return Attribute::kRefused;
  }
  const auto* at = static_cast<const uint8_t*>(value->value);
  bytes.assign(at, at + value->length);
  if (!authenticated) {
    TraceRefusal(urn, "its signature was not verified");
    return Attribute::kRefused;
  }
  return Attribute::kPresent;
}

// The whole PAC, for what the logon information alone does not say: who the ticket was issued to
// (the requestor, which must be the logon information's user) and which signatures it carries.
bool WholePacAgrees(gss_name_t name, gss_OID mechanism, const LogonInfo& logon) {
  std::vector<uint8_t> bytes;
  const Attribute found = VerifiedAttribute(name, mechanism, "urn:mspac:", bytes);
  if (found != Attribute::kPresent) return found == Attribute::kAbsent;
  const char* failure = "";
  const std::optional<PacBuffers> buffers = DecodePacBuffers(bytes.data(), bytes.size(), &failure);
  if (!buffers) {
    TraceRefusal("the PAC", failure);
    return false;
  }
  if (!RequestorMatches(*buffers, logon)) {
    TraceRefusal("the PAC", "its requestor is another account than its logon information's user");
    return false;
  }
  if (host::TraceOn()) host::Trace("the client's PAC: " + SignaturesText(*buffers));
  return true;
}

}  // namespace

std::shared_ptr<const LogonInfo> VerifiedLogonInfo(gss_name_t name, gss_OID mechanism,
                                                        std::optional<UpnDnsInfo>* upn) {
  if (name == GSS_C_NO_NAME) return nullptr;
  std::vector<uint8_t> bytes;
  // A ticket without a PAC, or with a minimal one that has no logon information (an MIT KDC's since
  // 1.20), is no failure: the client's token then comes from the account its principal maps to.
  if (VerifiedAttribute(name, mechanism, "urn:mspac:logon-info", bytes) != Attribute::kPresent) return nullptr;
  const char* failure = "";
  std::optional<LogonInfo> decoded = DecodeLogonInfo(bytes.data(), bytes.size(), &failure);
  if (!decoded) {
    TraceRefusal("the PAC's logon information", failure);
    return nullptr;
  }
  if (!WholePacAgrees(name, mechanism, *decoded)) return nullptr;
  if (upn != nullptr) {
    upn->reset();
    // The client's names once more, which a PAC that has them must tell alike.
    const Attribute found = VerifiedAttribute(name, mechanism, "urn:mspac:upn-dns-info", bytes);
    if (found == Attribute::kRefused) return nullptr;
    if (found == Attribute::kPresent) {
      *upn = DecodeUpnDnsInfo(bytes.data(), bytes.size(), &failure);
      if (!*upn) {
        TraceRefusal("the PAC's UPN and DNS information", failure);
        return nullptr;
      }
    }
  }
  return std::make_shared<const LogonInfo>(std::move(*decoded));
}

std::optional<std::u16string> PacClientName(const LogonInfo& logon, const std::optional<UpnDnsInfo>& upn,
                                            const std::string& principal, const RealmDomains& realms) {
  if (const char* refusal = PacNameRefusal(logon, upn, principal)) {
    TraceRefusal("the PAC's logon information", refusal);
    return std::nullopt;
  }
  std::optional<std::u16string> name = PacWindowsName(logon.logonDomainName, logon.effectiveName, RealmOf(principal), realms);
  if (!name) TraceRefusal("the PAC's logon information", "its domain name is no NetBIOS name, looks local or is another realm's");
  return name;
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

}  // namespace winhost::system::kerberos
