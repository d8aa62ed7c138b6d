#include "sspi/token_step.h"

#include <algorithm>
#include <array>

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

// The input descriptor over the peer's token, followed by the record's channel bindings when it
// has them. A client's first step has no token, only the bindings.
struct InputToken {
  SecBuffer buffers[2];
  SecBufferDesc descriptor;

  InputToken(const TokenInput* input, std::vector<uint8_t>& bindings) {
    ULONG count = 0;
    if (input != nullptr) {
      buffers[count].cbBuffer = static_cast<ULONG>(input->length);
      buffers[count].BufferType = SECBUFFER_TOKEN;
      buffers[count].pvBuffer = input->length == 0 ? nullptr : const_cast<uint8_t*>(input->bytes);
      ++count;
    }
    if (!bindings.empty()) {
      buffers[count].cbBuffer = static_cast<ULONG>(bindings.size());
      buffers[count].BufferType = SECBUFFER_CHANNEL_BINDINGS;
      buffers[count].pvBuffer = bindings.data();
      ++count;
    }
    descriptor.ulVersion = SECBUFFER_VERSION;
    descriptor.cBuffers = count;
    descriptor.pBuffers = buffers;
  }
  bool Empty() const { return descriptor.cBuffers == 0; }
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
  InputToken received(input, record.channelBindings);

  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = InitializeSecurityContextW(
      record.credential,                                                // credentials
      input == nullptr ? nullptr : record.context,                      // existing context
      record.targetName.empty() ? nullptr : AsWide(record.targetName),  // target name
      record.requestedAttributes,                                       // context requirements
      0,                                                                // reserved
      SECURITY_NATIVE_DREP,                                             // target data representation
      received.Empty() ? nullptr : &received.descriptor,                // input token and bindings
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
  InputToken received(&input, record.channelBindings);
  // A server bound to a channel refuses a client bound to none unless its caller allows that.
  const ULONG requirements = kServerRequirements | (record.requestedAttributes & ASC_REQ_ALLOW_MISSING_BINDINGS);

  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = AcceptSecurityContext(
      record.credential,                 // credentials
      first ? nullptr : record.context,  // existing context
      &received.descriptor,              // the client's token and the channel's bindings
      requirements,                      // context requirements
      SECURITY_NATIVE_DREP,              // target data representation
      record.context,                    // new context, updated in place
      &output.descriptor,                // output token
      &record.negotiatedAttributes,      // context attributes
      &expiry);                          // expiry, not read
  return StepOutcome{status, output.Token()};
}
