// The domain-controller check (see domain_controller.h).
#include "system/directory/domain_controller.h"

#include <netdb.h>

#include <cerrno>
#include <vector>

#include "system/directory/controller_probe.h"
#include "system/directory/domain_accounts.h"
#include "system/host/resolver.h"
#include "system/kerberos/realm.h"
#include "winhost/host_services.h"

namespace winhost::system::directory {
namespace {

// A silent controller costs the probe's whole time: a domain that lists many, and where the first
// few are all silent, is down for the caller now.
constexpr size_t kControllersTried = 4;

}  // namespace

DWORD SystemFindDomainController(const std::string& domain, std::string& controller) {
  // A domain named by its NetBIOS name (SAMDOM, as account names carry it) is found by its DNS
  // name when it is the default realm's; any other stays as it is, and DNS knows no such domain.
  std::string dnsDomain = domain;
  if (domain.find('.') == std::string::npos)
    if (const std::optional<std::string> realm = DefaultRealmOfDomain(domain)) dnsDomain = *realm;
  if (dnsDomain.empty()) {
    krb5_error_code error = 0;
    std::optional<std::string> realm;
    if (auto fault = Enter(Call{"krb5_get_default_realm", {}})) {
      error = static_cast<krb5_error_code>(*fault);
    } else {
      realm = kerberos::SystemDefaultRealm(error);
    }
    if (error == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
    // No default realm, or a configuration that names none: the computer has no domain.
    if (!realm) return ERROR_NO_SUCH_DOMAIN;
    dnsDomain = *realm;
  }
  dnsDomain = LowerAscii(dnsDomain);
  bool unknownEverywhere = true;
  const std::string directory = "_ldap._tcp.dc._msdcs." + dnsDomain;
  for (const std::string& name : {directory, "_kerberos._tcp." + dnsDomain}) {
    int failure = 0;
    std::vector<host::ServiceTarget> targets = host::SystemServiceTargets(name, failure);
    // The first listed controller that answers, in the order of priority; when every one tried
    // is silent the domain has no logon server now, whatever the other name lists.
    if (targets.size() > kControllersTried) targets.resize(kControllersTried);
    for (const host::ServiceTarget& target : targets) {
      if (SystemControllerAnswers(target.host, static_cast<uint16_t>(target.port), name == directory)) {
        controller = "\\\\" + target.host;
        return NERR_Success;
      }
    }
    if (!targets.empty()) return ERROR_NO_LOGON_SERVERS;
    unknownEverywhere = unknownEverywhere && failure == HOST_NOT_FOUND;
  }
  return unknownEverywhere ? ERROR_NO_SUCH_DOMAIN : ERROR_NO_LOGON_SERVERS;
}

}  // namespace winhost::system::directory
