// What the token-exchange and message-protection tests share: a complete handshake carried the
// way a Java client and server carry it, and a call that keeps the caller's array to look at it.
#pragma once

#include <string>
#include <vector>

#include "harness/jvm/api.h"
#include "winhost/control.h"

namespace exchange {

struct Peers {
  int client = 0;
  int server = 0;
  // "C>S" or "S>C" for each token that went over, with its first word ("NTLM:NEGOTIATE").
  std::vector<std::string> legs;
};

std::string Text(const jvm::JBytes& bytes);
std::string FirstWord(const jvm::JBytes& bytes);

// Creates a client and a server of `package` and carries tokens between them until both are
// established, as a Java server would: Accept while it returns false, sending back what
// GetChallengeToken gives, Initialize on the client with every server token. Fails the test
// when the exchange does not finish.
void Handshake(const std::u16string& package, int clientFlags, Peers& peers);

// The channel each side is bound to (Extensions.CreateBoundContext), none where empty, and the
// server's flags.
struct Channel {
  jvm::JBytes client;
  jvm::JBytes server;
  int serverFlags = 0;
};
// Handshake over bound contexts: "" once both are established, else the first failure
// ("WinAuthException: Platform error: 80090346"). The contexts are left in `peers` either way.
std::string BoundHandshake(const std::u16string& package, const Channel& channel, Peers& peers);

// Calls SSPI.<method> (an "(I[B)..." method) with an array that the test keeps and returns the
// array's contents after the call; whatever the call threw is cleared.
std::vector<uint8_t> ArrayAfterCall(const char* method, const char* signature, int handle,
                                    const std::vector<uint8_t>& bytes);

}  // namespace exchange
