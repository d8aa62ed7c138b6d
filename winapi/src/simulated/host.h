// The simulated host: an in-memory Windows computer that tests set up at will, behind the same
// Windows functions as the machine's own world. Each area keeps its state in its own file and
// registers a reset hook; winhost::Reset() puts them all back to the default world.
#pragma once

#include <string>

#include "common/journal.h"
#include "common/lock.h"
#include "common/text.h"
#include "winhost/control.h"

namespace winhost::simulated {

using namespace common;

// The names of this computer and of the process user (shared by several areas). Require the
// world lock.
ComputerNames& Names();
const std::string& ProcessUser();             // "appuser"
std::string ProcessUserQualifiedName();       // "WINHOST\appuser"

}  // namespace winhost::simulated
