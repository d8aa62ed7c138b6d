// The messages of a context accepted on the thread's own krb5 context: RFC 4121's wrap tokens.
//
// A wrap token is a 16-byte header { 05 04, flags, FF, EC (2), RRC (2), sequence number (8) }, all
// big-endian, then the protected message. Sealed, that is the encryption of { message, EC bytes of
// filler, a copy of the header with RRC 0 } and its HMAC; signed only, the message and a checksum
// (EC its length) over { message, header with EC and RRC 0 }. The last RRC bytes of the whole are
// rotated to the front, right after the header: with RRC the length of what follows the message,
// the token splits into a header buffer and the message in place, as SSPI's buffers are.
#include <krb5/krb5.h>

#include <algorithm>
#include <cstring>

#include "system/kerberos/direct_acceptor.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

constexpr size_t kHeader = 16;
constexpr uint8_t kFromAcceptor = 0x01, kSealed = 0x02, kAcceptorSubkey = 0x04;
constexpr krb5_keyusage kAcceptorSeal = 22, kAcceptorSign = 23, kInitiatorSeal = 24, kInitiatorSign = 25;

struct Lengths {
  unsigned int confounder = 0;  // krb5's header: the confounder
  unsigned int hmac = 0;        // krb5's trailer: the HMAC of a sealed token
  unsigned int checksum = 0;    // the checksum of a signed one
};

bool LengthsOf(krb5_context context, krb5_enctype enctype, Lengths& lengths) {
  return context != nullptr &&
         krb5_c_crypto_length(context, enctype, KRB5_CRYPTO_TYPE_HEADER, &lengths.confounder) == 0 &&
         krb5_c_crypto_length(context, enctype, KRB5_CRYPTO_TYPE_TRAILER, &lengths.hmac) == 0 &&
         krb5_c_crypto_length(context, enctype, KRB5_CRYPTO_TYPE_CHECKSUM, &lengths.checksum) == 0;
}

void Put16(uint8_t* at, size_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
size_t Get16(const uint8_t* at) { return static_cast<size_t>(at[0]) << 8 | at[1]; }

void WriteHeader(uint8_t* at, uint8_t flags, size_t ec, size_t rrc, uint64_t seq) {
  at[0] = 0x05;
  at[1] = 0x04;
  at[2] = flags;
  at[3] = 0xFF;
  Put16(at + 4, ec);
  Put16(at + 6, rrc);
  for (int i = 0; i < 8; ++i) at[8 + i] = static_cast<uint8_t>(seq >> (56 - 8 * i));
}

krb5_crypto_iov Iov(krb5_cryptotype type, void* at, size_t length) {
  krb5_crypto_iov iov;
  iov.flags = type;
  iov.data.magic = 0;
  iov.data.length = static_cast<unsigned int>(length);
  iov.data.data = static_cast<char*>(at);
  return iov;
}

// The checksum of a signed token over { message, header with EC and RRC 0 }.
krb5_error_code Checksum(krb5_context context, DirectSession& session, krb5_keyusage usage, const uint8_t* header,
                         uint8_t* message, size_t length, uint8_t* checksum, size_t checksumLength, bool verify) {
  uint8_t zeroed[kHeader];
  std::memcpy(zeroed, header, kHeader);
  Put16(zeroed + 4, 0);
  Put16(zeroed + 6, 0);
  krb5_crypto_iov iov[3] = {Iov(KRB5_CRYPTO_TYPE_SIGN_ONLY, message, length),
                            Iov(KRB5_CRYPTO_TYPE_SIGN_ONLY, zeroed, kHeader),
                            Iov(KRB5_CRYPTO_TYPE_CHECKSUM, checksum, checksumLength)};
  if (!verify) return krb5_k_make_checksum_iov(context, 0, session.Key(), usage, iov, 3);
  krb5_boolean valid = false;
  const krb5_error_code error = krb5_k_verify_checksum_iov(context, 0, session.Key(), usage, iov, 3, &valid);
  return error != 0 ? error : valid ? 0 : KRB5KRB_AP_ERR_BAD_INTEGRITY;
}

// The token buffer a sealed message needs: the header, then rotated into it the encrypted copy of
// the header, the HMAC and the confounder; a signed one's: the header and the checksum.
size_t HeaderLength(const Lengths& lengths, bool confidential) {
  return confidential ? kHeader + kHeader + lengths.hmac + lengths.confounder : kHeader + lengths.checksum;
}

}  // namespace

size_t DirectHeaderLength(const DirectSession& session, bool confidential) {
  Lengths lengths;
  return LengthsOf(ThreadKrb5Context().context, session.Enctype(), lengths) ? HeaderLength(lengths, confidential) : 0;
}

