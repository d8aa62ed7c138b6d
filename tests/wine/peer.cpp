// The test program as one side of an authentication with a peer in another process (a Java server
// on Linux, say), driven line by line over standard input and output. The side is a security
// context of the library's ("client", "server", or "delegating-client", a client that asks to
// delegate) or, to tell the library's answers from the platform's, a client of the platform's
// own SSPI ("platform-client"). Requests and answers are
// one line each, bytes in base64:
//   step B64     -> "token B64 DONE NAME": the context's next token (the first one for an empty
//                   request to a client), DONE 1 once established, and then the client's name
//                   for a server, or what GetClientUserName threw in parentheses ("-" otherwise)
//   wrap B64     -> "wrapped B64"
//   unwrap B64   -> "plain B64"
// The platform's client wraps and unwraps over the buffers the library uses (the token of the
// size query's trailer, the data and the padding; one stream to unwrap), and also in the layout
// of a package that puts the data first:
//   wrap-data-first B64       -> "wrapped B64": the data, then a token as large as the package's
//                                largest
//   unwrap-data-first B64 N   -> "plain B64": the first N bytes as the data, the rest as the token
// A call that fails answers "error " and what it threw ("WinAuthException: Platform error: ...")
// or, for the platform's client, "Platform error: ...". Every call of the library is also checked
// as the suite checks it; those reports go to standard error, which ends with the counts, and the
// exit status is 0 only when none failed.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "wine/sspi_platform.h"
#include "wine/suite.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t group = bytes[i] << 16 | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    for (size_t k = 0; k < 4; ++k) out += i + k <= bytes.size() ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// Nullopt for text that is not base64.
std::optional<std::vector<uint8_t>> Decode(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t group = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const char* at = std::strchr(kAlphabet, c);
    if (c == '\0' || at == nullptr) return std::nullopt;
    group = group << 6 | static_cast<uint32_t>(at - kAlphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(group >> bits));
    }
  }
  return out;
}

void Answer(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// One side, as the requests reach it; `size` is the request's number, 0 when it has none.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual std::string Step(const std::vector<uint8_t>& token) = 0;
  // Nullopt for a verb this side does not know.
  virtual std::optional<std::string> Protect(const std::string& verb, const std::vector<uint8_t>& message, size_t size) = 0;
};

// A context of the library's, through its entry points and the fake JNI environment.
class LibraryPeer : public Peer {
 public:
  LibraryPeer(Context& c, bool client, jint flags, const std::u16string& package, const std::u16string& target)
      : c_(c), client_(client), flags_(flags), package_(package), target_(target) {}
  ~LibraryPeer() override {
    if (handle_ != 0) InvokeVoid(c_.jvm, "SSPI.FreeHandle", c_.library.Get<VoidFn>("SSPI_FreeHandle"), handle_);
  }

  std::string Step(const std::vector<uint8_t>& token) override {
    const Library& l = c_.library;
    std::string thrown;
    if (handle_ == 0) {
      jstring package = c_.jvm.String(package_);
      jstring target = client_ ? c_.jvm.String(target_) : nullptr;
      auto created = Invoke(c_.jvm, "SSPI.CreateContext", l.Get<CreateContextFn>("SSPI_CreateContext"),
                            static_cast<jboolean>(client_), flags_, package, target);
      c_.jvm.Delete(package);
      if (target != nullptr) c_.jvm.Delete(target);
      handle_ = created.value;
      thrown = created.thrown;
    }
    if (thrown.empty() && !(client_ && !started_)) {
      jbyteArray input = c_.jvm.Bytes(token);
      auto step = Invoke(c_.jvm, client_ ? "Initialize" : "Accept", l.Get<TokenStepFn>(client_ ? "SSPI_Initialize" : "SSPI_Accept"),
                         handle_, input);
      c_.jvm.Delete(input);
      thrown = step.thrown;
    }
    started_ = true;
    if (!thrown.empty()) return "error " + thrown;
    auto answer = Invoke(c_.jvm, "GetChallengeToken", l.Get<BytesFn>("SSPI_GetChallengeToken"), handle_);
    std::vector<uint8_t> bytes;
    if (answer.value != nullptr) {
      bytes = c_.jvm.BytesOf(answer.value);
      c_.jvm.Delete(answer.value);
    }
    // Established exactly when the context has negotiated attributes to give.
    const bool done = Invoke(c_.jvm, "GetNegotiatedAttributes", l.Get<HandleFn>("SSPI_GetNegotiatedAttributes"), handle_)
                          .thrown.empty();
    std::string name = "-";
    if (done && !client_) {
      auto user = Invoke(c_.jvm, "GetClientUserName", l.Get<TextFn>("SSPI_GetClientUserName"), handle_);
      std::optional<std::u16string> text = TakeText(c_.jvm, user.value);
      name = text ? Narrow(*text) : "(" + user.thrown + ")";
    }
    return "token " + Encode(bytes) + (done ? " 1 " : " 0 ") + name;
  }

  std::optional<std::string> Protect(const std::string& verb, const std::vector<uint8_t>& message, size_t) override {
    if (verb != "wrap" && verb != "unwrap") return std::nullopt;
    const bool wrap = verb == "wrap";
    jbyteArray input = c_.jvm.Bytes(message);
    auto out = Invoke(c_.jvm, wrap ? "Wrap" : "Unwrap", c_.library.Get<MessageFn>(wrap ? "SSPI_Wrap" : "SSPI_Unwrap"),
                      handle_, input);
    c_.jvm.Delete(input);
    if (out.value == nullptr) return "error " + out.thrown;
    std::vector<uint8_t> bytes = c_.jvm.BytesOf(out.value);
    c_.jvm.Delete(out.value);
    return (wrap ? "wrapped " : "plain ") + Encode(bytes);
  }

