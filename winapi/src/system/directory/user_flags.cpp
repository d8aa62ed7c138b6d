// An account's flags at this computer or at a domain's controller (see user_flags.h).
#include "system/directory/user_flags.h"

#include "system/directory/accounts.h"
#include "system/directory/ldap_directory.h"
#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "winhost/host_services.h"

namespace winhost::system::directory {
namespace {

// The realm of the domain a controller serves: its DNS name less the host's own label; a bare
// host name stands for a controller of the default realm.
std::optional<std::string> RealmOfServer(std::string server) {
  server.erase(0, server.find_first_not_of('\\'));
  const size_t dot = server.find('.');
  if (dot == std::string::npos || dot + 1 == server.size()) return kerberos::SystemDefaultRealm();
  return UpperAscii(server.substr(dot + 1));
}

DWORD LocalUserFlags(const std::u16string& user, std::u16string& name, DWORD& flags) {
  std::string computer;
  if (DWORD error = host::SystemComputerName(ComputerNameNetBIOS, computer); error != ERROR_SUCCESS) return error;
  SystemAccount account;
  const DWORD error = SystemResolveName(WideOf(computer) + u"\\" + user, account);
  if (error == ERROR_NONE_MAPPED || (error == ERROR_SUCCESS && account.use != SidTypeUser)) return NERR_UserNotFound;
  if (error != ERROR_SUCCESS) return error;
  name = account.name;
  flags = UF_SCRIPT | UF_NORMAL_ACCOUNT;
  return NERR_Success;
}

}  // namespace

DWORD SystemUserFlags(const std::string& server, const std::u16string& user, std::u16string& name, DWORD& flags) {
  const std::optional<std::string> text = StrictNarrow(user);
  if (!text || text->empty()) return NERR_UserNotFound;
  if (server.empty()) return LocalUserFlags(user, name, flags);
  const std::optional<std::string> realm = RealmOfServer(server);
  if (!realm) return ERROR_NO_SUCH_DOMAIN;
  std::string found;
  DWORD control = 0;
  const DWORD error = LdapUserFlags(*realm, *text, found, control);
  if (error == ERROR_NONE_MAPPED) return NERR_UserNotFound;
  if (error != ERROR_SUCCESS) return error;
  const std::optional<std::u16string> wide = StrictWide(found);
  if (!wide) return NERR_UserNotFound;
  name = *wide;
  flags = control;
  return NERR_Success;
}

}  // namespace winhost::system::directory
