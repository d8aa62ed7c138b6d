// The pool of directory connections and the locator's answers (see ldap_pool.h).
#include "system/directory/ldap_pool.h"

#include <netdb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>

#include "system/directory/domain_accounts.h"
#include "system/directory/ldap_library.h"
#include "system/host/names.h"
#include "system/host/settings.h"

namespace winhost::system::directory {
namespace {

// Where the directory of a realm lives, as the locator last found it.
struct Located {
  std::vector<host::ServiceTarget> controllers;
  std::chrono::steady_clock::time_point until;
};

// Connections kept for the next lookups. More lookups than this at once each make their own, and
// what comes back beyond it is closed: a controller sees at most this many idle connections of a
// process, and one busy connection per lookup in flight.
constexpr size_t kPooledConnections = 4;

// Shared by every lookup; its lock guards these tables only.
struct State {
  std::mutex lock;
  unsigned generation = 0;  // of Forget's calls, when the state was last made afresh
  std::vector<Pooled> idle;
  std::map<std::string, Located> located;
};

State& TheState() {
  static State* state = new State();
  return *state;
}

// Forget may be called under the world lock (a test's fresh world), which the lookups take and let
// go on their way: it only asks, and the next use of the state forgets.
std::atomic<unsigned> forgetting{0};

void Close(LDAP* ld) {
  if (ld != nullptr) Loaded()->unbind(ld, nullptr, nullptr);
}

// Runs `use` on the state under its lock, caught up with Forget's calls first; what Forget's
// calls left behind is closed once the lock is let go, since closing talks to the controller.
template <typename Use>
void WithState(Use&& use) {
  State& state = TheState();
  std::vector<Pooled> stale;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (const unsigned generation = forgetting.load(); generation != state.generation) {
      for (Pooled& pooled : state.idle) stale.push_back(std::move(pooled));
      state.idle.clear();
      state.located.clear();
      state.generation = generation;
    }
    use(state, stale);
  }
  for (Pooled& pooled : stale) Close(pooled.ld);
}

// QUENTREL_LDAP_SERVERS's controllers: host[:port], comma-separated.
std::vector<host::ServiceTarget> ConfiguredServers() {
  std::vector<host::ServiceTarget> servers;
  for (std::string item : host::ListSetting(host::SettingId::kLdapServers)) {
    const size_t colon = item.rfind(':');
    unsigned port = kLdapPort;
    if (colon != std::string::npos && colon + 1 < item.size()) {
      port = static_cast<unsigned>(std::strtoul(item.c_str() + colon + 1, nullptr, 10));
      item.resize(colon);
    }
    servers.push_back({item, port});
  }
  return servers;
}

}  // namespace

bool Lease::Take(const std::string& realm) {
  GiveBack();
  WithState([&](State& state, std::vector<Pooled>&) {
    auto found = std::find_if(state.idle.begin(), state.idle.end(),
                              [&](const Pooled& pooled) { return pooled.realm == realm; });
    if (found == state.idle.end()) return;
    held_ = std::move(*found);
    state.idle.erase(found);
  });
  return held_.ld != nullptr;
}

void Lease::Hold(LDAP* ld, const std::string& realm, LdapDomain domain, unsigned generation) {
  GiveBack();
  held_ = Pooled{ld, realm, std::move(domain), generation};
}

void Lease::Discard() {
  const std::string realm = held_.realm;
  Close(held_.ld);
  held_ = Pooled{};
  WithState([&](State& state, std::vector<Pooled>& stale) {
    auto kin = std::stable_partition(state.idle.begin(), state.idle.end(),
                                     [&](const Pooled& pooled) { return pooled.realm != realm; });
    std::move(kin, state.idle.end(), std::back_inserter(stale));
    state.idle.erase(kin, state.idle.end());
  });
}

void Lease::GiveBack() {
  if (held_.ld == nullptr) return;
  WithState([&](State& state, std::vector<Pooled>& stale) {
    if (held_.generation == state.generation && state.idle.size() < kPooledConnections) {
      state.idle.push_back(std::move(held_));
    } else {
      stale.push_back(std::move(held_));
    }
  });
  held_ = Pooled{};
}

unsigned PoolGeneration() { return forgetting.load(); }

void ForgetPool() { forgetting.fetch_add(1); }

// DNS's answer is kept as long as the cache keeps answers, and so is its "none"; a resolver that
// cannot answer is asked again next time. DNS is asked without the lock: lookups that find nothing
// known each ask, and the last answer is kept.
std::vector<host::ServiceTarget> Controllers(const std::string& realm, unsigned generation) {
  if (const std::optional<std::string> configured = host::GivenSetting(host::SettingId::kLdapServers)) {
    if (LowerAscii(*configured) == "none") return {};
    return ConfiguredServers();
  }
  std::optional<std::vector<host::ServiceTarget>> cached;
  WithState([&](State& state, std::vector<Pooled>&) {
    auto known = state.located.find(realm);
    if (known != state.located.end() && known->second.until > std::chrono::steady_clock::now())
      cached = known->second.controllers;
  });
  if (cached) return *cached;
  // The domain's controllers, as Windows' locator asks for them, else any LDAP server it lists.
  std::vector<host::ServiceTarget> controllers;
  bool definite = true;
  for (const char* service : {"_ldap._tcp.dc._msdcs.", "_ldap._tcp."}) {
    int failure = 0;
    controllers = host::SystemServiceTargets(service + LowerAscii(realm), failure);
    definite = definite && (!controllers.empty() || failure == HOST_NOT_FOUND || failure == NO_DATA);
    if (!controllers.empty()) break;
  }
  if (definite) {
    WithState([&](State& state, std::vector<Pooled>&) {
      // An answer asked for before a call of Forget is not kept after it.
      if (generation == state.generation)
        state.located[realm] = Located{controllers, std::chrono::steady_clock::now() + DirectoryCacheLifetime()};
    });
  }
  return controllers;
}

}  // namespace winhost::system::directory
