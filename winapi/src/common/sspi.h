// What the security packages of both worlds share: handle values, the SecBuffer lookup, the
// package information block and the journal's text of handles and buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winhost/sspi.h"

namespace winhost::common {

constexpr ULONG_PTR kCredentialTag = 0x43524544;  // 'CRED'
constexpr ULONG_PTR kContextTag = 0x43545854;     // 'CTXT'

// The next handle value of a credential or a context. Requires the world lock.
ULONG_PTR NewId();

// The SecBuffer of a type in a descriptor; null when there is none (or no descriptor).
SecBuffer* FindBuffer(PSecBufferDesc descriptor, ULONG type);
// The first SECBUFFER_TOKEN input buffer's bytes, or none.
std::optional<std::vector<uint8_t>> ReadToken(PSecBufferDesc input);
// The channel bindings a caller gives a step (SECBUFFER_CHANNEL_BINDINGS): each address with its
// type, and the application data, as the two peers must both give them for the step to pass.
struct ChannelBindings {
  ULONG initiatorType = 0;
  std::vector<uint8_t> initiator;
  ULONG acceptorType = 0;
  std::vector<uint8_t> acceptor;
  std::vector<uint8_t> application;
};
// Reads the step's channel bindings into `bindings` (left empty when the step has none): SEC_E_OK,
// or SEC_E_BAD_BINDINGS when the block is shorter than its structure or a part lies outside it.
SECURITY_STATUS ReadChannelBindings(PSecBufferDesc input, std::optional<ChannelBindings>& bindings);

// Copies `token` into the caller's first SECBUFFER_TOKEN output buffer.
SECURITY_STATUS WriteToken(PSecBufferDesc output, const std::vector<uint8_t>& token);

// SECPKG_ATTR_PACKAGE_INFO's answer: one block, freed by one FreeContextBuffer, holding the
// SecPkgInfoW, then its name and its comment (a null comment when there is none).
SECURITY_STATUS WritePackageInfo(const std::string& package, const std::optional<std::string>& comment,
                                 ULONG maxToken, void* buffer);

std::string HandleText(const SecHandle* handle);  // "null" or the id, for the journal
// "2:60,1:5,9:16" (type:size), with "/null" after a buffer that points nowhere.
std::string BuffersText(PSecBufferDesc message);

}  // namespace winhost::common
