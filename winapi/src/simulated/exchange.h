// What each stand-in package does on one step of its exchange, and the context attributes it
// answers. Tokens are readable text naming the package, the message, the principal and the
// round, so that a failing test says what went where.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "simulated/sspi.h"

namespace winhost::simulated {

struct StepResult {
  SECURITY_STATUS status = SEC_E_OK;
  std::vector<uint8_t> token;
  ULONG attributes = 0;
};

// The digest of a step's channel bindings (hex), empty when it was given none; SEC_E_BAD_BINDINGS
// for a block that does not hold together.
SECURITY_STATUS BindingsDigest(PSecBufferDesc input, std::string& digest);

// `context` is a working copy; the caller stores it only when the step succeeds.
StepResult ClientStep(Context& context, const Package& package, const std::optional<std::vector<uint8_t>>& input);
StepResult ServerStep(Context& context, const Package& package, const std::optional<std::vector<uint8_t>>& input);

// QueryContextAttributesW for one attribute of a known context.
SECURITY_STATUS QueryAttribute(Context& context, const Package& package, ULONG attribute, void* buffer);

}  // namespace winhost::simulated
