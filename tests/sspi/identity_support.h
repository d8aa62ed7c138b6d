// What the tests of the server's view of its client share: established servers for the process
// user or any account the test names, and a check that nothing was left held.
#pragma once

#include <string>
#include <vector>

#include "sspi/exchange_support.h"
#include "winhost/control_directory.h"
#include "winhost/control_tokens.h"

class IdentityTest : public JvmTest {
 protected:
  void TearDown() override {
    for (int handle : handles_) api::sspi::FreeHandle(handle);
    EXPECT_EQ(winhost::LiveCount("token"), 0) << "a token handle was left open";
    EXPECT_EQ(winhost::LiveCount("buffer"), 0) << "a package buffer was not freed";
    EXPECT_EQ(winhost::LiveCount("context"), 0);
    JvmTest::TearDown();
  }
  int Keep(int handle) {
    handles_.push_back(handle);
    return handle;
  }
  // A server that authenticated the process user over a real loopback exchange.
  int EstablishedServer(const std::u16string& package = u"Negotiate", int clientFlags = ISC_REQ_CONFIDENTIALITY) {
    exchange::Peers peers;
    exchange::Handshake(package, clientFlags, peers);
    Keep(peers.client);
    return Keep(peers.server);
  }
  // A Kerberos server that accepted a request naming `user` ("CORP\alice").
  int ServerFor(const std::string& user) {
    int server = Keep(api::sspi::CreateContext(false, 0, J(u"Kerberos"), std::nullopt).value);
    auto accepted = api::sspi::Accept(server, B("Kerberos:AP-REQ user=" + user + " round=1 flags=0x00000010 key=00112233"));
    EXPECT_TRUE(accepted.ok() && accepted.value) << accepted;
    return server;
  }
  int Server(const char16_t* package = u"NTLM") {
    return Keep(api::sspi::CreateContext(false, 0, J(package), std::nullopt).value);
  }
  int Client(int flags = 0, const char16_t* package = u"NTLM") {
    return Keep(api::sspi::CreateContext(true, flags, J(package), J(u"HTTP/web.example.test")).value);
  }

 private:
  std::vector<int> handles_;
};

// The journal's calls of the token functions, as "Function(arg=value, ...)".
inline std::vector<std::string> TokenCalls() {
  static const std::vector<std::string> functions = {
      "QuerySecurityContextToken", "GetVersionExA", "GetTokenInformation", "ImpersonateLoggedOnUser",
      "GetCurrentThread", "OpenThreadToken", "CheckTokenMembership", "RevertToSelf", "CloseHandle"};
  std::vector<std::string> calls;
  for (const auto& call : winhost::Journal())
    for (const auto& function : functions)
      if (call.function == function) calls.push_back(call.ToString());
  return calls;
}
