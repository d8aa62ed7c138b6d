// How the directory's values are written into a filter and read back (see ldap_values.h).
#include "system/directory/ldap_values.h"

#include <cstdio>
#include <cstdlib>

namespace winhost::system::directory {
namespace {

// sAMAccountType's values, which say what kind of account an entry is.
constexpr unsigned long kGroupObject = 0x10000000;
constexpr unsigned long kNonSecurityGroup = 0x10000001;
constexpr unsigned long kAliasObject = 0x20000000;
constexpr unsigned long kNonSecurityAlias = 0x20000001;
constexpr unsigned long kUserObject = 0x30000000;
constexpr unsigned long kMachineAccount = 0x30000001;
constexpr unsigned long kTrustAccount = 0x30000002;

}  // namespace

std::string LdapFilterValue(const std::string& value) {
  std::string escaped;
  for (unsigned char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02x", c);
      escaped += hex;
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

std::string LdapBinaryValue(const SidBytes& bytes) {
  std::string escaped;
  for (uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "\\%02x", b);
    escaped += hex;
  }
  return escaped;
}

SID_NAME_USE LdapAccountUse(const std::string& accountType) {
  switch (std::strtoul(accountType.c_str(), nullptr, 10)) {
    case kGroupObject:
    case kNonSecurityGroup: return SidTypeGroup;
    case kAliasObject:
    case kNonSecurityAlias: return SidTypeAlias;  // domain-local groups, as Windows names them
    case kUserObject:
    case kMachineAccount:
    case kTrustAccount: return SidTypeUser;
    default: return SidTypeUnknown;
  }
}

}  // namespace winhost::system::directory
