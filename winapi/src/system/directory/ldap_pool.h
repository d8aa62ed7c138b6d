// The connections to a realm's controllers that lookups lease one at a time, and where the
// controllers are. A lookup holds its connection alone while it runs; the pool's lock guards the
// pool and the locator's answers only and is never held across a call that may wait (DNS, the
// KDC, a controller), so a lookup that waits on a slow controller holds up no other lookup.
#pragma once

#include <ldap.h>

#include <string>
#include <vector>

#include "system/directory/ldap_directory.h"
#include "system/host/resolver.h"

namespace winhost::system::directory {

// LDAP's port, where a controller is named without one.
constexpr unsigned kLdapPort = 389;

// A bound connection to one of a realm's controllers, with what its domain is. Used by one
// lookup at a time: it is off the pool while a lookup has it.
struct Pooled {
  LDAP* ld = nullptr;
  std::string realm;
  LdapDomain domain;
  unsigned generation = 0;  // of Forget's calls, when it was made
};

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
  bool Take(const std::string& realm);
  // A connection just made (bound, its domain read) becomes this lease's.
  void Hold(LDAP* ld, const std::string& realm, LdapDomain domain, unsigned generation);
  // The controller dropped the connection: it is closed, not given back, and so are the idle
  // ones of its realm, which a controller that restarted or went away dropped as well.
  void Discard();

  LDAP* connection() const { return held_.ld; }
  const LdapDomain& domain() const { return held_.domain; }

 private:
  void GiveBack();

  Pooled held_;
};

// The generation of Forget's calls now: a connection made in one is not pooled after the next.
unsigned PoolGeneration();
// Drops every pooled connection and what the locator found, at the next use of the pool.
void ForgetPool();

// The controllers that serve `realm`'s directory, in the order to try them (asked in generation
// `generation`).
std::vector<host::ServiceTarget> Controllers(const std::string& realm, unsigned generation);

}  // namespace winhost::system::directory