 private:
  Context& c_;
  const bool client_;
  const jint flags_;
  const std::u16string package_, target_;
  jint handle_ = 0;
  bool started_ = false;
};

// A client of the platform's own SSPI, beside the library's: what the package itself answers.
class PlatformPeer : public Peer {
 public:
  PlatformPeer(const std::u16string& package, const std::u16string& target) : package_(package), target_(target) {}

  std::string Step(const std::vector<uint8_t>& token) override {
    if (!acquired_) {
      acquired_ = true;
      const SECURITY_STATUS status = side_.Acquire(true, package_);
      if (status != SEC_E_OK) return "error " + PlatformError(static_cast<uint32_t>(status));
      side_.Step(true, target_, nullptr);
    } else {
      side_.Step(true, target_, &token);
    }
    SECURITY_STATUS status = side_.status;
    if (status == SEC_E_OK) status = side_.sizesStatus;
    if (!Succeeded(status)) return "error " + PlatformError(static_cast<uint32_t>(status));
    if (status == SEC_E_OK) {
      Note("the package's sizes: trailer " + std::to_string(side_.sizes.cbSecurityTrailer) + ", block " +
           std::to_string(side_.sizes.cbBlockSize) + ", largest token " + std::to_string(side_.sizes.cbMaxToken));
    }
    return "token " + Encode(side_.token) + (status == SEC_E_OK ? " 1 -" : " 0 -");
  }

  std::optional<std::string> Protect(const std::string& verb, const std::vector<uint8_t>& message, size_t size) override {
    std::vector<uint8_t> data = message, token, padding;
    std::vector<SecBuffer> buffers;
    auto Over = [](ULONG type, std::vector<uint8_t>& bytes) {
      return SecBuffer{static_cast<ULONG>(bytes.size()), type, bytes.empty() ? nullptr : bytes.data()};
    };
    auto Held = [](const SecBuffer& buffer) {
      const auto* bytes = static_cast<const uint8_t*>(buffer.pvBuffer);
      return bytes == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + buffer.cbBuffer);
    };
    const bool wrap = verb == "wrap" || verb == "wrap-data-first";
    if (verb == "wrap") {
      token.resize(side_.sizes.cbSecurityTrailer);
      padding.resize(side_.sizes.cbBlockSize);
      buffers = {Over(SECBUFFER_TOKEN, token), Over(SECBUFFER_DATA, data), Over(SECBUFFER_PADDING, padding)};
    } else if (verb == "wrap-data-first") {
      token.resize(side_.sizes.cbMaxToken);
      buffers = {Over(SECBUFFER_DATA, data), Over(SECBUFFER_TOKEN, token)};
    } else if (verb == "unwrap") {
      buffers = {Over(SECBUFFER_STREAM, data), SecBuffer{0, SECBUFFER_DATA, nullptr}};
    } else if (verb == "unwrap-data-first" && size <= message.size()) {
      token.assign(message.begin() + static_cast<std::ptrdiff_t>(size), message.end());
      data.resize(size);
      buffers = {Over(SECBUFFER_DATA, data), Over(SECBUFFER_TOKEN, token)};
    } else {
      return std::nullopt;
    }
    SecBufferDesc descriptor{SECBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
    const ULONG quality = (side_.attributes & ISC_RET_CONFIDENTIALITY) != 0 ? 0 : SECQOP_WRAP_NO_ENCRYPT;
    const SECURITY_STATUS status =
        wrap ? EncryptMessage(&side_.context, quality, &descriptor, 0) : DecryptMessage(&side_.context, &descriptor, 0, nullptr);
    if (status != SEC_E_OK) return "error " + PlatformError(static_cast<uint32_t>(status));
    std::vector<uint8_t> out;
    for (const SecBuffer& buffer : buffers) {
      if (wrap || buffer.BufferType == SECBUFFER_DATA) {
        const std::vector<uint8_t> part = Held(buffer);
        out.insert(out.end(), part.begin(), part.end());
      }
    }
    return (wrap ? "wrapped " : "plain ") + Encode(out);
  }

 private:
  const std::u16string package_;
  std::u16string target_;
  PlatformSide side_;
  bool acquired_ = false;
};

}  // namespace

void ServePeer(Context& c, const std::u16string& role, const std::u16string& package, const std::u16string& target) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  Group("peer: " + Narrow(role) + " of " + Narrow(package));
  std::unique_ptr<Peer> peer;
  if (role == u"platform-client") {
    peer = std::make_unique<PlatformPeer>(package, target);
  } else if (Check(role == u"client" || role == u"server" || role == u"delegating-client", "a side the peer knows",
                   Narrow(role))) {
    const bool client = role != u"server";
    const ULONG flags = !client ? 0 : role == u"client" ? kClientFlags : kClientFlags | ISC_REQ_DELEGATE;
    peer = std::make_unique<LibraryPeer>(c, client, static_cast<jint>(flags), package, target);
  } else {
    return;
  }
  char line[1 << 16];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::string request(line);
    while (!request.empty() && (request.back() == '\n' || request.back() == '\r')) request.pop_back();
    // VERB B64 [N]
    const size_t space = request.find(' ');
    const std::string verb = request.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : request.substr(space + 1);
    const size_t second = rest.find(' ');
    const std::optional<std::vector<uint8_t>> bytes = Decode(rest.substr(0, second));
    const size_t size = second == std::string::npos ? 0 : std::strtoul(rest.c_str() + second + 1, nullptr, 10);
    std::optional<std::string> answer;
    if (bytes) answer = verb == "step" ? peer->Step(*bytes) : peer->Protect(verb, *bytes, size);
    if (!Check(answer.has_value(), "a request the peer knows", request.substr(0, 40))) answer = "error bad request";
    Answer(*answer);
  }
}
