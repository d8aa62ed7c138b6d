// The token handle table, thread impersonation and token queries of both worlds.
#include "common/tokens.h"

#include <cstring>
#include <map>

#include "common/journal.h"

namespace winhost::common {
namespace {

struct TokenHandle {
  TokenRef token;
  std::string source;
};

struct TokenTable {
  std::map<uintptr_t, TokenHandle> handles;
  uintptr_t nextHandle = 0x7000;
  uint32_t majorVersion = 10;
};

// Handles the library holds outlive a Reset, so only the settings are reset.
TokenTable& Tokens() {
  static TokenTable* table = new TokenTable();
  return *table;
}

thread_local TokenRef threadToken;

ResetHook resetTokens([] {
  Tokens().majorVersion = 10;
  threadToken.reset();
});

// Writes a fixed-size answer of GetTokenInformation, or fails as Windows does when it does not fit.
template <typename Value>
BOOL Answer(const Value& value, LPVOID information, DWORD length, PDWORD returnLength) {
  if (returnLength == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  *returnLength = sizeof(Value);
  if (information == nullptr || length < sizeof(Value)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(information, &value, sizeof(Value));
  return TRUE;
}

// TokenUser: the TOKEN_USER with the SID it points to right after it, in the caller's buffer.
BOOL UserAnswer(const SidBytes& user, LPVOID information, DWORD length, PDWORD returnLength) {
  if (returnLength == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (user.empty()) return FailWith(ERROR_NO_TOKEN);
  *returnLength = static_cast<DWORD>(sizeof(TOKEN_USER) + user.size());
  if (information == nullptr || length < *returnLength) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  auto* answer = static_cast<TOKEN_USER*>(information);
  BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
  std::memcpy(sid, user.data(), user.size());
  answer->User.Sid = sid;
  answer->User.Attributes = 0;
  return TRUE;
}

}  // namespace

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

HANDLE NewTokenHandle(TokenRef token, const std::string& source) {
  TokenTable& table = Tokens();
  table.nextHandle += 4;
  table.handles[table.nextHandle] = TokenHandle{std::move(token), source};
  AddLive("token", 1);
  return reinterpret_cast<HANDLE>(table.nextHandle);
}

TokenRef FindToken(HANDLE handle) {
  auto it = Tokens().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == Tokens().handles.end() ? nullptr : it->second.token;
}

bool CloseTokenHandle(HANDLE handle) {
  if (Tokens().handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return false;
  AddLive("token", -1);
  return true;
}

std::string Describe(const TokenData& data) { return data.account + (data.elevated ? " (elevated)" : ""); }

std::string TokenText(HANDLE handle) {
  if (handle == nullptr) return "null";
  auto it = Tokens().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == Tokens().handles.end()) return "unknown " + std::to_string(reinterpret_cast<uintptr_t>(handle));
  return Describe(it->second.token->data) + " [" + it->second.source + "]";
}

TokenRef& ThreadToken() { return threadToken; }

TokenRef ImpersonationTokenOf(const TokenObject& token) {
  auto own = std::make_shared<TokenObject>(token);
  if (own->data.type == TokenPrimary) {
    own->data.type = TokenImpersonation;
    own->data.level = SecurityImpersonation;
  }
  return own;
}

void AdoptThreadToken(TokenRef token) noexcept { threadToken = std::move(token); }

BOOL Member(const TokenRef& token, const SidBytes& sid, PBOOL isMember) {
  bool member = !token->data.user.empty() && token->data.user == sid;
  for (const GroupEntry& group : token->data.groups)
    member = member || (group.sid == sid && (group.attributes & SE_GROUP_ENABLED) != 0 &&
                        (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0);
  *isMember = member ? TRUE : FALSE;
  return TRUE;
}

BOOL TokenInformation(const TokenRef& found, TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                      DWORD informationLength, PDWORD returnLength) {
  switch (infoClass) {
    case TokenUser:
      return UserAnswer(found->data.user, information, informationLength, returnLength);
    case TokenType:
      return Answer(found->data.type, information, informationLength, returnLength);
    case TokenImpersonationLevel:
      // A primary token has no impersonation level.
      if (found->data.type != TokenImpersonation) return FailWith(ERROR_INVALID_PARAMETER);
      return Answer(found->data.level, information, informationLength, returnLength);
    case TokenLinkedToken: {
      if (!found->linked) return FailWith(ERROR_NO_SUCH_LOGON_SESSION);
      if (returnLength == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      *returnLength = sizeof(TOKEN_LINKED_TOKEN);
      if (information == nullptr || informationLength < sizeof(TOKEN_LINKED_TOKEN))
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
      auto partner = std::make_shared<const TokenObject>(TokenObject{*found->linked, found->data});
      static_cast<TOKEN_LINKED_TOKEN*>(information)->LinkedToken = NewTokenHandle(std::move(partner), "linked");
      return TRUE;
    }
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
}

uint32_t& MajorVersion() { return Tokens().majorVersion; }

}  // namespace winhost::common
