// Domain accounts through winbind, where the machine runs it: libwbclient is loaded at run time
// (never needed to build, nor to run), and each of its calls is a fault point of the host under its
// own name ("wbcCtxLookupName" ...), whose fault code is a wbcErr.
//
// Each function answers 0; ERROR_NONE_MAPPED when winbind serves the domain and has no such
// account; ERROR_NO_SUCH_DOMAIN when winbind is not there, is not running, or does not know the
// domain, so that the caller asks the next directory; ERROR_NOT_ENOUGH_MEMORY; or
// RPC_S_SERVER_UNAVAILABLE when winbind answers nonsense.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/host/host.h"

namespace winhost::system::directory {

struct WinbindAccount {
  SidBytes sid;
  std::string domain;  // the domain's NetBIOS name, as winbind spells it
  std::string name;    // the account's name, as winbind spells it
  SID_NAME_USE use = SidTypeUnknown;
};

// An account of `domain` (a NetBIOS or a DNS domain name) named `name`.
DWORD WinbindLookupName(const std::string& domain, const std::string& name, WinbindAccount& account);

// The account a SID names.
DWORD WinbindLookupSid(const SidBytes& sid, WinbindAccount& account);

// The groups of a user, its primary group and domain-local groups included and its own SID not:
// what winbind gives the user's token at logon (with the aliases of the computer winbind runs on).
DWORD WinbindUserGroups(const SidBytes& user, std::vector<SidBytes>& groups);

// The SID winbind maps a Unix id to: a user's uid, or a group's gid when `group`.
DWORD WinbindSidOfUnixId(bool group, uint32_t id, SidBytes& sid);

}  // namespace winhost::system::directory
