// Access tokens in the simulated host: the token of a server context's client is the directory's
// account of the name the client's token stated, with its groups at that moment, and with the
// partner of a split logon where a test gave the account one.
#include <map>
#include <tuple>

#include "common/world.h"
#include "simulated/directory.h"
#include "simulated/sspi.h"
#include "winhost/control_tokens.h"

namespace winhost {
namespace simulated {
namespace {

struct TokenSettings {
  std::map<std::string, std::vector<std::string>> splitLogons;  // account -> elevated groups
  std::optional<std::pair<uint32_t, uint32_t>> contextTokenKind;
};

TokenSettings& Settings() {
  static TokenSettings* settings = new TokenSettings();
  return *settings;
}

ResetHook resetTokens([] { Settings() = TokenSettings{}; });

// The token of a logon by `account`, with its partner when the account has a split logon.
std::optional<TokenObject> LogonToken(const std::string& account, ULONG contextAttributes) {
  auto resolved = ResolveName(WideOf(account));
  if (!resolved || !IsUserAccount(resolved->sid)) return std::nullopt;
  TokenData data;
  data.account = account;
  data.user = resolved->sid;
  data.groups = GroupsOf(resolved->sid);
  data.level = (contextAttributes & ASC_RET_DELEGATE) != 0 ? SecurityDelegation : SecurityImpersonation;
  if (Settings().contextTokenKind) std::tie(data.type, data.level) = *Settings().contextTokenKind;

  TokenObject token{data, std::nullopt};
  auto split = Settings().splitLogons.find(account);
  if (split == Settings().splitLogons.end()) return token;
  TokenData elevated = data;
  elevated.elevated = true;
  // A linked token handed to a caller without the TCB privilege identifies but cannot act.
  elevated.level = SecurityIdentification;
  for (const std::string& name : split->second) {
    auto group = ResolveName(WideOf(name));
    if (!group) continue;
    bool present = false;
    for (GroupEntry& entry : token.data.groups) {
      if (entry.sid != group->sid) continue;
      entry.attributes = kDenyOnly;
      present = true;
    }
    if (!present) {
      token.data.groups.push_back({group->sid, kDenyOnly});
      elevated.groups.push_back({group->sid, kEnabled});
    }
  }
  token.linked = elevated;
  return token;
}

}  // namespace
}  // namespace simulated

using namespace simulated;

SECURITY_STATUS world::ContextToken(WorldLock&, PCtxtHandle context, HANDLE* token) {
  Context* found = FindContext(context);
  if (found == nullptr || token == nullptr) return SEC_E_INVALID_HANDLE;
  // Only a server that has authenticated its client has someone to give a token of.
  if (found->client || !found->established) return SEC_E_NO_IMPERSONATION;
  auto logon = LogonToken(found->peerUser, found->attributes);
  if (!logon) return SEC_E_NO_IMPERSONATION;
  *token = NewTokenHandle(std::make_shared<const TokenObject>(*logon), "context");
  return SEC_E_OK;
}

// The simulated host's threads have no identity of their own to switch.
// Threads start as the process here, whoever their creator acts as.
void world::EnterThread() {}

DWORD world::Impersonate(const TokenObject&) { return ERROR_SUCCESS; }

bool world::RevertThread() {
  ThreadToken().reset();
  return true;
}

// A token is always named here.
TokenRef world::DefaultToken(WorldLock&) { return nullptr; }

// ---- control -------------------------------------------------------------------------------

void SetSplitToken(const std::string& account, const std::vector<std::string>& elevatedGroups) {
  WorldGuard guard(WorldMutex());
  Settings().splitLogons[account] = elevatedGroups;
}

void SetContextTokenKind(uint32_t type, uint32_t level) {
  WorldGuard guard(WorldMutex());
  Settings().contextTokenKind = std::make_pair(type, level);
}

}  // namespace winhost
