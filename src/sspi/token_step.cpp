#include "sspi/token_step.h"

#include <algorithm>

namespace {

// Settles SEC_I_COMPLETE_NEEDED and SEC_I_COMPLETE_AND_CONTINUE: the package wants the token
// completed first, and the completion's status stands for the step.
SECURITY_STATUS CompleteIfNeeded(SecurityContextRecord& record, SECURITY_STATUS status, SecBufferDesc& output) {
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    return CompleteAuthToken(record.context, &output);
  }
  return status;
}

std::vector<uint8_t> TokenOf(const SecBuffer& buffer, const std::vector<uint8_t>& storage) {
  const size_t length = std::min<size_t>(buffer.cbBuffer, storage.size());
  return std::vector<uint8_t>(storage.begin(), storage.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace

bool HasSecurityContext(const SecurityContextRecord& record) {
  return record.context->dwLower != 0 || record.context->dwUpper != 0;
}

StepOutcome RunInitializeStep(SecurityContextRecord& record, const std::vector<uint8_t>* input) {
  std::vector<uint8_t> storage(TokenBufferSize);
  SecBuffer outputBuffer;
  outputBuffer.cbBuffer = TokenBufferSize;
  outputBuffer.BufferType = SECBUFFER_TOKEN;
  outputBuffer.pvBuffer = storage.data();
  SecBufferDesc output;
  output.ulVersion = SECBUFFER_VERSION;
  output.cBuffers = 1;
  output.pBuffers = &outputBuffer;

  SecBuffer inputBuffer;
  SecBufferDesc inputDescriptor;
  if (input != nullptr) {
    inputBuffer.cbBuffer = static_cast<ULONG>(input->size());
    inputBuffer.BufferType = SECBUFFER_TOKEN;
    inputBuffer.pvBuffer = const_cast<uint8_t*>(input->data());
    inputDescriptor.ulVersion = SECBUFFER_VERSION;
    inputDescriptor.cBuffers = 1;
    inputDescriptor.pBuffers = &inputBuffer;
  }

  const bool first = !HasSecurityContext(record);
  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = InitializeSecurityContextW(
      record.credential,                                                // credentials
      first ? nullptr : record.context,                                 // existing context
      record.targetName.empty() ? nullptr : AsWide(record.targetName),  // target name
      record.requestedAttributes,                                       // context requirements
      0,                                                                // reserved
      SECURITY_NATIVE_DREP,                                             // target data representation
      input != nullptr ? &inputDescriptor : nullptr,                    // input token
      0,                                                                // reserved
      record.context,                                                   // new context, updated in place
      &output,                                                          // output token
      &record.negotiatedAttributes,                                     // context attributes
      &expiry);                                                         // expiry, not read
  status = CompleteIfNeeded(record, status, output);
  return StepOutcome{status, TokenOf(outputBuffer, storage)};
}
