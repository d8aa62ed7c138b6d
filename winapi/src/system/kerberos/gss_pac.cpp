// The accepted client's PAC, through MIT's name attributes. MIT's krb5 mechanism verifies a
// ticket's PAC when it accepts the ticket: the server's checksum with the service's own key, and
// the client's name and logon time against the ticket. It reports the PAC's buffers as attributes
// of the client's name, "authenticated" only when that verification held; a PAC that is not
// authenticated is anybody's word and is never used. A ticket the library accepted itself brings
// its PAC verified the same way (direct_acceptor.cpp), and is decoded here alike.
#include <gssapi/gssapi_ext.h>

#include <cstring>

#include "system/host/trace.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/pac_names.h"

namespace winhost::system::kerberos {
namespace {

enum class Attribute { kAbsent, kPresent, kRefused };

// The bytes of a PAC attribute of the client's name: absent when the ticket has no PAC (or the PAC
// no such buffer); refused when GSSAPI did not verify it or could not say.
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

// One buffer of a PAC whose table decoded; none when the PAC has no buffer of that type.
std::optional<std::vector<uint8_t>> BufferOf(const std::vector<uint8_t>& pac, const PacBuffers& buffers,
                                             uint32_t type) {
  const std::optional<PacBuffers::Place> place = buffers.Find(type);
  if (!place) return std::nullopt;
  const auto at = pac.begin() + static_cast<std::ptrdiff_t>(place->offset);
  return std::vector<uint8_t>(at, at + static_cast<std::ptrdiff_t>(place->length));
}

// The PAC's UPN_DNS_INFO into `upn`, none when it has none; false when it has one that does not
// decode, which the client's names must then not rest on.
bool ReadUpn(const std::vector<uint8_t>& pac, const PacBuffers& buffers, std::optional<UpnDnsInfo>& upn) {
  upn.reset();
  const std::optional<std::vector<uint8_t>> bytes = BufferOf(pac, buffers, kUpnDnsInfoBuffer);
  if (!bytes) return true;
  const char* failure = "";
  upn = DecodeUpnDnsInfo(bytes->data(), bytes->size(), &failure);
  if (!upn) TraceRefusal("the PAC's UPN and DNS information", failure);
  return upn.has_value();
}

}  // namespace

// The whole PAC is read once: GSSAPI answers each attribute through a krb5 context of its own, and
// the whole tells what its logon information alone does not (who the ticket was issued to, which
// signatures it carries) besides that logon information and the client's names. GSSAPI verified
// the PAC as one, so "authenticated" holds of every buffer in it alike.
std::shared_ptr<const LogonInfo> VerifiedLogonInfo(gss_name_t name, gss_OID mechanism,
                                                        std::optional<UpnDnsInfo>* upn) {
  if (name == GSS_C_NO_NAME) return nullptr;
  std::vector<uint8_t> pac;
  if (VerifiedAttribute(name, mechanism, "urn:mspac:", pac) != Attribute::kPresent) return nullptr;
  return LogonInfoOfPac(pac, upn);
}

std::shared_ptr<const LogonInfo> LogonInfoOfPac(const std::vector<uint8_t>& pac, std::optional<UpnDnsInfo>* upn) {
  const char* failure = "";
  const std::optional<PacBuffers> buffers = DecodePacBuffers(pac.data(), pac.size(), &failure);
  if (!buffers) {
    TraceRefusal("the PAC", failure);
    return nullptr;
  }
  // A minimal PAC without logon information (an MIT KDC's since 1.20) is no failure: the client's
  // token then comes from the account its principal maps to.
  const std::optional<std::vector<uint8_t>> logonBytes = BufferOf(pac, *buffers, kLogonInfoBuffer);
  if (!logonBytes) return nullptr;
  std::optional<LogonInfo> decoded = DecodeLogonInfo(logonBytes->data(), logonBytes->size(), &failure);
  if (!decoded) {
    TraceRefusal("the PAC's logon information", failure);
    return nullptr;
  }
  if (!RequestorMatches(*buffers, *decoded)) {
    TraceRefusal("the PAC", "its requestor is another account than its logon information's user");
    return nullptr;
  }
  if (host::TraceOn()) host::Trace("the client's PAC: " + SignaturesText(*buffers));
  // The client's names once more, which a PAC that has them must tell alike.
  if (upn != nullptr && !ReadUpn(pac, *buffers, *upn)) return nullptr;
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
