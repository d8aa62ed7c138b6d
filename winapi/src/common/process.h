// The process as both worlds see it: its WOW64 situation, which the registry's views follow, and
// where its exit code is recorded. Both keep their defaults (a native process, no record) unless
// a test changes them through the control interface.
#pragma once

#include <string>

#include "winhost/control_host.h"

namespace winhost::common {

Wow64 CurrentWow64();  // takes the world lock
// Requires the world lock.
Wow64& Wow64Setting();
std::string& TerminationRecord();

}  // namespace winhost::common
