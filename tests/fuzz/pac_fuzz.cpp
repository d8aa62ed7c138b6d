// A PAC's logon information from anywhere. Whatever the decoder takes must be a structure that
// encodes back into bytes that decode the same, and the token it gives must hold only SIDs that are
// well formed; whatever it refuses, it says why.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness/pac/pac_encoder.h"
#include "system/kerberos/pac.h"
#include "system/directory/pac_account.h"

namespace {

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using winhost::system::kerberos::DecodeLogonInfo;
  const char* failure = nullptr;
  // The same bytes as UPN_DNS_INFO: whatever it takes must lie inside them.
  if (const auto upn = winhost::system::kerberos::DecodeUpnDnsInfo(data, size)) {
    if (upn->upn.size() + upn->dnsDomainName.size() + upn->samName.size() > size || upn->sid.size() > size)
      Broken("UPN_DNS_INFO larger than its buffer");
  }
  const std::optional<winhost::system::kerberos::LogonInfo> info = DecodeLogonInfo(data, size, &failure);
  if (!info) {
    if (failure == nullptr || *failure == 0) Broken("refused without a reason");
    return 0;
  }
  const pactest::Encoded again = pactest::Encode(*info);
  const auto decoded = DecodeLogonInfo(again.bytes.data(), again.bytes.size(), &failure);
  if (!decoded) Broken(std::string("its own encoding was refused: ") + failure);
  if (!(*decoded == *info)) Broken("its own encoding decoded to something else");
  for (const winhost::system::GroupEntry& group : winhost::system::directory::PacTokenGroups(*info, {{info->logonDomainId}, {}})) {
    const std::optional<winhost::system::SidBytes> sid = winhost::system::ReadSid(group.sid.data());
    if (!sid || *sid != group.sid) Broken("a token group that is no well-formed SID");
  }
  return 0;
}
