// The domain's own directory over LDAP (see ldap_directory.h).
#include "system/directory/ldap_directory.h"

#include <gssapi/gssapi_krb5.h>
#include <ldap.h>
#include <netdb.h>
#include <sasl/sasl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "system/host/resolver.h"
#include "system/directory/accounts.h"
#include "system/directory/domain_accounts.h"
#include "system/directory/ldap_library.h"
#include "system/directory/ldap_pool.h"
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

// One search's answer: its first entry's attributes, each with its values.
struct Found {
  bool any = false;
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;
};

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
  const unsigned generation = PoolGeneration();
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

void LdapForget() { ForgetPool(); }

}  // namespace winhost::system::directory
