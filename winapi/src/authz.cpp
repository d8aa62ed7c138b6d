// Authz of the stand-in host: resource managers and client contexts built from an account's SID,
// whose group list is the world's answer at the moment the context is made.
#include "common/authz.h"
#include "common/journal.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

std::string IdText(const void* handle) {
  return handle == nullptr ? "null" : std::to_string(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

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
  *resourceManager = NewResourceManager();
  return TRUE;
}

BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"AuthzFreeResourceManager", {{"handle", IdText(resourceManager)}}}))
    return FailWith(*fault);
  return FreeResourceManager(resourceManager) ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

BOOL WINAPI AuthzInitializeContextFromSid(DWORD flags, PSID userSid, AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager,
                                          PLARGE_INTEGER expirationTime, LUID identifier, PVOID dynamicGroupArgs,
                                          PAUTHZ_CLIENT_CONTEXT_HANDLE clientContext) {
  WorldLock lock(WorldMutex());
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
  if (!KnownResourceManager(resourceManager)) return FailWith(ERROR_INVALID_HANDLE);
  if (!sid) return FailWith(ERROR_INVALID_SID);
  // The world may wait for its directory; the resource manager may go meanwhile, as a context made
  // on Windows just before it goes would still be made.
  std::vector<GroupEntry> groups;
  if (DWORD error = world::ContextGroups(lock, *sid, groups); error != ERROR_SUCCESS) return FailWith(error);
  *clientContext = NewClientContext(*sid, resourceManager, std::move(groups));
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
  const std::vector<GroupEntry>* groups = ClientContextGroups(clientContext);
  if (groups == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  if (sizeRequired == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (infoClass != AuthzContextInfoGroupsSids) return FailWith(ERROR_NOT_SUPPORTED);
  const size_t size = GroupsBlockSize(*groups);
  *sizeRequired = static_cast<DWORD>(size);
  if (buffer == nullptr || bufferSize < size) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  WriteGroupsBlock(*groups, buffer, size);
  return TRUE;
}

BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE clientContext) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"AuthzFreeContext", {{"context", IdText(clientContext)}}})) return FailWith(*fault);
  return FreeClientContext(clientContext) ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

}  // extern "C"
