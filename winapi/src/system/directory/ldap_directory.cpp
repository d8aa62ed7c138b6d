// The domain's own directory over LDAP (see ldap_directory.h).
#include "system/directory/ldap_directory.h"

#include <gssapi/gssapi_krb5.h>
#include <ldap.h>
#include <netdb.h>
#include <sasl/sasl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "system/host/resolver.h"
#include "system/directory/accounts.h"
#include "system/directory/domain_accounts.h"
#include "system/directory/ldap_library.h"
#include "system/directory/ldap_values.h"
#include "system/host/names.h"
#include "system/host/settings.h"
#include "system/kerberos/service_key.h"
#include "winhost/host_services.h"

namespace winhost::system::directory {
namespace {

// How long a controller may take to accept the connection, and to answer one request; and how
// long one lookup may wait on controllers in all (the connections, binds and searches it makes,
// however many controllers it tries), so that a controller that stops answering holds up its
// caller for a bounded time.
constexpr int kConnectSeconds = 3;
constexpr int kRequestSeconds = 10;
constexpr std::chrono::seconds kLookupSeconds{20};

using Deadline = std::chrono::steady_clock::time_point;

// A request's time-out: kRequestSeconds, or what is left of the lookup's time when that is less;
// false when nothing is left.
bool RequestTimeout(Deadline deadline, int seconds, timeval& timeout) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  const long long bounded = std::min<long long>(left.count(), seconds * 1000000LL);
  timeout = timeval{static_cast<time_t>(bounded / 1000000), static_cast<suseconds_t>(bounded % 1000000)};
  return true;
}
constexpr int kLdapPort = 389;

// One search's answer: its first entry's attributes, each with its values.
struct Found {
  bool any = false;
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;
};

// Where the directory of a realm lives, as the locator last found it.
struct Located {
  std::vector<host::ServiceTarget> controllers;
  std::chrono::steady_clock::time_point until;
};

// A bound connection to one of a realm's controllers, with what its domain is. Used by one
// lookup at a time: it is off the pool while a lookup has it.
struct Pooled {
  LDAP* ld = nullptr;
  std::string realm;
  LdapDomain domain;
  unsigned generation = 0;  // of Forget's calls, when it was made
};

// Connections kept for the next lookups. More lookups than this at once each make their own, and
// what comes back beyond it is closed: a controller sees at most this many idle connections of a
// process, and one busy connection per lookup in flight.
constexpr size_t kPooledConnections = 4;

// Shared by every lookup. The lock guards these tables only and is never held across a call that
// may wait (DNS, the KDC, a controller), so a lookup that waits on a slow controller holds up no
// other lookup.
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

// One lookup's connection: taken from the pool or made afresh, and given back when the lookup
// ends, unless the controller dropped it, Forget was called meanwhile, or the pool is full; then
// it is closed, outside the lock.
class Lease {
 public:
  Lease() = default;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() { GiveBack(); }

