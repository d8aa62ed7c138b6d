// One step of the token exchange as the package sees it, shared by context creation and the
// later steps.
#pragma once

#include <cstdint>
#include <vector>

#include "sspi/context_table.h"

struct StepOutcome {
  // SEC_E_OK, SEC_I_CONTINUE_NEEDED or the failure; a SEC_I_COMPLETE_* answer has already been
  // replaced by the status of CompleteAuthToken.
  SECURITY_STATUS status;
  // The output token: the first cbBuffer bytes the package left in the output buffer.
  std::vector<uint8_t> token;
};

// InitializeSecurityContextW on a client record, with `input` as the server's token or no input
// at all (the first step). Updates the record's context handle and negotiatedAttributes in place.
StepOutcome RunInitializeStep(SecurityContextRecord& record, const std::vector<uint8_t>* input);

// True once the package has made a security context for the record.
bool HasSecurityContext(const SecurityContextRecord& record);
