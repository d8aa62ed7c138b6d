// Whether a verified PAC names its ticket's client (see pac_names.h).
#include "system/kerberos/pac_names.h"

#include "system/host/host.h"

namespace winhost::system::kerberos {

const char* PacNameRefusal(const LogonInfo& logon, const std::optional<UpnDnsInfo>& upn,
                           const std::string& principal) {
  const size_t at = principal.rfind('@');
  if (at == std::string::npos) return "the ticket's client has no realm";
  const std::u16string name = WideOf(principal.substr(0, at));
  const std::u16string realm = WideOf(principal.substr(at + 1));
  if (!SameAscii(name, logon.effectiveName)) return "its account name is not the ticket's client";
  if (!upn) return nullptr;
  if (!SameAscii(upn->dnsDomainName, realm)) return "its UPN_DNS_INFO names another domain than the ticket's realm";
  if ((upn->flags & kUpnSamNameAndSid) == 0) return nullptr;
  if (!SameAscii(upn->samName, logon.effectiveName)) return "its UPN_DNS_INFO names another account";
  if (WithRid(logon.logonDomainId, logon.userId) != upn->sid) return "its UPN_DNS_INFO gives another SID";
  return nullptr;
}

}  // namespace winhost::system::kerberos
