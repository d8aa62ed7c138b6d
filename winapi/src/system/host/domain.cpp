// The domain-controller check of the system world: the Kerberos configuration says whether the
// computer has a domain (its default realm), and DNS says where the domain's controllers are.
#include "system/host/domain.h"

#include <arpa/nameser.h>
#include <krb5/krb5.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <tuple>
#include <cerrno>
#include <vector>

#include "system/host/controller_probe.h"
#include "system/host/names.h"
#include "system/kerberos/owners.h"
#include "winhost/host_services.h"

namespace winhost::system {
namespace {

constexpr size_t kLargestAnswer = 65536;
constexpr size_t kLongestLocalName = 1024;
// A silent controller costs the probe's whole time: a domain that lists many, and where the first
// few are all silent, is down for the caller now.
constexpr size_t kControllersTried = 4;

// The default realm through MIT krb5's own reading of its configuration; `error` is krb5's code
// (KRB5_CONFIG_NODEFREALM when there is none).
std::optional<std::string> DefaultRealm(krb5_error_code& error) {
  Krb5Context context;
  error = context.error();
  if (!context) return std::nullopt;
  char* realm = nullptr;
  error = krb5_get_default_realm(context.get(), &realm);
  std::optional<std::string> found;
  if (error == 0 && realm != nullptr && *realm != 0) found = realm;
  if (realm != nullptr) krb5_free_default_realm(context.get(), realm);
  return found;
}

// What one SRV query found: the targets and their ports in the order of their priority, or why
// there are none (the resolver's h_errno: HOST_NOT_FOUND for a name DNS does not have, NO_DATA,
// TRY_AGAIN ...).
struct SrvAnswer {
  std::vector<std::pair<std::string, uint16_t>> targets;
  int failure = 0;
};

SrvAnswer QuerySrv(const std::string& name) {
  SrvAnswer answer;
  if (auto fault = Enter(Call{"res_nquery", {{"name", name}, {"type", "SRV"}}})) {
    answer.failure = static_cast<int>(*fault);
    return answer;
  }
  struct __res_state state {};
  if (res_ninit(&state) != 0) {
    answer.failure = NO_RECOVERY;
    return answer;
  }
  std::vector<unsigned char> message(kLargestAnswer);
  int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, message.data(), static_cast<int>(message.size()));
  const int failure = state.res_h_errno;
  res_nclose(&state);
  if (length < 0) {
    answer.failure = failure == NETDB_SUCCESS ? NO_RECOVERY : failure;
    return answer;
  }
  // The header says what the answer is before any record is read: the system resolver turns an
  // empty or failed answer into h_errno itself, a resolver in between may hand it over as it came.
  length = std::min(length, static_cast<int>(message.size()));
  if (length < HFIXEDSZ) {
    answer.failure = NO_RECOVERY;
    return answer;
  }
  const int rcode = message[3] & 0x0F;
  const int answers = (message[6] << 8) | message[7];
  if (rcode != ns_r_noerror || answers == 0) {
    answer.failure = rcode == ns_r_nxdomain ? HOST_NOT_FOUND
                     : rcode == ns_r_servfail ? TRY_AGAIN
                     : rcode == ns_r_noerror ? NO_DATA
                                             : NO_RECOVERY;
    return answer;
  }
  ns_msg parsed;
  if (ns_initparse(message.data(), length, &parsed) != 0) {
    answer.failure = NO_RECOVERY;
    return answer;
  }
  std::vector<std::pair<unsigned, std::pair<std::string, uint16_t>>> ranked;
  for (int i = 0; i < ns_msg_count(parsed, ns_s_an); ++i) {
    ns_rr record;
    if (ns_parserr(&parsed, ns_s_an, i, &record) != 0 || ns_rr_type(record) != ns_t_srv || ns_rr_rdlen(record) < 7)
      continue;
    const unsigned char* data = ns_rr_rdata(record);
    char target[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(parsed), ns_msg_end(parsed), data + 6, target, sizeof target) < 0) continue;
    // A target of "." says the service is not offered there.
    if (target[0] == 0 || (target[0] == '.' && target[1] == 0)) continue;
    ranked.push_back({ns_get16(data), {target, static_cast<uint16_t>(ns_get16(data + 4))}});
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [priority, target] : ranked) answer.targets.push_back(std::move(target));
  if (answer.targets.empty()) answer.failure = NO_DATA;
  return answer;
}

}  // namespace

