// The queries of an established context: its sizes for message protection, its lifespan, its
// names and its package.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <algorithm>
#include <ctime>

#include "common/sspi.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

// The header (token) and padding lengths a wrap of one protection needs; false where the
// mechanism cannot say (it has no wrap of separate buffers).
bool WrapLengths(gss_ctx_id_t ctx, int confidential, size_t dataLength, size_t& header, size_t& padding) {
  gss_iov_buffer_desc iov[3] = {};
  iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
  iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
  iov[1].buffer.length = dataLength;
  iov[2].type = GSS_IOV_BUFFER_TYPE_PADDING;
  OM_uint32 minor = 0;
  if (GSS_ERROR(gss_wrap_iov_length(&minor, ctx, confidential, GSS_C_QOP_DEFAULT, nullptr, iov, 3))) return false;
  header = iov[0].buffer.length;
  padding = iov[2].buffer.length;
  return true;
}

// The overhead of a whole wrap token, for mechanisms without separate buffers.
size_t WrapOverhead(gss_ctx_id_t ctx, int confidential) {
  const OM_uint32 kProbe = 65536;
  OM_uint32 minor = 0;
  OM_uint32 fits = 0;
  if (GSS_ERROR(gss_wrap_size_limit(&minor, ctx, confidential, GSS_C_QOP_DEFAULT, kProbe, &fits)) || fits > kProbe)
    return 0;
  return kProbe - fits;
}

// Sizes of an established context, from the mechanism and without touching its sequence numbers:
// the token (trailer) buffer holds the largest header, the padding buffer the largest padding. A
// cipher's block is a power of two of at most 16 bytes, and its padding fills a message up to a
// whole block (nothing when it is whole) or by one to a whole block (a block when it is whole): so
// the largest padding of any length is that of a message of one byte or of 16, and two probes find
// it where a message of every length up to 16 would.
SECURITY_STATUS ContextSizes(const Context& context, SecPkgContext_Sizes& sizes) {
  sizes = SecPkgContext_Sizes{context.mechanism->maxToken, 0, 0, 0};
  if (!context.established) return SEC_E_OK;
  if (context.direct) {
    sizes.cbSecurityTrailer = static_cast<ULONG>(DirectHeaderLength(*context.direct, true));
    sizes.cbMaxSignature = static_cast<ULONG>(DirectHeaderLength(*context.direct, false));
    sizes.cbBlockSize = 1;
    return sizes.cbSecurityTrailer != 0 ? SEC_E_OK : SEC_E_UNSUPPORTED_FUNCTION;
  }
  size_t sealedHeader = 0, signedHeader = 0, padding = 0, largestPadding = 0;
  if (WrapLengths(context.ctx.get(), 1, 1, sealedHeader, largestPadding) &&
      WrapLengths(context.ctx.get(), 0, 1, signedHeader, padding)) {
    if (WrapLengths(context.ctx.get(), 1, 16, sealedHeader, padding) && padding > largestPadding) largestPadding = padding;
    sizes.cbSecurityTrailer = static_cast<ULONG>(std::max(sealedHeader, signedHeader));
    sizes.cbMaxSignature = static_cast<ULONG>(signedHeader);
  } else {
    sizes.cbSecurityTrailer = static_cast<ULONG>(std::max(WrapOverhead(context.ctx.get(), 1), WrapOverhead(context.ctx.get(), 0)));
    sizes.cbMaxSignature = static_cast<ULONG>(WrapOverhead(context.ctx.get(), 0));
    if (sizes.cbSecurityTrailer == 0) return SEC_E_UNSUPPORTED_FUNCTION;
  }
  // A block size of 1 says that messages need no alignment; the padding buffer is never empty.
  sizes.cbBlockSize = static_cast<ULONG>(std::max<size_t>(largestPadding, 1));
  return SEC_E_OK;
}

