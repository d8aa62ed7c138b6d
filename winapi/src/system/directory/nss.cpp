// NSS's calls and SSSD's SID mapping (see nss.h).
#include "system/directory/nss.h"

#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "system/directory/run_time_library.h"
#include "system/host/names.h"

namespace winhost::system::directory {

// ---- NSS -------------------------------------------------------------------------------------

// What an NSS error means to a Windows caller. The reentrant functions report "not found" as 0
// with no entry, or as one of ENOENT, ESRCH, EBADF and EPERM depending on the module.
DWORD NssError(int error) {
  switch (error) {
    case 0:
    case ENOENT:
    case ESRCH:
    case EBADF:
    case EPERM: return ERROR_NONE_MAPPED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return RPC_S_SERVER_UNAVAILABLE;  // the directory service behind NSS did not answer
  }
}

constexpr size_t kFirstBuffer = 1024;
constexpr size_t kLargestBuffer = size_t{1} << 20;
constexpr int kInterruptions = 8;

// Calls a reentrant NSS lookup, doubling its buffer while it answers ERANGE. `take` copies the
// entry out before the buffer goes. 0, ERROR_NONE_MAPPED or the failure's code.
template <typename Record>
DWORD QueryNss(const char* function, const std::string& key,
               const std::function<int(Record*, char*, size_t, Record**)>& lookup,
               const std::function<void(const Record&)>& take) {
  std::vector<char> buffer(kFirstBuffer);
  for (int interruptions = 0;;) {
    Record record;
    Record* result = nullptr;
    int error;
    if (auto fault = Enter(Call{function, {{"key", key}, {"bufferSize", std::to_string(buffer.size())}}})) {
      error = static_cast<int>(*fault);
    } else {
      error = lookup(&record, buffer.data(), buffer.size(), &result);
    }
    if (error == EINTR && ++interruptions < kInterruptions) continue;
    if (error == ERANGE) {
      // An entry that does not fit a megabyte is no account anyone can use.
      if (buffer.size() >= kLargestBuffer) return ERROR_NOT_ENOUGH_MEMORY;
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || result == nullptr) return NssError(error);
    take(*result);
    return ERROR_SUCCESS;
  }
}

void TakeUser(const passwd& entry, UserEntry& user) { user = UserEntry{entry.pw_name, entry.pw_uid, entry.pw_gid}; }
void TakeGroup(const group& entry, GroupRecord& out) { out = GroupRecord{entry.gr_name, entry.gr_gid}; }

DWORD UserByName(const std::string& name, UserEntry& user) {
  return QueryNss<passwd>(
      "getpwnam_r", name,
      [&](passwd* record, char* buffer, size_t size, passwd** result) {
        return getpwnam_r(name.c_str(), record, buffer, size, result);
      },
      [&](const passwd& entry) { TakeUser(entry, user); });
}

DWORD UserById(uid_t uid, UserEntry& user) {
  return QueryNss<passwd>(
      "getpwuid_r", std::to_string(uid),
      [&](passwd* record, char* buffer, size_t size, passwd** result) {
        return getpwuid_r(uid, record, buffer, size, result);
      },
      [&](const passwd& entry) { TakeUser(entry, user); });
}

DWORD GroupByName(const std::string& name, GroupRecord& out) {
  return QueryNss<group>(
      "getgrnam_r", name,
      [&](group* record, char* buffer, size_t size, group** result) {
        return getgrnam_r(name.c_str(), record, buffer, size, result);
      },
      [&](const group& entry) { TakeGroup(entry, out); });
}

DWORD GroupById(gid_t gid, GroupRecord& out) {
  return QueryNss<group>(
      "getgrgid_r", std::to_string(gid),
      [&](group* record, char* buffer, size_t size, group** result) {
        return getgrgid_r(gid, record, buffer, size, result);
      },
      [&](const group& entry) { TakeGroup(entry, out); });
}

// The groups NSS gives a user, its primary group included. getgrouplist reports how many it has
// when the array is too small, and the array grows to that.
DWORD GroupList(const UserEntry& user, std::vector<gid_t>& groups) {
  int capacity = 32;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::vector<gid_t> found(static_cast<size_t>(capacity));
    int count = capacity;
    int result;
    if (auto fault = Enter(Call{"getgrouplist", {{"user", user.name}, {"size", std::to_string(capacity)}}})) {
      if (*fault != ERANGE) return NssError(static_cast<int>(*fault));
      result = -1;
    } else {
      result = getgrouplist(user.name.c_str(), user.gid, found.data(), &count);
    }
    if (result >= 0) {
      found.resize(static_cast<size_t>(std::min(count, capacity)));
      groups = std::move(found);
      return ERROR_SUCCESS;
    }
    capacity = count > capacity ? count : capacity * 2;
  }
  return ERROR_NOT_ENOUGH_MEMORY;
}

