// DNS's service records, as the resolver answers them.
#pragma once

#include <string>
#include <vector>

#include "system/host/host.h"

namespace winhost::system::host {

// A host and port that a DNS service record names.
struct ServiceTarget {
  std::string host;  // without the trailing dot
  unsigned port = 0;
};

// The targets of the SRV records of `name`, in the order of their priority; none with `failure`
// set to the resolver's h_errno (HOST_NOT_FOUND for a name DNS does not have, NO_DATA, TRY_AGAIN
// ...). Journalled as "res_nquery".
std::vector<ServiceTarget> SystemServiceTargets(const std::string& name, int& failure);

}  // namespace winhost::system::host
