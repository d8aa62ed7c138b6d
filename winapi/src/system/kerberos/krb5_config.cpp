// The packages' kept krb5 context and the keytab it names: see krb5_config.h.
#include "system/kerberos/krb5_config.h"

#include <profile.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "system/host/settings.h"

namespace winhost::system::kerberos {
namespace {

// Identifies the Kerberos configuration's files as they are now: their names and, for each, its
// device, inode, size and modification time (all zero for a file that cannot be looked at). Asked
// for several times a sign-on, so it builds no text.
struct Configuration {
  std::string files;
  std::vector<std::array<long long, 5>> stamps;
  bool operator==(const Configuration& other) const { return files == other.files && stamps == other.stamps; }
};

Configuration ConfigurationNow() {
  const std::optional<std::string> variable = host::RawSetting(host::SettingId::kKrb5Config);
  Configuration now{variable ? *variable : host::SettingOf(host::SettingId::kKrb5Config).fallback, {}};
  for (size_t from = 0; from <= now.files.size();) {
    size_t to = now.files.find(':', from);
    if (to == std::string::npos) to = now.files.size();
    const std::string file = now.files.substr(from, to - from);
    struct stat status = {};
    if (stat(file.c_str(), &status) != 0) status = {};
    now.stamps.push_back({static_cast<long long>(status.st_dev), static_cast<long long>(status.st_ino),
                          static_cast<long long>(status.st_size), static_cast<long long>(status.st_mtim.tv_sec),
                          static_cast<long long>(status.st_mtim.tv_nsec)});
    from = to + 1;
  }
  return now;
}

struct Shared {
  // Compared with by KeytabName on any thread: a context of another's is never the kept one.
  std::atomic<krb5_context> context{nullptr};
  Configuration configuration;
  std::atomic<unsigned long> generation{0};
  // The default keytab's name with this context, while KRB5_KTNAME stays `variable`.
  std::optional<std::string> variable;
  std::optional<std::string> keytab;
};

Shared& Kept() {
  static auto* shared = new Shared();
  return *shared;
}

}  // namespace

krb5_context SharedKrb5() {
  Shared& shared = Kept();
  Configuration now = ConfigurationNow();
  krb5_context kept = shared.context.load();
  if (kept != nullptr && now == shared.configuration) return kept;
  krb5_context fresh = nullptr;
  // A configuration that cannot be read now (a thread acting as a client may not) leaves the one
  // read before.
  if (krb5_init_context(&fresh) != 0) return kept;
  shared.context.store(fresh);
  if (kept != nullptr) krb5_free_context(kept);
  shared.configuration = std::move(now);
  ++shared.generation;
  shared.keytab.reset();
  return fresh;  // kept until the configuration changes
}

long SkewOf(krb5_context context) {
  int skew = 300;
  profile_t profile = nullptr;
  if (context != nullptr && krb5_get_profile(context, &profile) == 0) {
    profile_get_integer(profile, "libdefaults", "clockskew", nullptr, 300, &skew);
    profile_release(profile);
  }
  return skew > 0 ? skew : 300;
}

unsigned long SharedKrb5Generation() { return Kept().generation.load(); }

namespace {

// The thread's krb5 context and the keytab handle opened on it, which goes first.
struct ThreadOwn {
  ThreadKrb5 made;
  unsigned long generation = 0;
  krb5_keytab keytab = nullptr;
  std::string keytabName;
  ~ThreadOwn() { Free(); }
  void CloseKeytab() {
    if (keytab != nullptr) krb5_kt_close(made.context, keytab);
    keytab = nullptr;
    keytabName.clear();
  }
  void Free() {
    CloseKeytab();
    if (made.context != nullptr) krb5_free_context(made.context);
    made = ThreadKrb5{};
  }
};

ThreadOwn& Own() {
  thread_local ThreadOwn own;
  return own;
}

}  // namespace

const ThreadKrb5& ThreadKrb5Context() {
  ThreadOwn& own = Own();
  const unsigned long generation = Kept().generation.load();
  if (own.made.context != nullptr && own.generation == generation) return own.made;
  own.Free();
  own.generation = generation;
  if (krb5_init_context(&own.made.context) != 0) {
    own.made.context = nullptr;
    return own.made;
  }
  own.made.skew = SkewOf(own.made.context);
  return own.made;
}

krb5_keytab ThreadKeytab(const std::string& name) {
  krb5_context context = ThreadKrb5Context().context;
  ThreadOwn& own = Own();
  if (context == nullptr) return nullptr;
  if (own.keytab != nullptr && own.keytabName == name) return own.keytab;
  own.CloseKeytab();
  if (krb5_kt_resolve(context, name.c_str(), &own.keytab) != 0) {
    own.keytab = nullptr;
    return nullptr;
  }
  own.keytabName = name;
  return own.keytab;
}

std::string KeytabName(krb5_context context) {
  // krb5 looks the name up in its configuration each time; with the kept context it changes only
  // with the context (the configuration) or the environment's KRB5_KTNAME.
  Shared& shared = Kept();
  const bool kept = context != nullptr && context == shared.context.load();
  std::optional<std::string> variable;
  if (kept) {
    variable = host::RawSetting(host::SettingId::kKrb5Keytab);
    if (shared.keytab && shared.variable == variable) return *shared.keytab;
  }
  char name[4096] = {};
  if (context == nullptr || krb5_kt_default_name(context, name, sizeof name - 1) != 0) return std::string();
  if (kept) {
    shared.variable = std::move(variable);
    shared.keytab = name;
  }
  return name;
}

std::string KeytabFile(krb5_context context) {
  const std::string name = KeytabName(context);
  for (const char* prefix : {"FILE:", "WRFILE:"})
    if (name.rfind(prefix, 0) == 0) return name.substr(std::strlen(prefix));
  // A name with a type of any other kind is not a file; a bare path is one.
  return name.empty() || name[0] != '/' ? std::string() : name;
}

}  // namespace winhost::system::kerberos
