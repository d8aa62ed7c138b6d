// A PAC's logon information from anywhere. Whatever the decoder takes must be a structure that
// encodes back into bytes that decode the same, and the token it gives must hold only SIDs that are
// well formed; whatever it refuses, it says why. The same bytes as a client's first token and as a
// wrap token to a context of the library's own acceptor: what is found must lie inside them, and
// a token under no key of the context's never opens.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness/pac/pac_encoder.h"
#include "system/kerberos/ap_request.h"
#include "system/kerberos/direct_acceptor.h"
#include "system/kerberos/krb5_config.h"
#include "system/kerberos/pac.h"
#include "system/directory/pac_account.h"

namespace {

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

bool Inside(const winhost::system::kerberos::Der& part, const uint8_t* data, size_t size) {
  return part.at >= data && part.at + part.left <= data + size;
}

// The bytes as tokens the acceptor decodes itself.
void AsTokens(const uint8_t* data, size_t size) {
  using namespace winhost::system::kerberos;
  if (const std::optional<FirstToken> first = FirstTokenOf(data, size)) {
    if (!Inside(first->apReq, data, size) || !Inside(first->framing, data, size) || !Inside(first->supported, data, size))
      Broken("a first token's parts outside it");
  }
  static const uint8_t keyBytes[32] = {1, 2, 3};
  static DirectSession* session = [] {
    krb5_keyblock key = {};
    key.enctype = ENCTYPE_AES256_CTS_HMAC_SHA1_96;
    key.length = sizeof keyBytes;
    key.contents = const_cast<uint8_t*>(keyBytes);
    return new DirectSession(ThreadKrb5Context().context, key, 1, 1, GSS_C_REPLAY_FLAG, 0, false);
  }();
  std::vector<uint8_t> copy(data, data + size);
  SecBuffer stream{static_cast<ULONG>(copy.size()), SECBUFFER_STREAM, copy.data()}, message{0, SECBUFFER_DATA, nullptr};
  bool sealed = false;
  if (session->Key() != nullptr && !copy.empty() && OpenDirect(*session, stream, message, sealed) == SEC_E_OK)
    Broken("a wrap token under no key of the context's opened");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using winhost::system::kerberos::DecodeLogonInfo;
  AsTokens(data, size);
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
