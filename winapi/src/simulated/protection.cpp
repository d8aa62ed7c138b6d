// Message protection of the simulated packages: EncryptMessage and DecryptMessage with AES-256
// and HMAC-SHA256 under keys drawn from the session key the two peers share.
//
// A protected message is token + data + padding. The token is an 8-byte header (05 04, flags,
// padding length, the sender's own message number, big-endian), then for block-cipher packages
// the 16-byte CBC initialisation vector, then the MAC over header, vector, data and padding:
// 8 bytes for stream packages (16-byte token), all 32 for block packages (56-byte token).
// Packages without a block size seal with AES-256-CTR and never pad; the others seal with
// AES-256-CBC and pad the data to the next 16-byte boundary (no padding when it is already on
// one). A signed-only message keeps its data in the clear and is never padded. Each direction
// has keys of its own, so a side cannot be fooled with its own messages. Sequence numbers
// passed by the caller are recorded but not enforced: the packages accept messages in any order.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/world.h"
#include "simulated/sspi.h"

namespace winhost::simulated {
namespace {

constexpr uint8_t kTokenId0 = 0x05;
constexpr uint8_t kTokenId1 = 0x04;
constexpr uint8_t kSealedFlag = 0x01;
constexpr size_t kHeaderLength = 8;
constexpr size_t kAesBlock = 16;

struct Layout {
  bool blockCipher;
  size_t vectorLength;
  size_t macLength;
  size_t TokenLength() const { return kHeaderLength + vectorLength + macLength; }
};

Layout LayoutOf(const Package& package) {
  if (package.sizes.blockSize == 0) return Layout{false, 0, 8};
  return Layout{true, kAesBlock, 32};
}

std::vector<uint8_t> Hmac(const std::vector<uint8_t>& key, const uint8_t* data, size_t length) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int macLength = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, length, mac, &macLength);
  return std::vector<uint8_t>(mac, mac + macLength);
}

struct Keys {
  std::vector<uint8_t> seal;
  std::vector<uint8_t> sign;
};

// The keys of the messages that `fromClient` names the sender of.
Keys DirectionKeys(const Context& context, bool fromClient) {
  const std::string direction = fromClient ? "client-to-server" : "server-to-client";
  const std::string seal = "seal " + direction;
  const std::string sign = "sign " + direction;
  return Keys{Hmac(context.key, reinterpret_cast<const uint8_t*>(seal.data()), seal.size()),
              Hmac(context.key, reinterpret_cast<const uint8_t*>(sign.data()), sign.size())};
}

// AES-256 over `bytes` in place: CTR (either way) or CBC without padding of its own.
bool Cipher(bool blockCipher, bool encrypt, const std::vector<uint8_t>& key, const uint8_t* vector,
            std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return true;
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  if (cipher == nullptr) return false;
  std::vector<uint8_t> out(bytes.size() + kAesBlock);
  int written = 0;
  int last = 0;
  bool ok = EVP_CipherInit_ex(cipher, blockCipher ? EVP_aes_256_cbc() : EVP_aes_256_ctr(), nullptr, key.data(), vector,
                              encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(cipher, 0) == 1 &&
            EVP_CipherUpdate(cipher, out.data(), &written, bytes.data(), static_cast<int>(bytes.size())) == 1 &&
            EVP_CipherFinal_ex(cipher, out.data() + written, &last) == 1;
  EVP_CIPHER_CTX_free(cipher);
  if (!ok || static_cast<size_t>(written + last) != bytes.size()) return false;
  std::memcpy(bytes.data(), out.data(), bytes.size());
  return true;
}

// The counter block of a stream-sealed message: its number, then a block counter from zero.
std::vector<uint8_t> CounterBlock(const uint8_t* header) {
  std::vector<uint8_t> block(kAesBlock, 0);
  std::memcpy(block.data(), header + 4, 4);
  return block;
}

std::vector<uint8_t> MessageMac(const Keys& keys, const Layout& layout, const uint8_t* token,
                                const std::vector<uint8_t>& body) {
  std::vector<uint8_t> covered(token, token + kHeaderLength + layout.vectorLength);
  covered.insert(covered.end(), body.begin(), body.end());
  std::vector<uint8_t> mac = Hmac(keys.sign, covered.data(), covered.size());
  mac.resize(layout.macLength);
  return mac;
}

// The context a message call may use, or the status that refuses it.
SECURITY_STATUS UsableContext(PCtxtHandle handle, PSecBufferDesc message, Context*& context, const Package*& package) {
  context = FindContext(handle);
  if (context == nullptr || !context->established || context->key.empty()) return SEC_E_INVALID_HANDLE;
  package = FindPackage(context->package);
  if (package == nullptr) return SEC_E_INVALID_HANDLE;
  if (message == nullptr || message->pBuffers == nullptr) return SEC_E_INVALID_TOKEN;
  return SEC_E_OK;
}

}  // namespace
}  // namespace winhost::simulated

using namespace winhost;
using namespace winhost::simulated;

