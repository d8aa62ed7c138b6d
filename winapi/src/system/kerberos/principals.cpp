// Principal names, their way back and the system-account rule (see principals.h).
#include "system/kerberos/principals.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "system/host/host.h"
#include "system/host/names.h"
#include "system/kerberos/realm.h"
#include "system/host/settings.h"

namespace winhost::system::kerberos {
namespace {

// A domain name Windows could give a domain: NetBIOS-style, so that it never holds the
// separators of a qualified name.
bool NetbiosStyle(const std::string& domain) {
  if (domain.empty()) return false;
  for (char c : domain)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  return true;
}

// Names a reader takes for this computer's own: the built-in domain, NT AUTHORITY, the computer.
bool LooksLocal(const std::string& domain) {
  if (domain == "BUILTIN" || domain == "NT AUTHORITY") return true;
  std::string host;
  if (host::SystemHostName(host) != ERROR_SUCCESS) return true;  // nothing to tell it from: not given
  const std::optional<std::string> netbios = StrictNarrow(host::NetbiosNameOf(host));
  return !netbios || UpperAscii(*netbios) == domain;
}

}  // namespace

// Every realm that has a domain name: the setting's, then the default realm's unless the setting
// names it; each name fit to be a domain and wanted by one realm alone.
RealmDomains RealmDomainsOf(const std::optional<std::string>& defaultRealm) {
  RealmDomains wanted;
  for (const std::string& item : host::ListSetting(host::SettingId::kRealmDomains)) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    const std::string realm = host::Trim(item.substr(0, equals));
    if (realm.empty()) continue;
    bool seen = false;
    for (const RealmDomain& entry : wanted) seen = seen || entry.realm == realm;
    if (!seen) wanted.push_back({realm, UpperAscii(host::Trim(item.substr(equals + 1)))});
  }
  if (const std::optional<std::string>& realm = defaultRealm) {
    bool named = false;
    for (const RealmDomain& entry : wanted) named = named || entry.realm == *realm;
    if (!named) wanted.push_back({*realm, UpperAscii(realm->substr(0, realm->find('.')))});
  }
  RealmDomains granted;
  for (const RealmDomain& entry : wanted) {
    if (!NetbiosStyle(entry.domain) || LooksLocal(entry.domain)) continue;
    int claims = 0;
    for (const RealmDomain& other : wanted) claims += other.domain == entry.domain ? 1 : 0;
    if (claims == 1) granted.push_back(entry);
  }
  return granted;
}

RealmDomains RealmDomainsNow() { return RealmDomainsOf(SystemDefaultRealm()); }

namespace {

// The first uid of ordinary users: UID_MIN of /etc/login.defs, 1000 where it gives none.
uid_t FirstUserUid() {
  static const uid_t first = [] {
    std::ifstream defs("/etc/login.defs");
    std::string line;
    while (std::getline(defs, line)) {
      std::istringstream words(line);
      std::string key;
      unsigned long value = 0;
      if (words >> key && key == "UID_MIN" && words >> value) return static_cast<uid_t>(value);
    }
    return static_cast<uid_t>(1000);
  }();
  return first;
}

}  // namespace

std::optional<std::string> DomainOfRealm(const std::string& realm) {
  for (const RealmDomain& entry : RealmDomainsNow())
    if (entry.realm == realm) return entry.domain;
  return std::nullopt;
}

std::optional<std::string> RealmOfDomain(const std::string& domain) {
  const std::string upper = UpperAscii(domain);
  for (const RealmDomain& entry : RealmDomainsNow())
    if (entry.domain == upper) return entry.realm;
  return std::nullopt;
}

std::optional<std::u16string> WindowsNameOf(const std::string& displayed, bool kerberos, const RealmDomains& realms) {
  // Control characters have no place in an account name; krb5's escapes start with a backslash.
  for (char c : displayed)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || (kerberos && c == '\\')) return std::nullopt;
  std::optional<std::u16string> whole = StrictWide(displayed);
  if (!whole || whole->empty()) return std::nullopt;
  if (!kerberos) return whole;
  // Without escapes, the one '@' is the realm's.
  const size_t at = displayed.find('@');
  if (at == 0 || at == std::string::npos || at + 1 == displayed.size() || displayed.find('@', at + 1) != std::string::npos)
    return std::nullopt;
  const std::string realm = displayed.substr(at + 1);
  for (const RealmDomain& entry : realms)
    if (entry.realm == realm) return StrictWide(entry.domain + "\\" + displayed.substr(0, at));
  return whole;
}

std::optional<std::u16string> PacWindowsName(const std::u16string& domain, const std::u16string& user,
                                             const std::string& realm, const RealmDomains& realms) {
  for (const std::u16string* part : {&domain, &user}) {
    if (part->empty() || !StrictNarrow(*part)) return std::nullopt;
    for (char16_t unit : *part)
      if (unit < 0x20 || unit == 0x7F || unit == u'\\' || (part == &domain && (unit == u'@' || unit == u'/')))
        return std::nullopt;
  }
  const std::string shown = UpperAscii(*StrictNarrow(domain));
  // A DNS name ("samdom.test") would be read as a domain's other name, whichever realm gave it.
  if (!NetbiosStyle(shown) || LooksLocal(shown)) return std::nullopt;
  for (const RealmDomain& entry : realms)
    if (entry.domain == shown && entry.realm != realm) return std::nullopt;
  return domain + u"\\" + user;
}

bool MayBeClientAccount(const std::string& localName, uid_t uid) {
  if (uid != 0 && uid >= FirstUserUid()) return true;
  for (const std::string& allowed : host::ListSetting(host::SettingId::kAllowSystemAccounts))
    if (allowed == localName) return true;
  return false;
}

}  // namespace winhost::system::kerberos
