// The system world's message protection: EncryptMessage and DecryptMessage over gss_wrap_iov and
// gss_unwrap_iov.
//
// The caller's token buffer is GSSAPI's header and its padding buffer GSSAPI's padding; with no
// trailer buffer the mechanism moves its trailer into the header (krb5 sets the token's rotation
// count for it), so token, data and padding laid end to end are one standard wrap token that any
// GSSAPI peer unwraps with gss_unwrap. The receiving side hands the whole token over as a stream
// and gets the data pointed at inside it. A mechanism without wrap of separate buffers (NTLM) is
// served by gss_wrap and gss_unwrap, split and joined at the same places; a context accepted
// without GSSAPI by RFC 4121's tokens of its own, laid out the same way (cfx_tokens.cpp).
#include <gssapi/gssapi_ext.h>

#include <cstring>

#include "common/sspi.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

gss_iov_buffer_desc Iov(OM_uint32 type, SecBuffer* buffer) {
  gss_iov_buffer_desc iov;
  iov.type = type;
  iov.buffer.length = buffer != nullptr && buffer->pvBuffer != nullptr ? buffer->cbBuffer : 0;
  iov.buffer.value = buffer != nullptr ? buffer->pvBuffer : nullptr;
  return iov;
}

// The whole token of gss_wrap, cut where the caller's buffers meet: the data buffer takes the
// token's last bytes of its own length, the token buffer all before them.
SECURITY_STATUS WrapWhole(Context& context, int confidential, SecBuffer* token, SecBuffer* data, SecBuffer* padding) {
  OM_uint32 minor = 0;
  gss_buffer_desc in = {data->cbBuffer, data->pvBuffer};
  GssBuffer out;
  OM_uint32 major = Fault("gss_wrap", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_wrap(&minor, context.ctx.get(), confidential, GSS_C_QOP_DEFAULT, &in, nullptr, out.out());
  if (GSS_ERROR(major)) return Failed("gss_wrap", major, minor, context.mechanism->oid, false);
  if (out->length < data->cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
  const size_t head = out->length - data->cbBuffer;
  if (head > token->cbBuffer || token->pvBuffer == nullptr) return SEC_E_BUFFER_TOO_SMALL;
  std::memcpy(token->pvBuffer, out->value, head);
  if (data->cbBuffer > 0) std::memcpy(data->pvBuffer, static_cast<uint8_t*>(out->value) + head, data->cbBuffer);
  token->cbBuffer = static_cast<ULONG>(head);
  if (padding != nullptr) padding->cbBuffer = 0;
  return SEC_E_OK;
}

SECURITY_STATUS UnwrapWhole(Context& context, SecBuffer* stream, SecBuffer* data, int& confidential) {
  OM_uint32 minor = 0;
  gss_buffer_desc in = {stream->cbBuffer, stream->pvBuffer};
  GssBuffer out;
  OM_uint32 major = Fault("gss_unwrap", minor);
  if (major == GSS_S_COMPLETE) major = gss_unwrap(&minor, context.ctx.get(), &in, out.out(), &confidential, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_unwrap", major, minor, context.mechanism->oid, false);
  // The plain message goes back into the stream the caller gave, which holds it whenever it is
  // shorter than its token, as every mechanism's is; a mechanism that gave more is refused rather
  // than let write past the caller's buffer.
  if (out->length > stream->cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
  if (out->length > 0) std::memmove(stream->pvBuffer, out->value, out->length);
  data->pvBuffer = stream->pvBuffer;
  data->cbBuffer = static_cast<ULONG>(out->length);
  return major & (GSS_S_DUPLICATE_TOKEN | GSS_S_OLD_TOKEN | GSS_S_UNSEQ_TOKEN) ? SEC_E_OUT_OF_SEQUENCE : SEC_E_OK;
}

// On the context set aside: the caller's buffers are the caller's own, and a large message's
// sealing takes a while that no other sign-on or message need wait for.
SECURITY_STATUS Seal(Context& context, ULONG qop, PSecBufferDesc message) {
  if (message == nullptr || message->pBuffers == nullptr) return SEC_E_INVALID_TOKEN;
  SecBuffer* token = FindBuffer(message, SECBUFFER_TOKEN);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  SecBuffer* padding = FindBuffer(message, SECBUFFER_PADDING);
  if (token == nullptr || data == nullptr || (data->cbBuffer > 0 && data->pvBuffer == nullptr)) return SEC_E_INVALID_TOKEN;
  int confidential = 0;
  if (qop == 0) {
    if ((context.attributes & ISC_RET_CONFIDENTIALITY) == 0) return SEC_E_QOP_NOT_SUPPORTED;
    confidential = 1;
  } else if (qop != SECQOP_WRAP_NO_ENCRYPT) {
    return SEC_E_QOP_NOT_SUPPORTED;
  }

  if (context.direct) return SealDirect(*context.direct, confidential != 0, *token, *data, padding);
  gss_iov_buffer_desc iov[3] = {Iov(GSS_IOV_BUFFER_TYPE_HEADER, token), Iov(GSS_IOV_BUFFER_TYPE_DATA, data),
                                Iov(GSS_IOV_BUFFER_TYPE_PADDING, padding)};
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_wrap_iov", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_wrap_iov(&minor, context.ctx.get(), confidential, GSS_C_QOP_DEFAULT, nullptr, iov, padding != nullptr ? 3 : 2);
  if (GSS_ROUTINE_ERROR(major) == GSS_S_UNAVAILABLE) return WrapWhole(context, confidential, token, data, padding);
  if (GSS_ERROR(major)) return Failed("gss_wrap_iov", major, minor, context.mechanism->oid, false);
  token->cbBuffer = static_cast<ULONG>(iov[0].buffer.length);
  if (padding != nullptr) padding->cbBuffer = static_cast<ULONG>(iov[2].buffer.length);
  return SEC_E_OK;
}

SECURITY_STATUS Open(Context& context, PSecBufferDesc message, PULONG qop) {
  if (message == nullptr || message->pBuffers == nullptr) return SEC_E_INVALID_TOKEN;
  SecBuffer* stream = FindBuffer(message, SECBUFFER_STREAM);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  if (stream == nullptr || data == nullptr || stream->pvBuffer == nullptr || stream->cbBuffer == 0)
    return SEC_E_INVALID_TOKEN;

  if (context.direct) {
    bool sealed = false;
    const SECURITY_STATUS status = OpenDirect(*context.direct, *stream, *data, sealed);
    if (status == SEC_E_OK && qop != nullptr) *qop = sealed ? 0 : SECQOP_WRAP_NO_ENCRYPT;
    return status;
  }
  int confidential = 0;
  gss_iov_buffer_desc iov[2] = {Iov(GSS_IOV_BUFFER_TYPE_STREAM, stream), Iov(GSS_IOV_BUFFER_TYPE_DATA, nullptr)};
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_unwrap_iov", minor);
  if (major == GSS_S_COMPLETE) major = gss_unwrap_iov(&minor, context.ctx.get(), &confidential, nullptr, iov, 2);
  SECURITY_STATUS status = SEC_E_OK;
  if (GSS_ROUTINE_ERROR(major) == GSS_S_UNAVAILABLE) {
    status = UnwrapWhole(context, stream, data, confidential);
  } else if (GSS_ERROR(major)) {
    return Failed("gss_unwrap_iov", major, minor, context.mechanism->oid, false);
  } else {
    // A token seen before, or older than the window, is refused; one that skipped a lost message is not.
    if (major & (GSS_S_DUPLICATE_TOKEN | GSS_S_OLD_TOKEN | GSS_S_UNSEQ_TOKEN)) {
      Trace("gss_unwrap_iov", major, minor, context.mechanism->oid);
      return SEC_E_OUT_OF_SEQUENCE;
    }
    data->pvBuffer = iov[1].buffer.value;
    data->cbBuffer = static_cast<ULONG>(iov[1].buffer.length);
  }
  if (status == SEC_E_OK && qop != nullptr) *qop = confidential ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  return status;
}

}  // namespace

SECURITY_STATUS Encrypt(WorldLock& guard, PCtxtHandle handle, ULONG qop, PSecBufferDesc message) {
  return WorkAside(guard, handle, [&](Context& context) { return Seal(context, qop, message); });
}

SECURITY_STATUS Decrypt(WorldLock& guard, PCtxtHandle handle, PSecBufferDesc message, PULONG qop) {
  return WorkAside(guard, handle, [&](Context& context) { return Open(context, message, qop); });
}

}  // namespace winhost::system::kerberos
