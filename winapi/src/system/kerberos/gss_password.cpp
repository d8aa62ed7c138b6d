// A client's credential of a user with a password: krb5 asks the KDC for the user's ticket with
// it, so a password the domain refuses is told here, before any token goes to a server.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/sspi.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/principals.h"

namespace winhost::system::kerberos {

namespace {

// A password as UTF-8 in a buffer that is made once at its full size and wiped on release, so no
// copy of it is left in freed memory. An unpaired surrogate makes it empty: no key is made of a
// text that is not one.
class PasswordText {
 public:
  PasswordText(const unsigned short* password, ULONG length) : bytes_(3 * size_t{length} + 1, '\0') {
    size_t out = 0;
    for (ULONG i = 0; i < length; ++i) {
      char32_t unit = password[i];
      if (unit >= 0xD800 && unit <= 0xDFFF) {
        if (unit > 0xDBFF || i + 1 == length || password[i + 1] < 0xDC00 || password[i + 1] > 0xDFFF) {
          valid_ = false;
          return;
        }
        unit = 0x10000 + ((unit - 0xD800) << 10) + (password[++i] - 0xDC00);
      }
      out += Encode(unit, &bytes_[out]);
    }
    length_ = out;
  }
  ~PasswordText() { explicit_bzero(bytes_.data(), bytes_.size()); }
  PasswordText(const PasswordText&) = delete;
  PasswordText& operator=(const PasswordText&) = delete;

  bool valid() const { return valid_ && length_ > 0; }
  gss_buffer_desc buffer() { return gss_buffer_desc{length_, bytes_.data()}; }

 private:
  static size_t Encode(char32_t c, char* out) {
    if (c < 0x80) return out[0] = static_cast<char>(c), 1;
    if (c < 0x800) return out[0] = static_cast<char>(0xC0 | (c >> 6)), out[1] = static_cast<char>(0x80 | (c & 0x3F)), 2;
    if (c < 0x10000) {
      out[0] = static_cast<char>(0xE0 | (c >> 12));
      out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (c & 0x3F));
      return 3;
    }
    // Four bytes where three were kept for the pair's two units: the pair had six.
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
  }

  std::vector<char> bytes_;
  size_t length_ = 0;
  bool valid_ = true;
};

// The Kerberos principal of a Windows logon name: "user@REALM" as given, "DOMAIN" and "user" as
// user@DOMAIN (a domain's DNS name in capitals is its realm), a bare user in the default realm.
// None for a name that is no text, or one that would name a second component or realm.
std::optional<std::string> PrincipalOf(const SEC_WINNT_AUTH_IDENTITY_W& identity) {
  auto text = [](const unsigned short* units, ULONG length) {
    return units == nullptr ? std::optional<std::string>(std::string())
                            : StrictNarrow(std::u16string(reinterpret_cast<const char16_t*>(units), length));
  };
  std::optional<std::string> user = text(identity.User, identity.UserLength);
  std::optional<std::string> domain = text(identity.Domain, identity.DomainLength);
  if (!user || !domain || user->empty() || user->find_first_of("/\\") != std::string::npos) return std::nullopt;
  if (domain->find_first_of("@/\\") != std::string::npos) return std::nullopt;
  const size_t at = user->find('@');
  if (at != std::string::npos) {
    if (!domain->empty() || at == 0 || user->find('@', at + 1) != std::string::npos) return std::nullopt;
    return user->substr(0, at) + '@' + UpperAscii(user->substr(at + 1));
  }
  return domain->empty() ? *user : *user + '@' + UpperAscii(*domain);
}

}  // namespace

SECURITY_STATUS AcquirePasswordCredentials(WorldLock& guard, const std::string& package,
                                           const SEC_WINNT_AUTH_IDENTITY_W& identity, PCredHandle credential,
                                           PTimeStamp expiry) {
  const Mechanism* mechanism = FindMechanism(package);
  if (mechanism == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  // Only Kerberos checks a password with the KDC and leaves a ticket that the server must decrypt.
  if (mechanism->oid != gss_mech_krb5) return SEC_E_UNSUPPORTED_FUNCTION;
  if ((identity.Flags & SEC_WINNT_AUTH_IDENTITY_UNICODE) == 0) return SEC_E_UNKNOWN_CREDENTIALS;
  const std::optional<std::string> principal = PrincipalOf(identity);
  PasswordText password(identity.Password, identity.PasswordLength);
  if (!principal || !password.valid()) return SEC_E_LOGON_DENIED;
  SharedKrb5();
  OM_uint32 minor = 0;
  GssName name;
  gss_buffer_desc nameText = {principal->size(), const_cast<char*>(principal->data())};
  OM_uint32 major = gss_import_name(&minor, &nameText, GSS_KRB5_NT_PRINCIPAL_NAME, name.out());
  if (GSS_ERROR(major)) return SEC_E_LOGON_DENIED;
  gss_buffer_desc secret = password.buffer();
  gss_OID_set_desc mechanisms = {1, gss_mech_krb5};
  GssCredential cred;
  OM_uint32 lifetime = 0;
  // The KDC's answer takes a round trip: other callers go on meanwhile.
  guard.unlock();
  const char* step = "gss_acquire_cred_with_password";
  major = Fault(step, minor);
  if (major == GSS_S_COMPLETE)
    major = gss_acquire_cred_with_password(&minor, name.get(), &secret, GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE,
                                           cred.out(), nullptr, &lifetime);
  // krb5 asks the KDC only when the credential is first used: asking now puts a refusal of the
  // password here, where it is told apart from a failure of the client's later steps.
  if (!GSS_ERROR(major)) {
    step = "gss_inquire_cred";
    major = Fault(step, minor);
    if (major == GSS_S_COMPLETE) major = gss_inquire_cred(&minor, cred.get(), nullptr, &lifetime, nullptr, nullptr);
  }
  guard.lock();
  if (GSS_ERROR(major)) {
    const SECURITY_STATUS status = Failed(step, major, minor, gss_mech_krb5, false);
    // Nobody to ask, or a clock apart, says why; anything else is the domain refusing the logon.
    return status == SEC_E_NO_AUTHENTICATING_AUTHORITY || status == SEC_E_TIME_SKEW ? status : SEC_E_LOGON_DENIED;
  }
  Credential made{};
  made.mechanism = mechanism;
  made.use = SECPKG_CRED_OUTBOUND;
  made.cred = Share(std::move(cred));
  KeepCredential(std::move(made), credential);
  SetLifetime(expiry, lifetime);
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
