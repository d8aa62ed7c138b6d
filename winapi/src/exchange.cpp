// The exchanges of the stand-in packages.
#include "exchange.h"

#include <openssl/rand.h>

#include <string>

namespace winhost::detail {
namespace {

std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// The attributes a client ends up with: what it asked for, as far as the package grants it.
ULONG ClientAttributes(const Context& context) {
  const ULONG granted = ISC_REQ_DELEGATE | ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                        ISC_REQ_CONFIDENTIALITY | ISC_REQ_CONNECTION | ISC_REQ_INTEGRITY;
  return context.requested & granted;
}

}  // namespace

StepResult ClientStep(Context& context, const Package& package, const std::optional<std::vector<uint8_t>>& input) {
  StepResult result;
  const std::string principal = ProcessUserQualifiedName();
  const std::string target = context.target.empty() ? "-" : context.target;
  if (context.round == 0) {
    if (input && !input->empty()) {
      result.status = SEC_E_INVALID_TOKEN;
      return result;
    }
    context.key.resize(32);
    RAND_bytes(context.key.data(), static_cast<int>(context.key.size()));
    const bool mutual = (context.requested & ISC_REQ_MUTUAL_AUTH) != 0;
    if (package.shape == Shape::OneLeg) {
      result.status = mutual ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
      result.token = Text(package.name + ":AP-REQ user=" + principal + " target=" + target + " round=1 key=" + Hex(context.key));
    } else {
      result.status = SEC_I_CONTINUE_NEEDED;
      result.token = Text(package.name + ":NEGOTIATE user=" + principal + " target=" + target + " round=1");
    }
    result.attributes = ClientAttributes(context);
    return result;
  }
  result.status = SEC_E_UNSUPPORTED_FUNCTION;
  return result;
}

StepResult ServerStep(Context&, const Package&, const std::optional<std::vector<uint8_t>>&) {
  StepResult result;
  result.status = SEC_E_UNSUPPORTED_FUNCTION;
  return result;
}

SECURITY_STATUS QueryAttribute(Context& context, const Package& package, ULONG attribute, void* buffer) {
  switch (attribute) {
    case SECPKG_ATTR_SIZES: {
      if (!context.established) return SEC_E_INVALID_HANDLE;
      auto* sizes = static_cast<SecPkgContext_Sizes*>(buffer);
      sizes->cbMaxToken = package.sizes.maxToken;
      sizes->cbMaxSignature = package.sizes.maxSignature;
      sizes->cbBlockSize = package.sizes.blockSize;
      sizes->cbSecurityTrailer = package.sizes.securityTrailer;
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

}  // namespace winhost::detail
