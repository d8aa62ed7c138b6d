// The security packages' shared vocabulary.
#include "common/sspi.h"

#include <cstring>

#include "common/blocks.h"
#include "common/text.h"

namespace winhost::common {

ULONG_PTR NewId() {
  static ULONG_PTR last = 0x1000;
  return ++last;
}

SecBuffer* FindBuffer(PSecBufferDesc descriptor, ULONG type) {
  if (descriptor == nullptr || descriptor->pBuffers == nullptr) return nullptr;
  for (ULONG i = 0; i < descriptor->cBuffers; ++i)
    if (descriptor->pBuffers[i].BufferType == type) return &descriptor->pBuffers[i];
  return nullptr;
}

std::optional<std::vector<uint8_t>> ReadToken(PSecBufferDesc input) {
  const SecBuffer* buffer = FindBuffer(input, SECBUFFER_TOKEN);
  if (buffer == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(buffer->pvBuffer);
  if (bytes == nullptr) return std::vector<uint8_t>();
  return std::vector<uint8_t>(bytes, bytes + buffer->cbBuffer);
}

namespace {

// One part of a SEC_CHANNEL_BINDINGS block, when it lies inside the block.
bool BindingPart(const uint8_t* block, ULONG size, ULONG offset, ULONG length, std::vector<uint8_t>& part) {
  if (length == 0) return true;
  if (offset > size || length > size - offset) return false;
  part.assign(block + offset, block + offset + length);
  return true;
}

}  // namespace

SECURITY_STATUS ReadChannelBindings(PSecBufferDesc input, std::optional<ChannelBindings>& bindings) {
  bindings.reset();
  const SecBuffer* buffer = FindBuffer(input, SECBUFFER_CHANNEL_BINDINGS);
  if (buffer == nullptr) return SEC_E_OK;
  if (buffer->pvBuffer == nullptr || buffer->cbBuffer < sizeof(SEC_CHANNEL_BINDINGS)) return SEC_E_BAD_BINDINGS;
  const auto* block = static_cast<const uint8_t*>(buffer->pvBuffer);
  SEC_CHANNEL_BINDINGS header;
  std::memcpy(&header, block, sizeof header);
  ChannelBindings read;
  read.initiatorType = header.dwInitiatorAddrType;
  read.acceptorType = header.dwAcceptorAddrType;
  if (!BindingPart(block, buffer->cbBuffer, header.dwInitiatorOffset, header.cbInitiatorLength, read.initiator) ||
      !BindingPart(block, buffer->cbBuffer, header.dwAcceptorOffset, header.cbAcceptorLength, read.acceptor) ||
      !BindingPart(block, buffer->cbBuffer, header.dwApplicationDataOffset, header.cbApplicationDataLength,
                   read.application))
    return SEC_E_BAD_BINDINGS;
  bindings = std::move(read);
  return SEC_E_OK;
}

SECURITY_STATUS WriteToken(PSecBufferDesc output, const std::vector<uint8_t>& token) {
  if (output == nullptr || output->cBuffers == 0 || output->pBuffers == nullptr) {
    return token.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  }
  SecBuffer* buffer = FindBuffer(output, SECBUFFER_TOKEN);
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  if (token.size() > buffer->cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
  if (!token.empty()) std::memcpy(buffer->pvBuffer, token.data(), token.size());
  buffer->cbBuffer = static_cast<ULONG>(token.size());
  return SEC_E_OK;
}

SECURITY_STATUS WritePackageInfo(const std::string& package, const std::optional<std::string>& comment,
                                 ULONG maxToken, void* buffer) {
  const std::u16string name = WideOf(package);
  const std::u16string commentText = WideOf(comment.value_or(""));
  const size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
  const size_t commentBytes = comment ? (commentText.size() + 1) * sizeof(WCHAR) : 0;
  auto* block = static_cast<uint8_t*>(AllocBlock(sizeof(SecPkgInfoW) + nameBytes + commentBytes, "buffer"));
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  auto* info = reinterpret_cast<SecPkgInfoW*>(block);
  info->fCapabilities = 0;
  info->wVersion = 1;
  info->wRPCID = 0;
  info->cbMaxToken = maxToken;
  info->Name = reinterpret_cast<SEC_WCHAR*>(block + sizeof(SecPkgInfoW));
  std::memcpy(info->Name, name.c_str(), nameBytes);
  info->Comment = nullptr;
  if (comment) {
    info->Comment = reinterpret_cast<SEC_WCHAR*>(block + sizeof(SecPkgInfoW) + nameBytes);
    std::memcpy(info->Comment, commentText.c_str(), commentBytes);
  }
  static_cast<SecPkgContext_PackageInfoW*>(buffer)->PackageInfo = info;
  return SEC_E_OK;
}

std::string HandleText(const SecHandle* handle) {
  if (handle == nullptr) return "null";
  return std::to_string(handle->dwUpper);
}

std::string BuffersText(PSecBufferDesc message) {
  if (message == nullptr || message->pBuffers == nullptr) return "null";
  std::string out;
  for (ULONG i = 0; i < message->cBuffers; ++i) {
    const SecBuffer& buffer = message->pBuffers[i];
    if (i > 0) out += ",";
    out += std::to_string(buffer.BufferType) + ":" + std::to_string(buffer.cbBuffer);
    if (buffer.pvBuffer == nullptr) out += "/null";
  }
  return out;
}

}  // namespace winhost::common
