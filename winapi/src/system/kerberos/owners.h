// Owners of the GSSAPI and krb5 handles the system world holds: each releases its handle when it
// goes, so that no path through a function can leave one behind.
#pragma once

#include <krb5/krb5.h>

namespace winhost::system {

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

}  // namespace winhost::system
