// Who the system world lets in, and by what name: one mapping from a Kerberos principal to a
// Windows name, in which two different principals never get the same name, and its way back to a
// local account; the accounts no client becomes unless a site says so.
//
// Names. A client whose ticket carries a verified PAC is named by it, LogonDomainName\EffectiveName,
// within the limits PacWindowsName sets. Any other principal user@REALM is named
// - DOMAIN\user when its realm has a domain name: the default realm's is its first label in
//   capitals (QTEST for QTEST.TEST); QUENTREL_REALM_DOMAINS gives any realm one, the default
//   realm's included ("PARTNER.EXAMPLE=PARTNER,QTEST.TEST=QT": comma-separated REALM=DOMAIN);
// - user@REALM otherwise: for a realm of no domain name, and for one whose domain name would look
//   like a name of this computer (BUILTIN, NT AUTHORITY, the computer's own NetBIOS name), is no
//   NetBIOS-style name (letters, digits, '-' and '_' only), or is wanted by two realms at once
//   (neither gets it).
// "user" is the principal's name before its realm as krb5 displays it ("HTTP/web" for a principal
// of two parts). A principal that is not well-formed UTF-8, or that holds a control character or
// anything krb5 has to escape in its text ('/', '@' or '\' inside a part, NUL, a line break, a
// tab), has no Windows name at all: a server refuses it, as Windows refuses a logon it cannot map.
//
// The way back: DOMAIN\user and user@REALM name the principal user@REALM of that domain's realm,
// and so the local account krb5's auth_to_local rules map that principal to, which is the account
// a server context's token for that client has.
//
// System accounts. A principal whose local account is a system account (uid 0, or a uid below
// UID_MIN of /etc/login.defs, 1000 when it sets none) maps to no account: its token holds
// Everyone and Authenticated Users only and it is impersonated as nobody, unless
// QUENTREL_ALLOW_SYSTEM_ACCOUNTS names that local account (comma-separated account names).
//
// Call these without the world lock: they read the Kerberos configuration and the host name.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace winhost::system::kerberos {

// The realms that have a domain name, each with its domain name in capitals.
struct RealmDomain {
  std::string realm;
  std::string domain;
};
using RealmDomains = std::vector<RealmDomain>;

// Those that QUENTREL_REALM_DOMAINS and a default realm give; a server takes them once, with its
// credential.
RealmDomains RealmDomainsOf(const std::optional<std::string>& defaultRealm);
// The same with the Kerberos configuration's default realm now.
RealmDomains RealmDomainsNow();

// The domain name that qualifies the users of `realm`, in capitals; none when they are named
// user@REALM.
std::optional<std::string> DomainOfRealm(const std::string& realm);

// The realm whose users `domain` qualifies (letter case of A to Z ignored); none when it is no
// realm's.
std::optional<std::string> RealmOfDomain(const std::string& domain);

// The Windows name of a client or a credential as GSSAPI displays it. `kerberos` tells a krb5
// principal (user@REALM) from a name that a mechanism already gives in Windows' form (NTLM's
// DOMAIN\user), which is only checked. None when the name is refused. This is the one place a
// principal gets its name.
std::optional<std::u16string> WindowsNameOf(const std::string& displayed, bool kerberos, const RealmDomains& realms);

// The name a verified PAC gives its client, LogonDomainName\EffectiveName, which wins over the
// principal's: none when a part is empty or holds NUL, a control character, an unpaired surrogate
// or '\', when the domain name is no NetBIOS-style name (a DNS name among them) or looks local, or when another
// realm than the client's `realm` has that domain name (a trusted realm's KDC may not name its
// users as another realm's). The PAC is then not used.
std::optional<std::u16string> PacWindowsName(const std::u16string& domain, const std::u16string& user,
                                             const std::string& realm, const RealmDomains& realms);

// Whether the local account `localName` (uid `uid`) may be a client's identity.
bool MayBeClientAccount(const std::string& localName, uid_t uid);

}  // namespace winhost::system::kerberos
