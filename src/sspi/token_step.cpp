#include "sspi/token_step.h"

#include <algorithm>
#include <array>
#include <memory>

namespace {

// The context requirements of every server step.
constexpr ULONG kServerRequirements = ASC_REQ_MUTUAL_AUTH | ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT |
                                      ASC_REQ_CONFIDENTIALITY;

// The one-buffer output descriptor of a step over storage owned by the step. The storage is on the
// stack: a heap block this large is a "large" request to glibc's allocator, which first merges every
// small free block of the arena, and GSSAPI leaves many of those behind each step.
struct OutputToken {
  std::array<uint8_t, TokenBufferSize> storage = {};
  SecBuffer buffer;
  SecBufferDesc descriptor;

  OutputToken() {
    buffer.cbBuffer = TokenBufferSize;
    buffer.BufferType = SECBUFFER_TOKEN;
    buffer.pvBuffer = storage.data();
    descriptor.ulVersion = SECBUFFER_VERSION;
    descriptor.cBuffers = 1;
    descriptor.pBuffers = &buffer;
  }
  OutputToken(const OutputToken&) = delete;
  OutputToken& operator=(const OutputToken&) = delete;

  // The token the package wrote: as many bytes as it said, never more than the buffer holds.
  std::vector<uint8_t> Token() const {
    const size_t length = std::min<size_t>(buffer.cbBuffer, storage.size());
    return std::vector<uint8_t>(storage.begin(), storage.begin() + static_cast<std::ptrdiff_t>(length));
  }
};

// The one-buffer input descriptor over the peer's token.
struct InputToken {
  SecBuffer buffer;
  SecBufferDesc descriptor;

  explicit InputToken(const TokenInput& input) {
    buffer.cbBuffer = static_cast<ULONG>(input.length);
    buffer.BufferType = SECBUFFER_TOKEN;
    buffer.pvBuffer = input.length == 0 ? nullptr : const_cast<uint8_t*>(input.bytes);
    descriptor.ulVersion = SECBUFFER_VERSION;
    descriptor.cBuffers = 1;
    descriptor.pBuffers = &buffer;
  }
  InputToken(const InputToken&) = delete;
  InputToken& operator=(const InputToken&) = delete;
};

// Settles SEC_I_COMPLETE_NEEDED and SEC_I_COMPLETE_AND_CONTINUE: the package wants the token
// completed first, and the completion's status stands for the step.
SECURITY_STATUS CompleteIfNeeded(SecurityContextRecord& record, SECURITY_STATUS status, SecBufferDesc& output) {
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    return CompleteAuthToken(record.context, &output);
  }
  return status;
}

}  // namespace

bool HasSecurityContext(const SecurityContextRecord& record) {
  return record.context->dwLower != 0 || record.context->dwUpper != 0;
}

StepOutcome RunInitializeStep(SecurityContextRecord& record, const TokenInput* input) {
  OutputToken output;
  std::unique_ptr<InputToken> received;
  if (input != nullptr) received = std::make_unique<InputToken>(*input);

  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = InitializeSecurityContextW(
      record.credential,                                                // credentials
      input == nullptr ? nullptr : record.context,                      // existing context
      record.targetName.empty() ? nullptr : AsWide(record.targetName),  // target name
      record.requestedAttributes,                                       // context requirements
      0,                                                                // reserved
      SECURITY_NATIVE_DREP,                                             // target data representation
      received ? &received->descriptor : nullptr,                       // input token
      0,                                                                // reserved
      record.context,                                                   // new context, updated in place
      &output.descriptor,                                               // output token
      &record.negotiatedAttributes,                                     // context attributes
      &expiry);                                                         // expiry, not read
  status = CompleteIfNeeded(record, status, output.descriptor);
  return StepOutcome{status, output.Token()};
}

StepOutcome RunAcceptStep(SecurityContextRecord& record, const TokenInput& input, bool first) {
  OutputToken output;
  InputToken received(input);

  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = AcceptSecurityContext(
      record.credential,                 // credentials
      first ? nullptr : record.context,  // existing context
      &received.descriptor,              // the client's token
      kServerRequirements,               // context requirements
      SECURITY_NATIVE_DREP,              // target data representation
      record.context,                    // new context, updated in place
      &output.descriptor,                // output token
      &record.negotiatedAttributes,      // context attributes
      &expiry);                          // expiry, not read
  return StepOutcome{status, output.Token()};
}
