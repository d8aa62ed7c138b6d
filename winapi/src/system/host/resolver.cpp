// DNS's service records, as the resolver answers them.
#include "system/host/resolver.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <tuple>
#include <cerrno>
#include <vector>

#include "system/host/names.h"
#include "winhost/host_services.h"

namespace winhost::system::host {
namespace {

constexpr size_t kLargestAnswer = 65536;

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

}  // namespace winhost::system::host
