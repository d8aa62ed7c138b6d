// Authz's handles in both worlds: resource managers, and client contexts that keep the group list
// their world gave when each was made (later membership changes are not seen).
#pragma once

#include <cstdint>
#include <vector>

#include "common/sids.h"
#include "winhost/security.h"

namespace winhost::common {

// Each requires the world lock.
AUTHZ_RESOURCE_MANAGER_HANDLE NewResourceManager();
bool FreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE handle);  // false when unknown
bool KnownResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE handle);

AUTHZ_CLIENT_CONTEXT_HANDLE NewClientContext(const SidBytes& user, AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager,
                                             std::vector<GroupEntry> groups);
const std::vector<GroupEntry>* ClientContextGroups(AUTHZ_CLIENT_CONTEXT_HANDLE handle);  // null when unknown
bool FreeClientContext(AUTHZ_CLIENT_CONTEXT_HANDLE handle);

// The TOKEN_GROUPS block of a context: the header and its entries, then the SIDs, each entry's
// Sid pointing at its SID inside the same block.
size_t GroupsBlockSize(const std::vector<GroupEntry>& groups);
void WriteGroupsBlock(const std::vector<GroupEntry>& groups, void* buffer, size_t size);

}  // namespace winhost::common
