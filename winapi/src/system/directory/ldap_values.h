// The directory's values in LDAP's words: what a filter holds and what an entry's account type
// says of it.
#pragma once

#include <string>

#include "system/host/host.h"

namespace winhost::system::directory {

// An assertion value with the characters a filter gives meaning to escaped.
std::string LdapFilterValue(const std::string& value);
// A binary value (a SID) for a filter: escaped whole.
std::string LdapBinaryValue(const SidBytes& bytes);
// What kind of account an entry is, by its sAMAccountType: a domain-local group is an alias, as
// Windows names it; unknown when the type is none of the account kinds.
SID_NAME_USE LdapAccountUse(const std::string& accountType);

}  // namespace winhost::system::directory
