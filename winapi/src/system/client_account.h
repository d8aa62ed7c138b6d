// Who a server context's client is to this machine: the account its principal maps to, as an
// access token carries it (SIDs and groups) and as a thread that impersonates it acts (Unix ids).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "directory_host.h"
#include "system/thread_identity.h"

namespace winhost::detail {

struct ClientAccount {
  std::string name;  // "QTEST\alice", the client as the package names it
  SidBytes user;     // empty for a principal that maps to no account
  std::vector<GroupEntry> groups;
  std::optional<UnixCredentials> identity;  // none for a principal that maps to no account
};

// The account `localName` (from krb5's auth_to_local rules) with its groups; a principal mapped to
// no account (`localName` none, or a name the machine does not know) has Everyone and
// Authenticated Users only.
ClientAccount ClientAccountOf(const std::string& clientName, const std::optional<std::string>& localName);

// The identity a thread takes for a client that maps to no account: "nobody".
UnixCredentials Nobody();

}  // namespace winhost::detail
