// The domain's own directory, for a host that has only a keytab: LDAP on one of the domain's
// controllers, found in DNS (_ldap._tcp.dc._msdcs.<domain>, else _ldap._tcp.<domain>) or named by
// QUENTREL_LDAP_SERVERS, bound with the service's Kerberos key over SASL GSSAPI, whose tickets
// never reach a file. libldap is loaded at run time, and its calls are fault points of the host
// under their own names ("ldap_initialize", "ldap_sasl_interactive_bind_s", "ldap_search_ext_s"),
// whose fault code is an LDAP result code.
//
// Each lookup has a connection of its own while it runs, taken from a small pool or made for it
// and given back after, so lookups run at once; a kept one the controller dropped is closed, and
// the lookup tries once more on a new one.
//
// Every function takes the Kerberos realm of the domain (SAMDOM.TEST) and answers 0; ERROR_NONE_MAPPED when the directory has no such object; ERROR_NO_SUCH_DOMAIN when
// no directory serves that realm here (the keytab has no key of it, DNS lists no LDAP server for
// it, or QUENTREL_LDAP_SERVERS is "none"), so that the caller goes on without it;
// ERROR_NO_LOGON_SERVERS when no listed controller answers or the service cannot get a ticket;
// RPC_S_SERVER_UNAVAILABLE when a controller fails a search; ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include <string>
#include <vector>

#include "system/host/host.h"

namespace winhost::system::directory {

struct LdapDomain {
  std::string dnsName;      // samdom.test
  std::string netbiosName;  // SAMDOM
  SidBytes sid;             // the domain's own SID, S-1-5-21-...
  std::string namingContext;  // DC=samdom,DC=test
};

struct LdapEntry {
  std::string dn;
  SidBytes sid;
  std::string name;  // sAMAccountName
  SID_NAME_USE use = SidTypeUnknown;
};

// The domain the directory of `realm` holds.
DWORD LdapDomainOf(const std::string& realm, LdapDomain& domain);

// The account whose sAMAccountName, or whose userPrincipalName, is `name`.
DWORD LdapFindByName(const std::string& realm, const std::string& name, LdapEntry& entry);
DWORD LdapFindByPrincipal(const std::string& realm, const std::string& principal, LdapEntry& entry);

// The user account whose sAMAccountName is `name`: its name as the directory spells it and its
// userAccountControl, whose bits are netapi32's UF_* flags.
DWORD LdapUserFlags(const std::string& realm, const std::string& name, std::string& found, DWORD& flags);

// The account that bears `sid`.
DWORD LdapFindBySid(const std::string& realm, const SidBytes& sid, LdapEntry& entry);

// The SIDs of every security group the user of `dn` is in, nested ones and its primary group
// included, as its controller computes them (tokenGroups).
DWORD LdapTokenGroups(const std::string& realm, const std::string& dn, std::vector<SidBytes>& groups);

// Drops the connection and what the locator found, so that the next call starts afresh.
void LdapForget();

}  // namespace winhost::system::directory
