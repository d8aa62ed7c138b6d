// Authz of the stand-in host: resource managers and client contexts built from an account's SID,
// whose group list is the directory's answer at the moment the context is made.
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>

#include "directory_host.h"
#include "system/accounts.h"

namespace winhost {
namespace detail {
namespace {

struct ClientContext {
  SidBytes user;
  uintptr_t resourceManager;
  std::vector<GroupEntry> groups;  // a snapshot: later membership changes are not seen
};

struct AuthzWorld {
  std::map<uintptr_t, bool> resourceManagers;
  std::map<uintptr_t, ClientContext> contexts;
  uintptr_t nextId = 0xA0000;
  std::deque<std::vector<GroupEntry>> scripts;
};

// Objects the library holds outlive a Reset of the world; only the scripts go with it.
AuthzWorld& Authz() {
  static AuthzWorld* world = new AuthzWorld();
  return *world;
}

std::string IdText(const void* handle) {
  return handle == nullptr ? "null" : std::to_string(reinterpret_cast<uintptr_t>(handle));
}

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The TOKEN_GROUPS block of a context: the header and its entries, then the SIDs, each entry's
// Sid pointing at its SID inside the same block.
size_t GroupsHeaderSize(size_t count) {
  size_t size = offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
  return size < sizeof(TOKEN_GROUPS) ? sizeof(TOKEN_GROUPS) : size;
}

size_t GroupsBlockSize(const std::vector<GroupEntry>& groups) {
  size_t size = GroupsHeaderSize(groups.size());
  for (const GroupEntry& entry : groups) size += entry.sid.size();
  return size;
}

void WriteGroupsBlock(const std::vector<GroupEntry>& groups, void* buffer, size_t size) {
  std::memset(buffer, 0, size);
  auto* block = static_cast<TOKEN_GROUPS*>(buffer);
  block->GroupCount = static_cast<DWORD>(groups.size());
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t offset = GroupsHeaderSize(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) {
    std::memcpy(bytes + offset, groups[i].sid.data(), groups[i].sid.size());
    block->Groups[i].Sid = bytes + offset;
    block->Groups[i].Attributes = groups[i].attributes;
    offset += groups[i].sid.size();
  }
}

ResetHook resetAuthzScripts([] { Authz().scripts.clear(); });

}  // namespace
}  // namespace detail

void ScriptContextGroups(const std::vector<ScriptedGroup>& groups) {
  using namespace detail;
  WorldGuard guard(WorldMutex());
  std::vector<GroupEntry> entries;
  for (const ScriptedGroup& group : groups) {
    auto sid = ParseSid(group.sid);
    if (!sid) throw std::invalid_argument("malformed SID " + group.sid);
    entries.push_back({*sid, group.attributes});
  }
  Authz().scripts.push_back(std::move(entries));
}

}  // namespace winhost

using namespace winhost;
using namespace winhost::detail;

