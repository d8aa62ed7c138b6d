// Domain accounts through winbind (see winbind.h). libwbclient's own declarations, the few used
// here, as its public header gives them; the library is looked for once and kept for the life of
// the process.
#include "system/directory/winbind.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "system/host/names.h"
#include "system/directory/run_time_library.h"

namespace winhost::system::directory {
namespace {

enum wbcErr {
  WBC_ERR_SUCCESS = 0,
  WBC_ERR_NOT_IMPLEMENTED,
  WBC_ERR_UNKNOWN_FAILURE,
  WBC_ERR_NO_MEMORY,
  WBC_ERR_INVALID_SID,
  WBC_ERR_INVALID_PARAM,
  WBC_ERR_WINBIND_NOT_AVAILABLE,
  WBC_ERR_DOMAIN_NOT_FOUND,
  WBC_ERR_INVALID_RESPONSE,
  WBC_ERR_NSS_ERROR,
  WBC_ERR_AUTH_ERROR,
  WBC_ERR_UNKNOWN_USER,
  WBC_ERR_UNKNOWN_GROUP,
  WBC_ERR_PWD_CHANGE_FAILED
};

constexpr int kMaxSubAuthorities = 15;

struct wbcDomainSid {
  uint8_t sid_rev_num;
  uint8_t num_auths;
  uint8_t id_auth[6];
  uint32_t sub_auths[kMaxSubAuthorities];
};

// The values are SID_NAME_USE's.
enum wbcSidType { WBC_SID_NAME_USE_NONE = 0 };

struct wbcDomainInfo {
  char* short_name;
  char* dns_name;
  wbcDomainSid sid;
  uint32_t domain_flags;
  uint32_t trust_flags;
  uint32_t trust_type;
  char* trust_routing;
};

struct wbcContext;

struct Library {
  wbcContext* (*create)();
  wbcErr (*lookupName)(wbcContext*, const char*, const char*, wbcDomainSid*, wbcSidType*);
  wbcErr (*lookupSid)(wbcContext*, const wbcDomainSid*, char**, char**, wbcSidType*);
  wbcErr (*lookupUserSids)(wbcContext*, const wbcDomainSid*, bool, uint32_t*, wbcDomainSid**);
  wbcErr (*domainInfo)(wbcContext*, const char*, wbcDomainInfo**);
  wbcErr (*uidToSid)(wbcContext*, uid_t, wbcDomainSid*);
  wbcErr (*gidToSid)(wbcContext*, gid_t, wbcDomainSid*);
  void (*freeMemory)(void*);
  wbcContext* context = nullptr;  // one connection to winbindd, used under `lock`
  std::mutex lock;
};

Library* Loaded() {
  static Library* loaded = []() -> Library* {
    void* library = dlopen("libwbclient.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto* functions = new Library();
    bool complete = BindFunction(library, "wbcCtxCreate", functions->create) &&
                    BindFunction(library, "wbcCtxLookupName", functions->lookupName) &&
                    BindFunction(library, "wbcCtxLookupSid", functions->lookupSid) &&
                    BindFunction(library, "wbcCtxLookupUserSids", functions->lookupUserSids) &&
                    BindFunction(library, "wbcCtxDomainInfo", functions->domainInfo) &&
                    BindFunction(library, "wbcCtxUidToSid", functions->uidToSid) &&
                    BindFunction(library, "wbcCtxGidToSid", functions->gidToSid) &&
                    BindFunction(library, "wbcFreeMemory", functions->freeMemory);
    if (complete) functions->context = functions->create();
    if (functions->context == nullptr) {
      // A library too old for contexts of its own, or out of memory: as if winbind were absent.
      delete functions;
      dlclose(library);
      return nullptr;
    }
    return functions;
  }();
  return loaded;
}

// What winbind's answer means here. It reports an unknown name as an unknown domain, so a
// caller that needs to tell the two apart asks whether winbind knows the domain.
DWORD ErrorOf(wbcErr error) {
  switch (error) {
    case WBC_ERR_SUCCESS: return ERROR_SUCCESS;
    case WBC_ERR_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case WBC_ERR_UNKNOWN_USER:
    case WBC_ERR_UNKNOWN_GROUP:
    case WBC_ERR_INVALID_SID:
    case WBC_ERR_INVALID_PARAM: return ERROR_NONE_MAPPED;
    case WBC_ERR_NOT_IMPLEMENTED:
    case WBC_ERR_WINBIND_NOT_AVAILABLE:
    case WBC_ERR_DOMAIN_NOT_FOUND: return ERROR_NO_SUCH_DOMAIN;
    default: return RPC_S_SERVER_UNAVAILABLE;
  }
}

// Journals the call and answers its fault, or makes it.
template <typename Call_>
wbcErr Invoke(const char* function, std::vector<std::pair<std::string, std::string>> args, Call_&& call) {
  if (auto fault = Enter(Call{function, std::move(args)})) return static_cast<wbcErr>(*fault);
  return call();
}

wbcDomainSid WbcSid(const SidBytes& sid) {
  wbcDomainSid converted{};
  converted.sid_rev_num = sid[0];
  converted.num_auths = static_cast<uint8_t>(std::min<size_t>(sid[1], kMaxSubAuthorities));
  std::memcpy(converted.id_auth, &sid[2], 6);
  std::memcpy(converted.sub_auths, &sid[8], 4u * converted.num_auths);
  return converted;
}

SidBytes SidOf(const wbcDomainSid& sid) {
  const size_t count = std::min<size_t>(sid.num_auths, kMaxSubAuthorities);
  SidBytes bytes(8 + 4 * count);
  bytes[0] = sid.sid_rev_num;
  bytes[1] = static_cast<uint8_t>(count);
  std::memcpy(&bytes[2], sid.id_auth, 6);
  std::memcpy(&bytes[8], sid.sub_auths, 4 * count);
  return bytes;
}

SID_NAME_USE UseOf(wbcSidType type) {
  const int value = static_cast<int>(type);
  return value >= SidTypeUser && value <= SidTypeComputer ? static_cast<SID_NAME_USE>(value) : SidTypeUnknown;
}

// The NetBIOS name of a domain winbind knows by that name (NetBIOS or DNS), under the lock.
DWORD KnownDomain(Library& library, const std::string& domain, std::string& shortName) {
  wbcDomainInfo* info = nullptr;
  const wbcErr error = Invoke("wbcCtxDomainInfo", {{"domain", domain}},
                              [&] { return library.domainInfo(library.context, domain.c_str(), &info); });
  if (error == WBC_ERR_SUCCESS && info != nullptr && info->short_name != nullptr) shortName = info->short_name;
  if (info != nullptr) library.freeMemory(info);
  if (error == WBC_ERR_SUCCESS && shortName.empty()) return RPC_S_SERVER_UNAVAILABLE;
  return ErrorOf(error);
}

DWORD LookupSidLocked(Library& library, const SidBytes& sid, WinbindAccount& account) {
  const wbcDomainSid converted = WbcSid(sid);
  char* domain = nullptr;
  char* name = nullptr;
  wbcSidType type = WBC_SID_NAME_USE_NONE;
  const wbcErr error = Invoke("wbcCtxLookupSid", {{"sid", SidText(sid)}}, [&] {
    return library.lookupSid(library.context, &converted, &domain, &name, &type);
  });
  if (error == WBC_ERR_SUCCESS && domain != nullptr && name != nullptr) {
    account = WinbindAccount{sid, domain, name, UseOf(type)};
  }
  if (domain != nullptr) library.freeMemory(domain);
  if (name != nullptr) library.freeMemory(name);
  if (error == WBC_ERR_SUCCESS && account.sid.empty()) return RPC_S_SERVER_UNAVAILABLE;
  // A SID of no domain winbind knows is no account it knows either.
  const DWORD mapped = ErrorOf(error);
  return mapped == ERROR_NO_SUCH_DOMAIN && error == WBC_ERR_DOMAIN_NOT_FOUND ? ERROR_NONE_MAPPED : mapped;
}

}  // namespace

DWORD WinbindLookupName(const std::string& domain, const std::string& name, WinbindAccount& account) {
  Library* library = Loaded();
  if (library == nullptr) return ERROR_NO_SUCH_DOMAIN;
  std::lock_guard<std::mutex> guard(library->lock);
  std::string shortName;
  if (DWORD error = KnownDomain(*library, domain, shortName); error != ERROR_SUCCESS)
    return error == ERROR_NONE_MAPPED ? ERROR_NO_SUCH_DOMAIN : error;
  wbcDomainSid sid{};
  wbcSidType type = WBC_SID_NAME_USE_NONE;
  const wbcErr error = Invoke("wbcCtxLookupName", {{"domain", shortName}, {"name", name}}, [&] {
    return library->lookupName(library->context, shortName.c_str(), name.c_str(), &sid, &type);
  });
  // The domain is winbind's: a name it does not find there is no account.
  if (error == WBC_ERR_DOMAIN_NOT_FOUND) return ERROR_NONE_MAPPED;
  if (error != WBC_ERR_SUCCESS) return ErrorOf(error);
  // The account's own spelling of its names, which the lookup of a name does not give.
  return LookupSidLocked(*library, SidOf(sid), account);
}

DWORD WinbindLookupSid(const SidBytes& sid, WinbindAccount& account) {
  Library* library = Loaded();
  if (library == nullptr) return ERROR_NO_SUCH_DOMAIN;
  std::lock_guard<std::mutex> guard(library->lock);
  return LookupSidLocked(*library, sid, account);
}

DWORD WinbindUserGroups(const SidBytes& user, std::vector<SidBytes>& groups) {
  Library* library = Loaded();
  if (library == nullptr) return ERROR_NO_SUCH_DOMAIN;
  std::lock_guard<std::mutex> guard(library->lock);
  const wbcDomainSid converted = WbcSid(user);
  uint32_t count = 0;
  wbcDomainSid* sids = nullptr;
  const wbcErr error = Invoke("wbcCtxLookupUserSids", {{"sid", SidText(user)}}, [&] {
    return library->lookupUserSids(library->context, &converted, false, &count, &sids);
  });
  groups.clear();
  for (uint32_t i = 0; error == WBC_ERR_SUCCESS && sids != nullptr && i < count; ++i) {
    SidBytes sid = SidOf(sids[i]);
    if (sid != user) groups.push_back(std::move(sid));
  }
  if (sids != nullptr) library->freeMemory(sids);
  if (error == WBC_ERR_DOMAIN_NOT_FOUND) return ERROR_NONE_MAPPED;
  return ErrorOf(error);
}

DWORD WinbindSidOfUnixId(bool group, uint32_t id, SidBytes& sid) {
  Library* library = Loaded();
  if (library == nullptr) return ERROR_NO_SUCH_DOMAIN;
  std::lock_guard<std::mutex> guard(library->lock);
  wbcDomainSid found{};
  const wbcErr error = Invoke(group ? "wbcCtxGidToSid" : "wbcCtxUidToSid", {{"id", std::to_string(id)}}, [&] {
    return group ? library->gidToSid(library->context, id, &found) : library->uidToSid(library->context, id, &found);
  });
  if (error == WBC_ERR_SUCCESS) sid = SidOf(found);
  // An id outside winbind's ranges is no domain account's.
  if (error == WBC_ERR_DOMAIN_NOT_FOUND) return ERROR_NONE_MAPPED;
  return ErrorOf(error);
}

}  // namespace winhost::system::directory
