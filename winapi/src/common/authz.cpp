// Authz's handle tables and the group block of a client context.
#include "common/authz.h"

#include <cstddef>
#include <cstring>
#include <map>

#include "common/journal.h"

namespace winhost::common {
namespace {

struct ClientContext {
  SidBytes user;
  uintptr_t resourceManager;
  std::vector<GroupEntry> groups;
};

struct AuthzTable {
  std::map<uintptr_t, bool> resourceManagers;
  std::map<uintptr_t, ClientContext> contexts;
  uintptr_t nextId = 0xA0000;
};

// Objects the library holds outlive a Reset of the world.
AuthzTable& Authz() {
  static AuthzTable* table = new AuthzTable();
  return *table;
}

size_t GroupsHeaderSize(size_t count) {
  size_t size = offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
  return size < sizeof(TOKEN_GROUPS) ? sizeof(TOKEN_GROUPS) : size;
}

}  // namespace

AUTHZ_RESOURCE_MANAGER_HANDLE NewResourceManager() {
  uintptr_t id = Authz().nextId++;
  Authz().resourceManagers[id] = true;
  AddLive("resource-manager", 1);
  return reinterpret_cast<AUTHZ_RESOURCE_MANAGER_HANDLE>(id);
}

bool FreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE handle) {
  if (Authz().resourceManagers.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return false;
  AddLive("resource-manager", -1);
  return true;
}

bool KnownResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE handle) {
  return Authz().resourceManagers.count(reinterpret_cast<uintptr_t>(handle)) != 0;
}

AUTHZ_CLIENT_CONTEXT_HANDLE NewClientContext(const SidBytes& user, AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager,
                                             std::vector<GroupEntry> groups) {
  uintptr_t id = Authz().nextId++;
  Authz().contexts[id] = ClientContext{user, reinterpret_cast<uintptr_t>(resourceManager), std::move(groups)};
  AddLive("authz-context", 1);
  return reinterpret_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(id);
}

const std::vector<GroupEntry>* ClientContextGroups(AUTHZ_CLIENT_CONTEXT_HANDLE handle) {
  auto found = Authz().contexts.find(reinterpret_cast<uintptr_t>(handle));
  return found == Authz().contexts.end() ? nullptr : &found->second.groups;
}

bool FreeClientContext(AUTHZ_CLIENT_CONTEXT_HANDLE handle) {
  if (Authz().contexts.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return false;
  AddLive("authz-context", -1);
  return true;
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

}  // namespace winhost::common
