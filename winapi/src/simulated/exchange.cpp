// The exchanges of the stand-in packages.
//
// A token is readable text: "<package>:<MESSAGE> key=value key=value ...". The session key of the
// two peers travels inside the tokens (both sit on this host), in the client's last token of a
// three-leg exchange and in the client's only token of a one-leg one; message protection derives
// its keys from it.
#include "simulated/exchange.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace winhost::simulated {
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

std::optional<std::vector<uint8_t>> Unhex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 2) {
    int value = 0;
    for (size_t k = i; k < i + 2; ++k) {
      char c = text[k];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<uint8_t>(value));
  }
  return out;
}

std::vector<uint8_t> Random(size_t bytes) {
  std::vector<uint8_t> out(bytes);
  RAND_bytes(out.data(), static_cast<int>(out.size()));
  return out;
}

// A token taken apart: its package, its message and its fields. A word without '=' belongs to
// the field before it, so that a target name with spaces does not break the token.
struct Parsed {
  std::string package;
  std::string message;
  std::map<std::string, std::string> fields;
  std::string Field(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
  }
};

std::optional<Parsed> Parse(const std::optional<std::vector<uint8_t>>& token) {
  if (!token || token->empty()) return std::nullopt;
  const std::string text(token->begin(), token->end());
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  Parsed parsed;
  parsed.package = text.substr(0, colon);
  std::string last;
  size_t at = colon + 1;
  bool first = true;
  while (at <= text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      parsed.message = word;
      first = false;
      continue;
    }
    const size_t equals = word.find('=');
    if (equals == std::string::npos) {
      if (!last.empty()) parsed.fields[last] += " " + word;
      continue;
    }
    last = word.substr(0, equals);
    parsed.fields[last] = word.substr(equals + 1);
  }
  return parsed;
}

std::string FlagsField(ULONG flags) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(flags));
  return text;
}

ULONG ParseFlags(const std::string& text) { return static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 16)); }

// Proof that the server holds the session key, carried by the answer to mutual authentication.
std::string Confirmation(const std::vector<uint8_t>& key) {
  static const char label[] = "server confirms";
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(label),
       sizeof label - 1, mac, &length);
  return Hex(std::vector<uint8_t>(mac, mac + 8));
}

// The attributes a client ends up with: what it asked for, as far as the package grants it.
ULONG ClientAttributes(const Context& context) {
  const ULONG granted = ISC_REQ_DELEGATE | ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                        ISC_REQ_CONFIDENTIALITY | ISC_REQ_CONNECTION | ISC_REQ_INTEGRITY;
  return context.requested & granted;
}

// A server grants what both sides asked for: its own requirements and the client's.
ULONG ServerAttributes(const Context& context) {
  const ULONG shared = ASC_REQ_DELEGATE | ASC_REQ_MUTUAL_AUTH | ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT |
                       ASC_REQ_CONFIDENTIALITY;
  return context.requested & context.peerFlags & shared;
}

StepResult Refuse(SECURITY_STATUS status) {
  StepResult result;
  result.status = status;
  return result;
}

// The client's identity and flags as every client token states them, and the channel it was
// bound to when it was bound to one.
std::string ClientFields(const Context& context) {
  const std::string target = context.target.empty() ? "-" : context.target;
  const std::string bound = context.bindings.empty() ? "" : " cb=" + context.bindings;
  return "user=" + ProcessUserQualifiedName() + " target=" + target + bound;
}

// A server given channel bindings takes only a client bound to the same channel, and one bound to
// none only when it allows missing bindings. A server given none does not look.
SECURITY_STATUS CheckBindings(const Context& context, const Parsed& request) {
  if (context.bindings.empty()) return SEC_E_OK;
  const std::string sent = request.Field("cb");
  if (sent.empty()) return (context.requested & ASC_REQ_ALLOW_MISSING_BINDINGS) ? SEC_E_OK : SEC_E_BAD_BINDINGS;
  return sent == context.bindings ? SEC_E_OK : SEC_E_BAD_BINDINGS;
}

void AppendPart(std::vector<uint8_t>& out, ULONG type, const std::vector<uint8_t>& part) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(type >> shift));
  const ULONG length = static_cast<ULONG>(part.size());
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(length >> shift));
  out.insert(out.end(), part.begin(), part.end());
}

}  // namespace

SECURITY_STATUS BindingsDigest(PSecBufferDesc input, std::string& digest) {
  std::optional<common::ChannelBindings> bindings;
  digest.clear();
  if (SECURITY_STATUS status = common::ReadChannelBindings(input, bindings); status != SEC_E_OK || !bindings) return status;
  std::vector<uint8_t> all;
  AppendPart(all, bindings->initiatorType, bindings->initiator);
  AppendPart(all, bindings->acceptorType, bindings->acceptor);
  AppendPart(all, 0, bindings->application);
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(all.data(), all.size(), hash, &length, EVP_sha256(), nullptr);
  digest = Hex(std::vector<uint8_t>(hash, hash + length));
  return SEC_E_OK;
}