std::vector<ServiceTarget> SystemServiceTargets(const std::string& name, int& failure) {
  SrvAnswer answer = QuerySrv(name);
  failure = answer.failure;
  std::vector<ServiceTarget> targets;
  for (auto& [host, port] : answer.targets) {
    if (host.back() == '.') host.pop_back();
    targets.push_back({host, port});
  }
  return targets;
}

std::optional<std::string> SystemDefaultRealm() {
  krb5_error_code error = 0;
  return DefaultRealm(error);
}

DWORD SystemLocalNameOf(const std::string& name, const std::string& realm, std::string& local) {
  local.clear();
  if (name.empty() || realm.empty()) return ERROR_NONE_MAPPED;
  krb5_error_code error = 0;
  if (auto fault = Enter(Call{"krb5_aname_to_localname", {{"principal", name + "@" + realm}}})) {
    error = static_cast<krb5_error_code>(*fault);
  } else {
    Krb5Context context;
    error = context.error();
    if (context) {
      krb5_principal principal = nullptr;
      // Parsed as the text before the realm in the principal's display form, which is what a
      // server context gives as the client's Windows name: "host/web" is two components.
      error = krb5_parse_name(context.get(), (name + "@" + realm).c_str(), &principal);
      if (error == 0) {
        std::vector<char> buffer(kLongestLocalName + 1, 0);
        error = krb5_aname_to_localname(context.get(), principal, static_cast<int>(buffer.size()), buffer.data());
        if (error == 0) local.assign(buffer.data());
        krb5_free_principal(context.get(), principal);
      }
    }
  }
  switch (error) {
    case 0: return local.empty() ? ERROR_NONE_MAPPED : ERROR_SUCCESS;
    case KRB5_LNAME_NOTRANS:
    case KRB5_NO_LOCALNAME:
    case KRB5_PARSE_MALFORMED:  // no principal has that name ("a@b" in the realm)
    case KRB5_CONFIG_NOTENUFSPACE: return ERROR_NONE_MAPPED;  // no account has a name that long
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return RPC_S_SERVER_UNAVAILABLE;
  }
}

DWORD SystemFindDomainController(const std::string& domain, std::string& controller) {
  std::string dnsDomain = domain;
  if (dnsDomain.empty()) {
    krb5_error_code error = 0;
    std::optional<std::string> realm;
    if (auto fault = Enter(Call{"krb5_get_default_realm", {}})) {
      error = static_cast<krb5_error_code>(*fault);
    } else {
      realm = DefaultRealm(error);
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
    SrvAnswer answer = QuerySrv(name);
    // The first listed controller that answers, in the order of priority; when every one tried
    // is silent the domain has no logon server now, whatever the other name lists.
    if (answer.targets.size() > kControllersTried) answer.targets.resize(kControllersTried);
    for (auto [target, port] : answer.targets) {
      if (target.back() == '.') target.pop_back();
      if (SystemControllerAnswers(target, port, name == directory)) {
        controller = "\\\\" + target;
        return NERR_Success;
      }
    }
    if (!answer.targets.empty()) return ERROR_NO_LOGON_SERVERS;
    unknownEverywhere = unknownEverywhere && answer.failure == HOST_NOT_FOUND;
  }
  return unknownEverywhere ? ERROR_NO_SUCH_DOMAIN : ERROR_NO_LOGON_SERVERS;
}

}  // namespace winhost::system
