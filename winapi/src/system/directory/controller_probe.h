// Whether a domain controller that DNS lists is there: the locator's last step.
#pragma once

#include <cstdint>
#include <string>

#include "system/host/host.h"

namespace winhost::system::directory {

// How long one controller has to answer, from its first connection attempt to the answer.
constexpr int kControllerAnswerMillis = 1500;

// True when `host` answers on `port` within kControllerAnswerMillis: with `directory`, an
// anonymous search of its rootDSE over LDAP gets an LDAP answer; without, a TCP connection is
// accepted (a realm's KDC, which has no directory to ask). Each address of the host is tried in
// turn. A host that cannot be resolved is silent.
bool SystemControllerAnswers(const std::string& host, uint16_t port, bool directory);

}  // namespace winhost::system::directory
