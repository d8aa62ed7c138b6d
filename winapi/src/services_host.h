// State of the host services that more than one of their files reads.
#pragma once

#include "host.h"
#include "winhost/control_host.h"
#include "winhost/host_services.h"

namespace winhost::detail {

// The process's WOW64 situation; the registry's views depend on it. Read under the world lock.
Wow64 CurrentWow64();

}  // namespace winhost::detail