extern "C" {

BOOL WINAPI AuthzInitializeResourceManager(DWORD flags, PFN_AUTHZ_DYNAMIC_ACCESS_CHECK dynamicAccessCheck,
                                           PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS computeDynamicGroups,
                                           PFN_AUTHZ_FREE_DYNAMIC_GROUPS freeDynamicGroups, PCWSTR name,
                                           PAUTHZ_RESOURCE_MANAGER_HANDLE resourceManager) {
  WorldGuard guard(WorldMutex());
  Call call{"AuthzInitializeResourceManager", {{"flags", std::to_string(flags)},
                                               {"accessCheck", dynamicAccessCheck ? "set" : "null"},
                                               {"computeGroups", computeDynamicGroups ? "set" : "null"},
                                               {"freeGroups", freeDynamicGroups ? "set" : "null"},
                                               {"name", name ? Narrow(name) : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (resourceManager == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  uintptr_t id = Authz().nextId++;
  Authz().resourceManagers[id] = true;
  AddLive("resource-manager", 1);
  *resourceManager = reinterpret_cast<AUTHZ_RESOURCE_MANAGER_HANDLE>(id);
  return TRUE;
}

BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"AuthzFreeResourceManager", {{"handle", IdText(resourceManager)}}}))
    return FailWith(*fault);
  if (Authz().resourceManagers.erase(reinterpret_cast<uintptr_t>(resourceManager)) == 0)
    return FailWith(ERROR_INVALID_HANDLE);
  AddLive("resource-manager", -1);
  return TRUE;
}

BOOL WINAPI AuthzInitializeContextFromSid(DWORD flags, PSID userSid, AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager,
                                          PLARGE_INTEGER expirationTime, LUID identifier, PVOID dynamicGroupArgs,
                                          PAUTHZ_CLIENT_CONTEXT_HANDLE clientContext) {
  WorldLock guard(WorldMutex());
  auto sid = ReadSid(userSid);
  Call call{"AuthzInitializeContextFromSid",
            {{"flags", std::to_string(flags)},
             {"sid", userSid == nullptr ? "null" : sid ? SidText(*sid) : "invalid"},
             {"resourceManager", IdText(resourceManager)},
             {"expiration", expirationTime ? "set" : "null"},
             {"identifier", std::to_string(identifier.HighPart) + ":" + std::to_string(identifier.LowPart)},
             {"dynamicGroupArgs", dynamicGroupArgs ? "set" : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (clientContext == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (Authz().resourceManagers.count(reinterpret_cast<uintptr_t>(resourceManager)) == 0)
    return FailWith(ERROR_INVALID_HANDLE);
  if (!sid) return FailWith(ERROR_INVALID_SID);
  std::vector<GroupEntry> groups;
  if (InSystemWorld()) {
    // The account's groups as NSS gives them now; the resource manager may go meanwhile, as a
    // context made on Windows just before it goes would still be made.
    guard.unlock();
    SystemAccount account;
    if (DWORD error = SystemUserOfSid(*sid, account); error != ERROR_SUCCESS) return FailWith(error);
    guard.lock();
    uintptr_t id = Authz().nextId++;
    Authz().contexts[id] = ClientContext{*sid, reinterpret_cast<uintptr_t>(resourceManager), std::move(account.groups)};
    AddLive("authz-context", 1);
    *clientContext = reinterpret_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(id);
    return TRUE;
  }
  // Only a user account can be the subject of a context made without a logon.
  if (!IsUserAccount(*sid)) return FailWith(ERROR_NO_SUCH_USER);
  uintptr_t id = Authz().nextId++;
  if (Authz().scripts.empty()) {
    groups = GroupsOf(*sid);
  } else {
    groups = std::move(Authz().scripts.front());
    Authz().scripts.pop_front();
  }
  Authz().contexts[id] = ClientContext{*sid, reinterpret_cast<uintptr_t>(resourceManager), std::move(groups)};
  AddLive("authz-context", 1);
  *clientContext = reinterpret_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(id);
  return TRUE;
}

BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE clientContext,
                                           AUTHZ_CONTEXT_INFORMATION_CLASS infoClass, DWORD bufferSize,
                                           PDWORD sizeRequired, PVOID buffer) {
  WorldGuard guard(WorldMutex());
  Call call{"AuthzGetInformationFromContext", {{"context", IdText(clientContext)},
                                               {"class", std::to_string(static_cast<int>(infoClass))},
                                               {"bufferSize", std::to_string(bufferSize)},
                                               {"buffer", buffer ? "set" : "null"}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  auto found = Authz().contexts.find(reinterpret_cast<uintptr_t>(clientContext));
  if (found == Authz().contexts.end()) return FailWith(ERROR_INVALID_HANDLE);
  if (sizeRequired == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (infoClass != AuthzContextInfoGroupsSids) return FailWith(ERROR_NOT_SUPPORTED);
  const size_t size = GroupsBlockSize(found->second.groups);
  *sizeRequired = static_cast<DWORD>(size);
  if (buffer == nullptr || bufferSize < size) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  WriteGroupsBlock(found->second.groups, buffer, size);
  return TRUE;
}

BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE clientContext) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"AuthzFreeContext", {{"context", IdText(clientContext)}}})) return FailWith(*fault);
  if (Authz().contexts.erase(reinterpret_cast<uintptr_t>(clientContext)) == 0) return FailWith(ERROR_INVALID_HANDLE);
  AddLive("authz-context", -1);
  return TRUE;
}

}  // extern "C"