  // An idle connection to `realm`'s directory, if the pool has one.
  bool Take(const std::string& realm) {
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

  // A connection just made (bound, its domain read) becomes this lease's.
  void Hold(LDAP* ld, const std::string& realm, LdapDomain domain, unsigned generation) {
    GiveBack();
    held_ = Pooled{ld, realm, std::move(domain), generation};
  }

  // The controller dropped the connection: it is closed, not given back, and so are the idle
  // ones of its realm, which a controller that restarted or went away dropped as well.
  void Discard() {
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

  LDAP* connection() const { return held_.ld; }
  const LdapDomain& domain() const { return held_.domain; }

 private:
  void GiveBack() {
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

  Pooled held_;
};

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

// The controllers that serve `realm`'s directory, in the order to try them. DNS's answer is kept
// as long as the cache keeps answers, and so is its "none"; a resolver that cannot answer is asked
// again next time. DNS is asked without the lock: lookups that find nothing known each ask, and the
// last answer is kept.
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

class Connection {
 public:
  Connection(const Library& library, LDAP* ld, Deadline deadline) : library_(library), ld_(ld), deadline_(deadline) {}

  // One search; its first entry's `attributes` when it found one.
  int Search(const std::string& base, int scope, const std::string& filter, const std::vector<const char*>& attributes,
             Found& found) const {
    found = Found{};
    std::vector<char*> names;
    for (const char* attribute : attributes) names.push_back(const_cast<char*>(attribute));
    names.push_back(nullptr);
    LDAPMessage* message = nullptr;
    int result;
    if (auto fault = Enter(Call{"ldap_search_ext_s", {{"base", base}, {"filter", filter}}})) {
      result = static_cast<int>(*fault);
    } else if (timeval timeout; !RequestTimeout(deadline_, kRequestSeconds, timeout)) {
      result = LDAP_TIMEOUT;
    } else {
      result = library_.search(ld_, base.c_str(), scope, filter.c_str(), names.data(), 0, nullptr, nullptr, &timeout, 0,
                               &message);
    }
    if (result == LDAP_SUCCESS && message != nullptr) {
      if (LDAPMessage* entry = library_.firstEntry(ld_, message)) {
        found.any = true;
        if (char* dn = library_.getDn(ld_, entry)) {
          found.dn = dn;
          library_.freeMemory(dn);
        }
        for (const char* attribute : attributes) {
          berval** values = library_.getValues(ld_, entry, attribute);
          if (values == nullptr) continue;
          for (int i = 0; i < library_.countValues(values); ++i)
            found.values[attribute].emplace_back(values[i]->bv_val, values[i]->bv_len);
          library_.freeValues(values);
        }
      }
    }
    if (message != nullptr) library_.freeMessage(message);
    return result;
  }

 private:
  const Library& library_;
  LDAP* ld_;
  Deadline deadline_;
};

std::string First(const Found& found, const char* attribute) {
  auto values = found.values.find(attribute);
  return values == found.values.end() || values->second.empty() ? "" : values->second.front();
}

std::optional<SidBytes> SidValue(const std::string& value) {
  return SidOfBytes(SidBytes(value.begin(), value.end()));
}

// What the domain is: its naming context, SID and NetBIOS name, read once per connection.
int ReadDomain(const Connection& connection, const std::string& realm, LdapDomain& domain) {
  Found root;
  int result = connection.Search("", LDAP_SCOPE_BASE, "(objectClass=*)",
                                 {"defaultNamingContext", "configurationNamingContext"}, root);
  if (result != LDAP_SUCCESS) return result;
  domain = LdapDomain{};
  domain.dnsName = LowerAscii(realm);
  domain.namingContext = First(root, "defaultNamingContext");
  const std::string configuration = First(root, "configurationNamingContext");
  if (domain.namingContext.empty()) return LDAP_NO_SUCH_OBJECT;
  Found head;
  result = connection.Search(domain.namingContext, LDAP_SCOPE_BASE, "(objectClass=*)", {"objectSid"}, head);
  if (result != LDAP_SUCCESS) return result;
  auto sid = SidValue(First(head, "objectSid"));
  if (!sid) return LDAP_NO_SUCH_OBJECT;
  domain.sid = *sid;
  // The NetBIOS name is the partition's; a directory that does not say has the realm's first label.
  Found partition;
  if (!configuration.empty()) {
    result = connection.Search("CN=Partitions," + configuration, LDAP_SCOPE_ONELEVEL,
                               "(&(objectClass=crossRef)(nCName=" + LdapFilterValue(domain.namingContext) + "))",
                               {"nETBIOSName"}, partition);
    if (result != LDAP_SUCCESS && result != LDAP_NO_SUCH_OBJECT) return result;
  }
  domain.netbiosName = First(partition, "nETBIOSName");
  if (domain.netbiosName.empty()) {
    domain.netbiosName = UpperAscii(realm.substr(0, realm.find('.')));
  }
  return LDAP_SUCCESS;
}

// Binds to one controller as the service. The LDAP result code of the bind.
int BindTo(const Library& library, const host::ServiceTarget& controller, const std::string& cache, Deadline deadline,
           LDAP*& ld) {
  ld = nullptr;
  timeval connect;
  timeval request;
  if (!RequestTimeout(deadline, kConnectSeconds, connect) || !RequestTimeout(deadline, kRequestSeconds, request))
    return LDAP_TIMEOUT;
  const std::string uri = "ldap://" + controller.host + ":" + std::to_string(controller.port ? controller.port : kLdapPort);
  int result;
  if (auto fault = Enter(Call{"ldap_initialize", {{"uri", uri}}})) {
    result = static_cast<int>(*fault);
  } else {
    result = library.initialize(&ld, uri.c_str());
  }
  if (result != LDAP_SUCCESS) return result;
  const int version = LDAP_VERSION3;
  library.setOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  library.setOption(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  library.setOption(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect);
  library.setOption(ld, LDAP_OPT_TIMEOUT, &request);
  // The service ticket is for the controller's name as DNS listed it, not its reverse lookup.
  // A switch is on when its value is any pointer but null (LDAP_OPT_ON names a symbol of liblber,
  // which is not linked).
  static const int on = 1;
  library.setOption(ld, LDAP_OPT_X_SASL_NOCANON, &on);
  // A security layer on every bind (integrity at least, as controllers that require LDAP signing
  // demand): a bind that would carry the directory's answers unprotected is not made.
  static const char kSecurityLayer[] = "minssf=1";
  library.setOption(ld, LDAP_OPT_X_SASL_SECPROPS, kSecurityLayer);
  if (auto fault = Enter(Call{"ldap_sasl_interactive_bind_s", {{"uri", uri}, {"mechanism", "GSSAPI"}}})) {
    result = static_cast<int>(*fault);
  } else {
    ThreadCache service(cache);
    result = library.bind(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, Interact, nullptr);
  }
  if (result != LDAP_SUCCESS) {
    library.unbind(ld, nullptr, nullptr);
    ld = nullptr;
  }
  return result;
}

// A bound connection to a controller of `realm`, and what its domain is, made for `lease`.
DWORD Connect(const std::string& realm, Deadline deadline, Lease& lease) {
  const Library* library = Loaded();
  if (library == nullptr) return ERROR_NO_SUCH_DOMAIN;
  const std::optional<std::string> principal = kerberos::ServicePrincipal(realm);
  if (!principal) return ERROR_NO_SUCH_DOMAIN;
  // The generation the connection is of: one made while Forget is called is not pooled after it.
  const unsigned generation = forgetting.load();
  const std::vector<host::ServiceTarget> controllers = Controllers(realm, generation);
  if (controllers.empty()) return ERROR_NO_SUCH_DOMAIN;
  std::string cache;
  if (DWORD error = kerberos::ServiceTickets(*principal, cache); error != ERROR_SUCCESS) return error;
  DWORD error = ERROR_NO_LOGON_SERVERS;
  for (const host::ServiceTarget& controller : controllers) {
    LDAP* ld = nullptr;
    int result = BindTo(*library, controller, cache, deadline, ld);
    if (result == LDAP_NO_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
    if (result != LDAP_SUCCESS) continue;  // silent, or refusing the service: the next may serve
    LdapDomain domain;
    result = ReadDomain(Connection(*library, ld, deadline), realm, domain);
    if (result == LDAP_SUCCESS) {
      lease.Hold(ld, realm, std::move(domain), generation);
      return ERROR_SUCCESS;
    }
    library->unbind(ld, nullptr, nullptr);
    error = ErrorOf(result) == ERROR_NONE_MAPPED ? static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE) : ErrorOf(result);
  }
  return error;
}

// Runs `work` on a connection to `realm`'s directory, the pool's or a new one; once more on a new
// connection when the controller dropped a kept one. No lock is held meanwhile: lookups run at
// once, each on its own connection, and each waits on controllers for its own time only.
template <typename Work>
DWORD WithDirectory(const std::string& realm, Work&& work) {
  const Deadline deadline = std::chrono::steady_clock::now() + kLookupSeconds;
  for (int attempt = 0;; ++attempt) {
    Lease lease;
    const bool fresh = !lease.Take(realm);
    if (fresh) {
      if (DWORD error = Connect(realm, deadline, lease); error != ERROR_SUCCESS) return error;
    }
    const int result = work(Connection(*Loaded(), lease.connection(), deadline), lease.domain());
    if (ConnectionLost(result)) {
      lease.Discard();
      if (!fresh && attempt == 0) continue;
    }
    return ErrorOf(result);
  }
}

// The account a filter finds in the domain's naming context: only the domain's own accounts,
// which a member server names with the domain's name (the domain's built-in aliases are the
// controllers' own, as this computer's are its own).
DWORD FindAccount(const std::string& realm, const std::string& filter, LdapEntry& entry) {
  return WithDirectory(realm, [&](const Connection& connection, const LdapDomain& domain) {
    Found found;
    int result = connection.Search(domain.namingContext, LDAP_SCOPE_SUBTREE, filter,
                                   {"objectSid", "sAMAccountName", "sAMAccountType"}, found);
    if (result != LDAP_SUCCESS) return result;
    auto sid = SidValue(First(found, "objectSid"));
    const SID_NAME_USE use = LdapAccountUse(First(found, "sAMAccountType"));
    if (!found.any || !sid || !InDomain(*sid, domain.sid) || use == SidTypeUnknown) return LDAP_NO_SUCH_OBJECT;
    entry = LdapEntry{found.dn, *sid, First(found, "sAMAccountName"), use};
    return LDAP_SUCCESS;
  });
}

}  // namespace

DWORD LdapDomainOf(const std::string& realm, LdapDomain& domain) {
  return WithDirectory(realm, [&](const Connection&, const LdapDomain& known) {
    domain = known;
    return LDAP_SUCCESS;
  });
}

DWORD LdapFindByName(const std::string& realm, const std::string& name, LdapEntry& entry) {
  if (name.empty()) return ERROR_NONE_MAPPED;
  return FindAccount(realm, "(sAMAccountName=" + LdapFilterValue(name) + ")", entry);
}

DWORD LdapFindByPrincipal(const std::string& realm, const std::string& principal, LdapEntry& entry) {
  if (principal.empty()) return ERROR_NONE_MAPPED;
  return FindAccount(realm, "(userPrincipalName=" + LdapFilterValue(principal) + ")", entry);
}

DWORD LdapUserFlags(const std::string& realm, const std::string& name, std::string& samName, DWORD& flags) {
  if (name.empty()) return ERROR_NONE_MAPPED;
  return WithDirectory(realm, [&](const Connection& connection, const LdapDomain& domain) {
    Found found;
    int result = connection.Search(domain.namingContext, LDAP_SCOPE_SUBTREE, "(sAMAccountName=" + LdapFilterValue(name) + ")",
                                   {"objectSid", "sAMAccountName", "sAMAccountType", "userAccountControl"}, found);
    if (result != LDAP_SUCCESS) return result;
    auto sid = SidValue(First(found, "objectSid"));
    const std::string control = First(found, "userAccountControl");
    if (!found.any || !sid || !InDomain(*sid, domain.sid) || LdapAccountUse(First(found, "sAMAccountType")) != SidTypeUser ||
        control.empty())
      return LDAP_NO_SUCH_OBJECT;
    // The directory writes it as a signed decimal number.
    samName = First(found, "sAMAccountName");
    flags = static_cast<DWORD>(std::strtoll(control.c_str(), nullptr, 10));
    return LDAP_SUCCESS;
  });
}

DWORD LdapFindBySid(const std::string& realm, const SidBytes& sid, LdapEntry& entry) {
  return FindAccount(realm, "(objectSid=" + LdapBinaryValue(sid) + ")", entry);
}

DWORD LdapTokenGroups(const std::string& realm, const std::string& dn, std::vector<SidBytes>& groups) {
  return WithDirectory(realm, [&](const Connection& connection, const LdapDomain&) {
    Found found;
    int result = connection.Search(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"tokenGroups"}, found);
    if (result != LDAP_SUCCESS) return result;
    if (!found.any) return LDAP_NO_SUCH_OBJECT;
    groups.clear();
    for (const std::string& value : found.values["tokenGroups"])
      if (auto sid = SidValue(value)) groups.push_back(*sid);
    return LDAP_SUCCESS;
  });
}

void LdapForget() { forgetting.fetch_add(1); }

}  // namespace winhost::system::directory
