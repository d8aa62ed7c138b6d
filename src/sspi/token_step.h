// One step of the token exchange as the package sees it, shared by context creation and the
// later steps on both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sspi/context_table.h"

struct StepOutcome {
  // SEC_E_OK, SEC_I_CONTINUE_NEEDED or the failure; a SEC_I_COMPLETE_* answer of a client step
  // has already been replaced by the status of CompleteAuthToken.
  SECURITY_STATUS status;
  // The output token: the first cbBuffer bytes the package left in the output buffer.
  std::vector<uint8_t> token;
};

// A token received from the peer, as the package is given it. A zero-length token is passed with
// no pointer at all, never with a pointer to a byte that is not there.
struct TokenInput {
  const uint8_t* bytes;
  size_t length;
};

// InitializeSecurityContextW on a client record. Without `input` this is the first step (no
// existing context); with it, the step continues the record's context. Updates the record's
// context handle and negotiatedAttributes in place.
StepOutcome RunInitializeStep(SecurityContextRecord& record, const TokenInput* input);

// AcceptSecurityContext on a server record with the client's token; `first` passes no existing
// context. Updates the record's context handle and negotiatedAttributes in place.
StepOutcome RunAcceptStep(SecurityContextRecord& record, const TokenInput& input, bool first);

// True once the package has made a security context for the record.
bool HasSecurityContext(const SecurityContextRecord& record);