// From the time the context was established to the end of the ticket it rests on, as GSSAPI
// counts what remains of it now. A Kerberos acceptor lets a context run the allowed clock skew
// past the ticket's end; Windows' lifespan, and a session resting on it, ends with the ticket.
SECURITY_STATUS ContextLifespan(const Context& context, SecPkgContext_Lifespan& lifespan) {
  const long long kUnixEpochIn1601 = 11644473600LL;
  lifespan.tsStart.QuadPart = (static_cast<long long>(context.establishedAt) + kUnixEpochIn1601) * 10000000LL;
  if (context.established && context.direct) {
    lifespan.tsExpiry.QuadPart = (context.direct->TicketEnd() + kUnixEpochIn1601) * 10000000LL;
    return SEC_E_OK;
  }
  if (!context.established || !context.ctx) return SEC_E_INVALID_HANDLE;
  OM_uint32 minor = 0;
  OM_uint32 remaining = 0;
  OM_uint32 major = Fault("gss_inquire_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_inquire_context(&minor, context.ctx.get(), nullptr, nullptr, &remaining, nullptr, nullptr, nullptr, nullptr);
  // An expired context still answers, with nothing remaining.
  if (GSS_ERROR(major) && GSS_ROUTINE_ERROR(major) != GSS_S_CONTEXT_EXPIRED)
    return Failed("gss_inquire_context", major, minor, context.mechanism->oid, false);
  if (!GSS_ERROR(major) && remaining == GSS_C_INDEFINITE) {
    lifespan.tsExpiry.QuadPart = 0x7FFFFFFFFFFFFFFFLL;
  } else {
    long long left = GSS_ERROR(major) ? 0 : static_cast<long long>(remaining);
    if (!context.client && IsKerberos(context.actual)) left -= ClockSkew();
    lifespan.tsExpiry.QuadPart = (static_cast<long long>(std::time(nullptr)) + left + kUnixEpochIn1601) * 10000000LL;
  }
  return SEC_E_OK;
}

}  // namespace

long long ClockSkew() { return SkewOf(SharedKrb5()); }

SECURITY_STATUS QueryAttribute(PCtxtHandle handle, ULONG attribute, void* buffer) {
  Context* context = FindContext(handle);
  if (context == nullptr) return SEC_E_INVALID_HANDLE;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  switch (attribute) {
    case SECPKG_ATTR_SIZES:
      return ContextSizes(*context, *static_cast<SecPkgContext_Sizes*>(buffer));
    case SECPKG_ATTR_NAMES: {
      // A client is the principal of its ticket; a server knows its client once it authenticated.
      // A server's client was named when it was admitted.
      if (!context->client) {
        if (!context->established) return SEC_E_UNSUPPORTED_FUNCTION;
        WCHAR* wide = AllocWide(context->clientName, "buffer");
        if (wide == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
        static_cast<SecPkgContext_NamesW*>(buffer)->sUserName = wide;
        return SEC_E_OK;
      }
      std::string name;
      if (context->ctx) {
        OM_uint32 minor = 0;
        GssName self;
        OM_uint32 major = Fault("gss_inquire_context", minor);
        if (major == GSS_S_COMPLETE)
          major = gss_inquire_context(&minor, context->ctx.get(), self.out(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
        if (GSS_ERROR(major)) return Failed("gss_inquire_context", major, minor, context->mechanism->oid, false);
        name = NameText(self.get());
      }
      if (name.empty()) return SEC_E_UNSUPPORTED_FUNCTION;
      // A client's own principal may have no Windows name.
      const std::optional<std::u16string> windowsName = WindowsName(name, context->mechanism->oid);
      if (!windowsName) return SEC_E_UNKNOWN_CREDENTIALS;
      WCHAR* wide = AllocWide(*windowsName, "buffer");
      if (wide == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
      static_cast<SecPkgContext_NamesW*>(buffer)->sUserName = wide;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_LIFESPAN:
      return ContextLifespan(*context, *static_cast<SecPkgContext_Lifespan*>(buffer));
    case SECPKG_ATTR_PACKAGE_INFO:
      return WritePackageInfo(context->mechanism->package, std::string(context->mechanism->comment),
                              context->mechanism->maxToken, buffer);
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

}  // namespace winhost::system::kerberos
