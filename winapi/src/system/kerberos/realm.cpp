// The Kerberos configuration's realm and its principals' local accounts (see realm.h).
#include "system/kerberos/realm.h"

#include <cerrno>
#include <vector>

#include "system/host/names.h"
#include "system/kerberos/owners.h"
#include "winhost/host_services.h"

namespace winhost::system::kerberos {
namespace {

constexpr size_t kLongestLocalName = 1024;

}  // namespace

// The default realm through MIT krb5's own reading of its configuration; `error` is krb5's code
// (KRB5_CONFIG_NODEFREALM when there is none).
std::optional<std::string> SystemDefaultRealm(krb5_error_code& error) {
  Krb5Context context;
  error = context.error();
  if (!context) return std::nullopt;
  char* realm = nullptr;
  error = krb5_get_default_realm(context.get(), &realm);
  std::optional<std::string> found;
  if (error == 0 && realm != nullptr && *realm != 0) found = realm;
  if (realm != nullptr) krb5_free_default_realm(context.get(), realm);
  return found;
}

std::optional<std::string> SystemDefaultRealm() {
  krb5_error_code error = 0;
  return SystemDefaultRealm(error);
}

DWORD SystemLocalNameOf(const std::string& name, const std::string& realm, std::string& local) {
  local.clear();
  if (name.empty() || realm.empty()) return ERROR_NONE_MAPPED;
  krb5_error_code error = 0;
  if (auto fault = Enter(Call{"krb5_aname_to_localname", {{"principal", name + "@" + realm}}})) {
    error = static_cast<krb5_error_code>(*fault);
  } else {
    Krb5Context context;
    error = context.error();
    if (context) {
      krb5_principal principal = nullptr;
      // Parsed as the text before the realm in the principal's display form, which is what a
      // server context gives as the client's Windows name: "host/web" is two components.
      error = krb5_parse_name(context.get(), (name + "@" + realm).c_str(), &principal);
      if (error == 0) {
        std::vector<char> buffer(kLongestLocalName + 1, 0);
        error = krb5_aname_to_localname(context.get(), principal, static_cast<int>(buffer.size()), buffer.data());
        if (error == 0) local.assign(buffer.data());
        krb5_free_principal(context.get(), principal);
      }
    }
  }
  switch (error) {
    case 0: return local.empty() ? ERROR_NONE_MAPPED : ERROR_SUCCESS;
    case KRB5_LNAME_NOTRANS:
    case KRB5_NO_LOCALNAME:
    case KRB5_PARSE_MALFORMED:  // no principal has that name ("a@b" in the realm)
    case KRB5_CONFIG_NOTENUFSPACE: return ERROR_NONE_MAPPED;  // no account has a name that long
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return RPC_S_SERVER_UNAVAILABLE;
  }
}

}  // namespace winhost::system::kerberos