SECURITY_STATUS world::Encrypt(WorldLock&, PCtxtHandle context, ULONG qop, PSecBufferDesc message) {
  Context* found = nullptr;
  const Package* package = nullptr;
  if (SECURITY_STATUS usable = UsableContext(context, message, found, package); usable != SEC_E_OK) return usable;

  SecBuffer* token = FindBuffer(message, SECBUFFER_TOKEN);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  SecBuffer* padding = FindBuffer(message, SECBUFFER_PADDING);
  if (token == nullptr || data == nullptr || (data->cbBuffer > 0 && data->pvBuffer == nullptr)) return SEC_E_INVALID_TOKEN;
  bool seal = false;
  if (qop == 0) {
    // Sealing needs confidentiality negotiated (the bit is the same on both sides).
    if ((found->attributes & ISC_RET_CONFIDENTIALITY) == 0) return SEC_E_QOP_NOT_SUPPORTED;
    seal = true;
  } else if (qop != SECQOP_WRAP_NO_ENCRYPT) {
    return SEC_E_QOP_NOT_SUPPORTED;
  }
  const Layout layout = LayoutOf(*package);
  if (token->pvBuffer == nullptr || token->cbBuffer < layout.TokenLength()) return SEC_E_BUFFER_TOO_SMALL;
  const size_t length = data->cbBuffer;
  const size_t pad = seal && layout.blockCipher ? (kAesBlock - length % kAesBlock) % kAesBlock : 0;
  if (pad > 0 && (padding == nullptr || padding->pvBuffer == nullptr || padding->cbBuffer < pad))
    return SEC_E_BUFFER_TOO_SMALL;

  auto* out = static_cast<uint8_t*>(token->pvBuffer);
  const uint32_t number = found->sendSequence;
  const uint8_t header[kHeaderLength] = {kTokenId0, kTokenId1, static_cast<uint8_t>(seal ? kSealedFlag : 0),
                                         static_cast<uint8_t>(pad), static_cast<uint8_t>(number >> 24),
                                         static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 8),
                                         static_cast<uint8_t>(number)};
  std::memcpy(out, header, kHeaderLength);
  if (layout.blockCipher) RAND_bytes(out + kHeaderLength, static_cast<int>(layout.vectorLength));

  const Keys keys = DirectionKeys(*found, found->client);
  std::vector<uint8_t> body(length + pad, static_cast<uint8_t>(pad));
  if (length > 0) std::memcpy(body.data(), data->pvBuffer, length);
  if (seal) {
    const std::vector<uint8_t> counter = CounterBlock(out);
    const uint8_t* vector = layout.blockCipher ? out + kHeaderLength : counter.data();
    if (!Cipher(layout.blockCipher, true, keys.seal, vector, body)) return SEC_E_INTERNAL_ERROR;
  }
  const std::vector<uint8_t> mac = MessageMac(keys, layout, out, body);
  std::memcpy(out + kHeaderLength + layout.vectorLength, mac.data(), mac.size());

  token->cbBuffer = static_cast<ULONG>(layout.TokenLength());
  if (length > 0) std::memcpy(data->pvBuffer, body.data(), length);
  if (padding != nullptr) {
    if (pad > 0) std::memcpy(padding->pvBuffer, body.data() + length, pad);
    padding->cbBuffer = static_cast<ULONG>(pad);
  }
  found->sendSequence += 1;
  return SEC_E_OK;
}

SECURITY_STATUS world::Decrypt(WorldLock&, PCtxtHandle context, PSecBufferDesc message, PULONG qop) {
  Context* found = nullptr;
  const Package* package = nullptr;
  if (SECURITY_STATUS usable = UsableContext(context, message, found, package); usable != SEC_E_OK) return usable;

  SecBuffer* stream = FindBuffer(message, SECBUFFER_STREAM);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  if (stream == nullptr || data == nullptr || (stream->cbBuffer > 0 && stream->pvBuffer == nullptr))
    return SEC_E_INVALID_TOKEN;
  const Layout layout = LayoutOf(*package);
  const size_t total = stream->cbBuffer;
  if (total < layout.TokenLength()) return SEC_E_INCOMPLETE_MESSAGE;
  auto* bytes = static_cast<uint8_t*>(stream->pvBuffer);
  if (bytes[0] != kTokenId0 || bytes[1] != kTokenId1) return SEC_E_INVALID_TOKEN;
  const bool sealed = (bytes[2] & kSealedFlag) != 0;
  const size_t pad = bytes[3];
  const size_t rest = total - layout.TokenLength();
  // A sealed block-cipher message fills whole blocks: anything else was cut.
  if (sealed && layout.blockCipher && rest % kAesBlock != 0) return SEC_E_INCOMPLETE_MESSAGE;

  const Keys keys = DirectionKeys(*found, !found->client);
  std::vector<uint8_t> body(bytes + layout.TokenLength(), bytes + total);
  const std::vector<uint8_t> mac = MessageMac(keys, layout, bytes, body);
  if (CRYPTO_memcmp(mac.data(), bytes + kHeaderLength + layout.vectorLength, mac.size()) != 0 || pad > rest)
    return SEC_E_MESSAGE_ALTERED;
  if (sealed) {
    const std::vector<uint8_t> counter = CounterBlock(bytes);
    const uint8_t* vector = layout.blockCipher ? bytes + kHeaderLength : counter.data();
    if (!Cipher(layout.blockCipher, false, keys.seal, vector, body)) return SEC_E_INTERNAL_ERROR;
    if (!body.empty()) std::memcpy(bytes + layout.TokenLength(), body.data(), body.size());
  }
  data->pvBuffer = bytes + layout.TokenLength();
  data->cbBuffer = static_cast<ULONG>(rest - pad);
  if (qop != nullptr) *qop = sealed ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  return SEC_E_OK;
}