StepResult ClientStep(Context& context, const Package& package, const std::optional<std::vector<uint8_t>>& input) {
  StepResult result;
  const std::string flags = " flags=" + FlagsField(context.requested);
  const bool mutual = (context.requested & ISC_REQ_MUTUAL_AUTH) != 0;
  if (context.established) return Refuse(SEC_E_OUT_OF_SEQUENCE);

  if (context.round == 0) {
    if (input && !input->empty()) return Refuse(SEC_E_INVALID_TOKEN);
    context.key = Random(32);
    if (package.shape == Shape::OneLeg) {
      result.status = mutual ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
      result.token = Text(package.name + ":AP-REQ " + ClientFields(context) + " round=1" + flags + " key=" + Hex(context.key));
    } else {
      result.status = SEC_I_CONTINUE_NEEDED;
      result.token = Text(package.name + ":NEGOTIATE " + ClientFields(context) + " round=1" + flags);
    }
    result.attributes = ClientAttributes(context);
    return result;
  }

  auto answer = Parse(input);
  if (!answer || answer->package != package.name) return Refuse(SEC_E_INVALID_TOKEN);
  if (package.shape == Shape::ThreeLeg && context.round == 1) {
    if (answer->message != "CHALLENGE" || answer->Field("nonce").empty()) return Refuse(SEC_E_INVALID_TOKEN);
    result.status = SEC_E_OK;
    result.token = Text(package.name + ":AUTHENTICATE " + ClientFields(context) + " round=3" + flags +
                        " challenge=" + answer->Field("nonce") + " key=" + Hex(context.key));
    result.attributes = ClientAttributes(context);
    return result;
  }
  if (package.shape == Shape::OneLeg && context.round == 1 && mutual) {
    if (answer->message != "AP-REP") return Refuse(SEC_E_INVALID_TOKEN);
    if (answer->Field("confirm") != Confirmation(context.key)) return Refuse(SEC_E_LOGON_DENIED);
    result.status = SEC_E_OK;
    result.attributes = ClientAttributes(context);
    return result;
  }
  return Refuse(SEC_E_OUT_OF_SEQUENCE);
}

StepResult ServerStep(Context& context, const Package& package, const std::optional<std::vector<uint8_t>>& input) {
  StepResult result;
  if (context.established) return Refuse(SEC_E_OUT_OF_SEQUENCE);
  auto request = Parse(input);
  if (!request || request->package != package.name) return Refuse(SEC_E_INVALID_TOKEN);

  if (package.shape == Shape::OneLeg) {
    auto key = Unhex(request->Field("key"));
    if (context.round != 0 || request->message != "AP-REQ" || !key || key->empty()) return Refuse(SEC_E_INVALID_TOKEN);
    if (SECURITY_STATUS bound = CheckBindings(context, *request); bound != SEC_E_OK) return Refuse(bound);
    context.key = *key;
    context.peerUser = request->Field("user");
    context.peerFlags = ParseFlags(request->Field("flags"));
    result.status = SEC_E_OK;
    // Mutual authentication: the client finishes only with the server's proof of the key.
    if (context.peerFlags & ISC_REQ_MUTUAL_AUTH) {
      result.token = Text(package.name + ":AP-REP user=" + ProcessUserQualifiedName() +
                          " round=2 confirm=" + Confirmation(context.key));
    }
    result.attributes = ServerAttributes(context);
    return result;
  }

  if (context.round == 0) {
    if (request->message != "NEGOTIATE") return Refuse(SEC_E_INVALID_TOKEN);
    context.peerFlags = ParseFlags(request->Field("flags"));
    context.challenge = Hex(Random(8));
    result.status = SEC_I_CONTINUE_NEEDED;
    result.token = Text(package.name + ":CHALLENGE server=" + Names().netbios + " round=2 nonce=" + context.challenge);
    result.attributes = ServerAttributes(context);
    return result;
  }
  if (context.round == 1) {
    auto key = Unhex(request->Field("key"));
    if (request->message != "AUTHENTICATE" || !key || key->empty()) return Refuse(SEC_E_INVALID_TOKEN);
    // An answer to another server's challenge does not log on here.
    if (request->Field("challenge") != context.challenge) return Refuse(SEC_E_LOGON_DENIED);
    if (SECURITY_STATUS bound = CheckBindings(context, *request); bound != SEC_E_OK) return Refuse(bound);
    context.key = *key;
    context.peerUser = request->Field("user");
    context.peerFlags = ParseFlags(request->Field("flags"));
    result.status = SEC_E_OK;
    result.attributes = ServerAttributes(context);
    return result;
  }
  return Refuse(SEC_E_OUT_OF_SEQUENCE);
}

SECURITY_STATUS QueryAttribute(Context& context, const Package& package, ULONG attribute, void* buffer) {
  switch (attribute) {
    case SECPKG_ATTR_SIZES: {
      // Sizes are the package's and known from the first step on, as with the real packages.
      auto* sizes = static_cast<SecPkgContext_Sizes*>(buffer);
      sizes->cbMaxToken = package.sizes.maxToken;
      sizes->cbMaxSignature = package.sizes.maxSignature;
      sizes->cbBlockSize = package.sizes.blockSize;
      sizes->cbSecurityTrailer = package.sizes.securityTrailer;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_NAMES: {
      // A client is its own user; a server knows its client once the client has authenticated.
      std::string user;
      if (context.client) {
        user = package.credentialUser.empty() ? ProcessUserQualifiedName() : package.credentialUser;
      } else if (context.established) {
        user = context.peerUser;
      } else {
        return SEC_E_UNSUPPORTED_FUNCTION;
      }
      WCHAR* name = AllocWide(WideOf(user), "buffer");
      if (name == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
      static_cast<SecPkgContext_NamesW*>(buffer)->sUserName = name;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_LIFESPAN: {
      if (!context.established) return SEC_E_INVALID_HANDLE;
      const long long kUnixEpochIn1601 = 11644473600LL;
      auto* lifespan = static_cast<SecPkgContext_Lifespan*>(buffer);
      lifespan->tsStart.QuadPart = (context.establishedAt + kUnixEpochIn1601) * 10000000LL;
      lifespan->tsExpiry.QuadPart = (context.establishedAt + package.lifetime + kUnixEpochIn1601) * 10000000LL;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_PACKAGE_INFO:
      return WritePackageInfo(package.name, package.comment, package.sizes.maxToken, buffer);
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

}  // namespace winhost::simulated
