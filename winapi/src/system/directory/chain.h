// The directory chain: the places that name a domain's accounts, asked in one order for every
// question. Winbind first, where it runs, since it gives a domain's own SIDs; then NSS (SSSD, with
// its SID mapping where installed), whose answers for a domain carry Unix ids; then, on a host
// that has only the service's keytab, the default realm's controllers over LDAP.
//
// Each directory answers 0; ERROR_NONE_MAPPED when it serves the domain and no account bears the
// name or SID; ERROR_NO_SUCH_DOMAIN when it does not serve the domain, and the next one is asked;
// or the failure's Windows code (ERROR_NO_LOGON_SERVERS, RPC_S_SERVER_UNAVAILABLE,
// ERROR_NOT_ENOUGH_MEMORY), which ends the walk. Call without the world lock.
#pragma once

#include <string>

#include "system/directory/accounts.h"

namespace winhost::system::directory {

class Directory {
 public:
  virtual ~Directory() = default;
  // The account `name` of the domain `domain` ("SAMDOM", or its DNS name "samdom.test").
  virtual DWORD AccountNamed(const std::string& domain, const std::string& name, SystemAccount& account) const = 0;
  // The account a user principal name (alice@samdom.test) names.
  virtual DWORD PrincipalNamed(const std::string& principal, SystemAccount& account) const = 0;
  // The account a SID names.
  virtual DWORD AccountOfSid(const SidBytes& sid, SystemAccount& account) const = 0;
  // The user a SID names, with the groups its token has on this computer; ERROR_NO_SUCH_USER when
  // the SID names a group, an alias or nothing in a domain this directory serves.
  virtual DWORD UserOfSid(const SidBytes& sid, SystemAccount& account) const = 0;
};

// The three directories, each defined beside what it asks.
const Directory& WinbindDirectory();
const Directory& NssDirectory();
const Directory& ControllerDirectory();

// The chain's answer to a question: the first directory's that serves the domain;
// ERROR_NO_SUCH_DOMAIN when none does.
DWORD ChainAccountNamed(const std::string& domain, const std::string& name, SystemAccount& account);
DWORD ChainPrincipalNamed(const std::string& principal, SystemAccount& account);
DWORD ChainAccountOfSid(const SidBytes& sid, SystemAccount& account);
DWORD ChainUserOfSid(const SidBytes& sid, SystemAccount& account);

}  // namespace winhost::system::directory
