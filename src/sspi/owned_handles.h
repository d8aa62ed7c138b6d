// What the package and the token functions hand an SSPI operation, released when the operation
// leaves, on every path.
#pragma once

#include "bridge/platform.h"

class AccessToken {
 public:
  AccessToken() = default;
  ~AccessToken() { Close(); }
  AccessToken(const AccessToken&) = delete;
  AccessToken& operator=(const AccessToken&) = delete;

  // Takes over a handle the platform gave; a null handle leaves nothing to close.
  void Adopt(HANDLE handle) {
    Close();
    handle_ = handle;
  }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Closes the handle now; the result is not looked at, as nothing could be done about it.
  void Close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// QuerySecurityContextToken into `token`; the status, with `token` set only on success.
inline SECURITY_STATUS QueryClientToken(CtxtHandle* context, AccessToken& token) {
  HANDLE handle = nullptr;
  const SECURITY_STATUS status = QuerySecurityContextToken(context, &handle);
  if (status == SEC_E_OK) token.Adopt(handle);
  return status;
}

// Memory the package allocated for an answer, released with FreeContextBuffer.
class ContextBuffer {
 public:
  explicit ContextBuffer(void* buffer) : buffer_(buffer) {}
  ~ContextBuffer() { Free(); }
  ContextBuffer(const ContextBuffer&) = delete;
  ContextBuffer& operator=(const ContextBuffer&) = delete;

  void Free() {
    if (buffer_ != nullptr) FreeContextBuffer(buffer_);
    buffer_ = nullptr;
  }

 private:
  void* buffer_;
};
