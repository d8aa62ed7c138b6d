// Owners of the GSSAPI and krb5 handles the system world holds: each releases its handle when it
// goes, so that no path through a function can leave one behind. They move and never copy; a
// handle handed on to a longer-lived holder leaves its owner by release().
#pragma once

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <krb5/krb5.h>

#include <memory>
#include <utility>

namespace winhost::system::kerberos {

// One GSSAPI handle (a name, a credential, a security context, a set) and the call that frees it.
template <typename Handle, OM_uint32 (*Free)(OM_uint32*, Handle*)>
class GssHandle {
 public:
  GssHandle() = default;
  explicit GssHandle(Handle handle) : handle_(handle) {}
  ~GssHandle() { reset(); }
  GssHandle(GssHandle&& other) noexcept : handle_(other.release()) {}
  GssHandle& operator=(GssHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  GssHandle(const GssHandle&) = delete;
  GssHandle& operator=(const GssHandle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // For a call that fills the handle in: what was held goes first.
  Handle* out() {
    reset();
    return &handle_;
  }
  // For a call that takes the handle in and may replace it (a context's next step).
  Handle* in_out() { return &handle_; }
  // Hands the handle on: its new holder frees it.
  Handle release() { return std::exchange(handle_, nullptr); }
  void reset(Handle handle = nullptr) {
    if (handle_ != nullptr) {
      OM_uint32 minor = 0;
      Free(&minor, &handle_);
    }
    handle_ = handle;
  }

 private:
  Handle handle_ = nullptr;
};

inline OM_uint32 DeleteGssContext(OM_uint32* minor, gss_ctx_id_t* context) {
  return gss_delete_sec_context(minor, context, GSS_C_NO_BUFFER);
}

using GssName = GssHandle<gss_name_t, gss_release_name>;
using GssCredential = GssHandle<gss_cred_id_t, gss_release_cred>;
using GssContext = GssHandle<gss_ctx_id_t, DeleteGssContext>;
using GssOidSet = GssHandle<gss_OID_set, gss_release_oid_set>;
using GssBufferSet = GssHandle<gss_buffer_set_t, gss_release_buffer_set>;

// A credential that several holders share (server handles that take the same acceptor credential):
// it goes with the last of them.
using SharedCredential = std::shared_ptr<gss_cred_id_struct>;
inline SharedCredential Share(GssCredential credential) {
  // Should the control block not be made, the deleter still frees the credential.
  return SharedCredential(credential.release(), [](gss_cred_id_t held) { GssCredential last(held); });
}

// A buffer GSSAPI filled in (a token, a name's text, an attribute's value), freed by GSSAPI.
class GssBuffer {
 public:
  GssBuffer() = default;
  ~GssBuffer() { reset(); }
  GssBuffer(const GssBuffer&) = delete;
  GssBuffer& operator=(const GssBuffer&) = delete;

  gss_buffer_t out() {
    reset();
    return &buffer_;
  }
  const gss_buffer_desc& operator*() const { return buffer_; }
  const gss_buffer_desc* operator->() const { return &buffer_; }
  void reset() {
    OM_uint32 minor = 0;
    if (buffer_.value != nullptr || buffer_.length != 0) gss_release_buffer(&minor, &buffer_);
    buffer_ = GSS_C_EMPTY_BUFFER;
  }

 private:
  gss_buffer_desc buffer_ = GSS_C_EMPTY_BUFFER;
};

// A krb5 context of the caller's own, freed with its owner. error() is krb5's code when it could
// not be made (the configuration unreadable, no memory); get() is then null.
class Krb5Context {
 public:
  Krb5Context() {
    error_ = krb5_init_context(&context_);
    if (error_ != 0) context_ = nullptr;
  }
  ~Krb5Context() {
    if (context_ != nullptr) krb5_free_context(context_);
  }
  Krb5Context(const Krb5Context&) = delete;
  Krb5Context& operator=(const Krb5Context&) = delete;
  krb5_context get() const { return context_; }
  krb5_error_code error() const { return error_; }
  explicit operator bool() const { return context_ != nullptr; }

 private:
  krb5_context context_ = nullptr;
  krb5_error_code error_ = 0;
};

}  // namespace winhost::system::kerberos
