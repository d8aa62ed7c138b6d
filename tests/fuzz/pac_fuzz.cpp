// A PAC's logon information from anywhere. Whatever the decoder takes must be a structure that
// encodes back into bytes that decode the same, and the token it gives must hold only SIDs that are
// well formed; whatever it refuses, it says why.
#include "fuzz_support.h"
#include "native/pac_encoder.h"
#include "system/pac.h"
#include "system/pac_account.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using winhost::detail::pac::DecodeLogonInfo;
  const char* failure = nullptr;
  const std::optional<winhost::detail::pac::LogonInfo> info = DecodeLogonInfo(data, size, &failure);
  if (!info) {
    if (failure == nullptr || *failure == 0) fuzz::Broken("refused without a reason");
    return 0;
  }
  const pactest::Encoded again = pactest::Encode(*info);
  const auto decoded = DecodeLogonInfo(again.bytes.data(), again.bytes.size(), &failure);
  if (!decoded) fuzz::Broken(std::string("its own encoding was refused: ") + failure);
  if (!(*decoded == *info)) fuzz::Broken("its own encoding decoded to something else");
  for (const winhost::detail::GroupEntry& group : winhost::detail::PacTokenGroups(*info, {info->logonDomainId})) {
    const std::optional<winhost::detail::SidBytes> sid = winhost::detail::ReadSid(group.sid.data());
    if (!sid || *sid != group.sid) fuzz::Broken("a token group that is no well-formed SID");
  }
  return 0;
}