// ---- SSSD's domain SIDs, when its library is installed -----------------------------------------

const SssIdmap* Idmap() {
  static const SssIdmap* idmap = []() -> const SssIdmap* {
    void* library = dlopen("libsss_nss_idmap.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto* loaded = new SssIdmap{};
    BindFunction(library, "sss_nss_getsidbygid", loaded->sidByGid);
    if (!BindFunction(library, "sss_nss_getsidbyname", loaded->sidByName) ||
        !BindFunction(library, "sss_nss_getnamebysid", loaded->nameBySid)) {
      delete loaded;
      dlclose(library);
      return nullptr;
    }
    return loaded;  // kept for the life of the process, as the library is
  }();
  return idmap;
}

// SSSD's answer as a Windows code: its "unknown" and "not running" are no failure (the Unix SID
// serves), but an SSSD that is there and cannot answer fails the lookup, so that an account never
// changes SID with SSSD's mood.
DWORD IdmapError(int error) {
  switch (error) {
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
    case ETIME:
    case ETIMEDOUT:
    case EAGAIN: return RPC_S_SERVER_UNAVAILABLE;
    default: return ERROR_SUCCESS;
  }
}

// SSSD's responder socket: without it the library has no one to ask, and asking costs as much as
// the NSS lookup itself, on every lookup of a machine that does not run SSSD.
bool SssdListening() { return access("/var/lib/sss/pipes/nss", F_OK) == 0; }

// Calls one idmap function (journalled under its own name); `text` gets its string when it
// answered.
DWORD CallIdmap(const char* function, const std::string& key, const std::function<int(char**, int*)>& call,
                std::optional<std::string>& text) {
  text.reset();
  if (Idmap() == nullptr || !SssdListening()) return ERROR_SUCCESS;
  if (auto fault = Enter(Call{function, {{"key", key}}})) return IdmapError(static_cast<int>(*fault));
  char* answer = nullptr;
  int type = 0;
  int error = call(&answer, &type);
  if (error == 0 && answer != nullptr) text = answer;
  std::free(answer);
  return error == 0 ? ERROR_SUCCESS : IdmapError(error);
}

DWORD DomainSidOfName(const std::string& name, std::optional<SidBytes>& sid) {
  std::optional<std::string> text;
  DWORD error = CallIdmap("sss_nss_getsidbyname", name,
                          [&](char** answer, int* type) { return Idmap()->sidByName(name.c_str(), answer, type); }, text);
  sid = text ? ParseSid(*text) : std::nullopt;
  return error;
}

DWORD DomainSidOfGid(gid_t gid, std::optional<SidBytes>& sid) {
  sid.reset();
  if (Idmap() == nullptr || Idmap()->sidByGid == nullptr) return ERROR_SUCCESS;
  std::optional<std::string> text;
  DWORD error = CallIdmap("sss_nss_getsidbygid", std::to_string(gid),
                          [&](char** answer, int* type) { return Idmap()->sidByGid(gid, answer, type); }, text);
  sid = text ? ParseSid(*text) : std::nullopt;
  return error;
}

}  // namespace winhost::system::directory