SECURITY_STATUS SealDirect(DirectSession& session, bool confidential, SecBuffer& token, SecBuffer& data,
                           SecBuffer* padding) {
  krb5_context context = ThreadKrb5Context().context;
  Lengths lengths;
  if (!LengthsOf(context, session.Enctype(), lengths)) return SEC_E_INTERNAL_ERROR;
  const size_t needed = HeaderLength(lengths, confidential);
  if (token.pvBuffer == nullptr || token.cbBuffer < needed) return SEC_E_BUFFER_TOO_SMALL;
  auto* out = static_cast<uint8_t*>(token.pvBuffer);
  auto* message = static_cast<uint8_t*>(data.pvBuffer);
  const uint64_t seq = session.NextSend();
  const uint8_t from = kFromAcceptor | (session.SubkeySent() ? kAcceptorSubkey : 0);
  krb5_error_code error = 0;
  if (confidential) {
    // { header | E(header copy) | HMAC | E(confounder) } in the token buffer, E(message) in place.
    const size_t rrc = kHeader + lengths.hmac;
    WriteHeader(out, from | kSealed, 0, rrc, seq);
    WriteHeader(out + kHeader, from | kSealed, 0, 0, seq);
    krb5_crypto_iov iov[4] = {Iov(KRB5_CRYPTO_TYPE_HEADER, out + kHeader + rrc, lengths.confounder),
                              Iov(KRB5_CRYPTO_TYPE_DATA, message, data.cbBuffer),
                              Iov(KRB5_CRYPTO_TYPE_DATA, out + kHeader, kHeader),
                              Iov(KRB5_CRYPTO_TYPE_TRAILER, out + kHeader + kHeader, lengths.hmac)};
    const std::optional<uint32_t> fault = Enter(Call{"krb5_k_encrypt_iov", {}});
    error = fault ? static_cast<krb5_error_code>(*fault) : krb5_k_encrypt_iov(context, session.Key(), kAcceptorSeal, nullptr, iov, 4);
  } else {
    WriteHeader(out, from, lengths.checksum, lengths.checksum, seq);
    error = Checksum(context, session, kAcceptorSign, out, message, data.cbBuffer, out + kHeader, lengths.checksum, false);
  }
  if (error != 0) {
    TraceRefusal("a message", "krb5 could not protect it");
    return SEC_E_INTERNAL_ERROR;
  }
  token.cbBuffer = static_cast<ULONG>(needed);
  if (padding != nullptr) padding->cbBuffer = 0;
  return SEC_E_OK;
}

SECURITY_STATUS OpenDirect(DirectSession& session, SecBuffer& stream, SecBuffer& data, bool& confidential) {
  krb5_context context = ThreadKrb5Context().context;
  Lengths lengths;
  if (!LengthsOf(context, session.Enctype(), lengths)) return SEC_E_INTERNAL_ERROR;
  auto* token = static_cast<uint8_t*>(stream.pvBuffer);
  const size_t length = stream.cbBuffer;
  // A token of the client's. The AP-REP names the client's own subkey as this side's, so a token
  // under "the acceptor's subkey" is under the same key as one without the flag.
  if (length < kHeader || token[0] != 0x05 || token[1] != 0x04 || token[3] != 0xFF ||
      (token[2] & ~(kSealed | kAcceptorSubkey)) != 0)
    return SEC_E_INVALID_TOKEN;
  confidential = (token[2] & kSealed) != 0;
  const size_t ec = Get16(token + 4), body = length - kHeader;
  uint64_t seq = 0;
  for (int i = 0; i < 8; ++i) seq = seq << 8 | token[8 + i];
  uint8_t* at = token + kHeader;
  if (body > 0) std::rotate(at, at + Get16(token + 6) % body, at + body);
  krb5_error_code error = 0;
  size_t start = 0, size = 0;
  if (confidential) {
    if (body < lengths.confounder + ec + kHeader + lengths.hmac) return SEC_E_INVALID_TOKEN;
    const size_t inner = body - lengths.confounder - lengths.hmac;
    krb5_crypto_iov iov[3] = {Iov(KRB5_CRYPTO_TYPE_HEADER, at, lengths.confounder),
                              Iov(KRB5_CRYPTO_TYPE_DATA, at + lengths.confounder, inner),
                              Iov(KRB5_CRYPTO_TYPE_TRAILER, at + lengths.confounder + inner, lengths.hmac)};
    const std::optional<uint32_t> fault = Enter(Call{"krb5_k_decrypt_iov", {}});
    error = fault ? static_cast<krb5_error_code>(*fault) : krb5_k_decrypt_iov(context, session.Key(), kInitiatorSeal, nullptr, iov, 3);
    // The header's copy inside must be the header, but for its RRC.
    const uint8_t* copy = at + lengths.confounder + inner - kHeader;
    if (error == 0 && (std::memcmp(copy, token, 6) != 0 || std::memcmp(copy + 8, token + 8, 8) != 0))
      error = KRB5KRB_AP_ERR_BAD_INTEGRITY;
    start = lengths.confounder;
    size = inner - ec - kHeader;
  } else {
    if (ec != lengths.checksum || body < ec) return SEC_E_INVALID_TOKEN;
    size = body - ec;
    error = Checksum(context, session, kInitiatorSign, token, at, size, at + size, ec, true);
  }
  if (error != 0) {
    TraceRefusal("a message", "its token does not verify with the context's key");
    return SEC_E_MESSAGE_ALTERED;
  }
  if (!session.Receive(seq)) {
    TraceRefusal("a message", "its sequence number was seen before, or is out of order");
    return SEC_E_OUT_OF_SEQUENCE;
  }
  data.pvBuffer = at + start;
  data.cbBuffer = static_cast<ULONG>(size);
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
