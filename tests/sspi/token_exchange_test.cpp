// The token exchange through SSPI.Initialize, SSPI.Accept and the three token queries.
#include <chrono>

#include "harness/jvm/hooks.h"
#include "sspi/exchange_support.h"
#include "winhost/control_host.h"

using namespace api::sspi;
using exchange::FirstWord;
using exchange::Text;

namespace {

class TokenExchangeTest : public JvmTest {
 protected:
  void TearDown() override {
    for (int handle : handles_) FreeHandle(handle);
    EXPECT_EQ(winhost::LiveCount("context"), 0) << "a package context was left behind";
    EXPECT_EQ(winhost::LiveCount("credential"), 0) << "credentials were left behind";
    JvmTest::TearDown();
  }
  int Keep(int handle) {
    handles_.push_back(handle);
    return handle;
  }
  void Handshake(const std::u16string& package, int flags, exchange::Peers& peers) {
    exchange::Handshake(package, flags, peers);
    Keep(peers.client);
    Keep(peers.server);
  }
  int Server(const char16_t* package = u"NTLM") { return Keep(CreateContext(false, 0, J(package), std::nullopt).value); }
  int Client(int flags = 0, const char16_t* package = u"NTLM") {
    return Keep(CreateContext(true, flags, J(package), J(u"HTTP/web.example.test")).value);
  }
  // A server in error: its first step was refused.
  int FailedServer() {
    int server = Server();
    winhost::Fail("AcceptSecurityContext", SEC_E_LOGON_DENIED);
    EXPECT_EQ(Accept(server, B("NTLM:NEGOTIATE")).Failure(), "WinAuthException: Platform error: 8009030c");
    return server;
  }

 private:
  std::vector<int> handles_;
};

jvm::JBytes Empty() { return std::vector<uint8_t>(); }

TEST_F(TokenExchangeTest, EachDefaultPackageAuthenticatesItsShape) {
  struct Case {
    const char16_t* package;
    int flags;
    std::vector<std::string> legs;
  };
  const Case cases[] = {
      {u"Negotiate", ISC_REQ_CONFIDENTIALITY,
       {"C>S Negotiate:NEGOTIATE", "S>C Negotiate:CHALLENGE", "C>S Negotiate:AUTHENTICATE"}},
      {u"NTLM", ISC_REQ_MUTUAL_AUTH, {"C>S NTLM:NEGOTIATE", "S>C NTLM:CHALLENGE", "C>S NTLM:AUTHENTICATE"}},
      {u"Kerberos", ISC_REQ_CONFIDENTIALITY, {"C>S Kerberos:AP-REQ"}},
      {u"Kerberos", ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY, {"C>S Kerberos:AP-REQ", "S>C Kerberos:AP-REP"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(winhost::Narrow(c.package) + " flags " + std::to_string(c.flags));
    winhost::ClearJournal();
    exchange::Peers peers;
    ASSERT_NO_FATAL_FAILURE(Handshake(c.package, c.flags, peers));
    EXPECT_EQ(peers.legs, c.legs);

    const auto sizes = winhost::GetPackageSizes(winhost::Narrow(c.package));
    for (int handle : {peers.client, peers.server}) {
      EXPECT_EQ(static_cast<uint32_t>(GetMaxTokenSize(handle).value), sizes.maxToken);
    }
    // The client asked for its flags; the server grants what both asked for.
    EXPECT_EQ(GetNegotiatedAttributes(peers.client).value, c.flags);
    EXPECT_EQ(GetNegotiatedAttributes(peers.server).value, c.flags & 0x1E);
    // Every road into success asked for the sizes, once per context.
    EXPECT_EQ(winhost::JournalOf("QueryContextAttributesW").size(), 2u);

    for (const auto& step : winhost::JournalOf("AcceptSecurityContext")) {
      EXPECT_EQ(step.Arg("flags"), "0x0000001e");
      EXPECT_EQ(step.Arg("drep"), "0x00000010");
      EXPECT_EQ(step.Arg("use"), "1");
    }
    for (const auto& step : winhost::JournalOf("InitializeSecurityContextW")) {
      EXPECT_EQ(step.Arg("target"), "HTTP/web.example.test");
      EXPECT_EQ(step.Arg("flags"), winhost::JournalOf("InitializeSecurityContextW")[0].Arg("flags"));
    }
  }
}

TEST_F(TokenExchangeTest, FirstAcceptPassesNoContextAndLaterStepsTheRecordsOwn) {
  exchange::Peers peers;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"Negotiate", 0, peers));
  auto accepts = winhost::JournalOf("AcceptSecurityContext");
  ASSERT_EQ(accepts.size(), 2u);
  EXPECT_EQ(accepts[0].Arg("context"), "null");
  EXPECT_EQ(accepts[0].Arg("new"), "0");  // the record's block, still all zeros
  // The package moved the context to a new handle on the first step; the record followed it.
  EXPECT_NE(accepts[1].Arg("context"), "null");
  EXPECT_EQ(accepts[1].Arg("context"), accepts[1].Arg("new"));
  EXPECT_NE(accepts[1].Arg("context"), "0");

  auto initializes = winhost::JournalOf("InitializeSecurityContextW");
  ASSERT_EQ(initializes.size(), 2u);
  EXPECT_EQ(initializes[0].Arg("context"), "null");
  EXPECT_EQ(initializes[1].Arg("context"), initializes[1].Arg("new"));
  EXPECT_NE(initializes[1].Arg("context"), "null");
  EXPECT_NE(initializes[1].Arg("input"), "null");
}

TEST_F(TokenExchangeTest, TokensAfterEachStep) {
  // Three legs: the client's last token stays readable after Initialize returned true, and the
  // server's final step produced no token, so its challenge is gone.
  exchange::Peers ntlm;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"NTLM", 0, ntlm));
  EXPECT_EQ(FirstWord(GetChallengeToken(ntlm.client).value), "NTLM:AUTHENTICATE");
  auto serverToken = GetChallengeToken(ntlm.server);
  ASSERT_TRUE(serverToken.value.has_value());
  EXPECT_TRUE(serverToken.value->empty()) << Text(serverToken.value);

  // One leg: the server finished on its first step with nothing to send.
  exchange::Peers kerberos;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"Kerberos", 0, kerberos));
  EXPECT_EQ(GetChallengeToken(kerberos.server).value, Empty());
  EXPECT_EQ(FirstWord(GetChallengeToken(kerberos.client).value), "Kerberos:AP-REQ");
}

// With mutual authentication the server's final step produces the token the client needs to
// finish; GetChallengeToken must hand it out, not the token of an earlier step.
TEST_F(TokenExchangeTest, MutualAuthenticationFinishesWithTheServersFinalToken) {
  int client = Client(ISC_REQ_MUTUAL_AUTH, u"Kerberos");
  int server = Server(u"Kerberos");
  auto accepted = Accept(server, GetChallengeToken(client).value);
  ASSERT_TRUE(accepted.ok()) << accepted;
  EXPECT_TRUE(accepted.value);
  auto proof = GetChallengeToken(server);
  EXPECT_EQ(FirstWord(proof.value), "Kerberos:AP-REP");
  auto finished = Initialize(client, proof.value);
  ASSERT_TRUE(finished.ok()) << finished;
  EXPECT_TRUE(finished.value);
  EXPECT_EQ(GetChallengeToken(client).value, Empty()) << "the client's last step produced no token";

  // Without the server's proof the client cannot finish.
  int other = Client(ISC_REQ_MUTUAL_AUTH, u"Kerberos");
  EXPECT_EQ(Initialize(other, Empty()).Failure(), "WinAuthException: Platform error: 80090308");
}

TEST_F(TokenExchangeTest, RefusalsComeInOrderTokenHandleKindState) {
  int server = Server();
  int client = Client();
  // The token is tested before anything else, even a handle that names nothing.
  for (int handle : {server, client, 0, -1}) {
    EXPECT_EQ(Initialize(handle, std::nullopt).Failure(), "WinAuthException: Token cannot be null");
    EXPECT_EQ(Accept(handle, std::nullopt).Failure(), "WinAuthException: Token cannot be null");
    EXPECT_EQ(Accept(handle, Empty()).Failure(), "WinAuthException: Token cannot be null");
  }
  for (int handle : {0, -1, 999999}) {
    EXPECT_EQ(Initialize(handle, B("x")).Failure(), "WinAuthException: Invalid handle");
    EXPECT_EQ(Accept(handle, B("x")).Failure(), "WinAuthException: Invalid handle");
    EXPECT_EQ(GetChallengeToken(handle).Failure(), "WinAuthException: Invalid handle");
    EXPECT_EQ(GetNegotiatedAttributes(handle).Failure(), "WinAuthException: Invalid handle");
    EXPECT_EQ(GetMaxTokenSize(handle).Failure(), "WinAuthException: Invalid handle");
  }
  EXPECT_TRUE(winhost::JournalOf("AcceptSecurityContext").empty());

  // Kind before state, whatever the state.
  exchange::Peers done;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"NTLM", 0, done));
  int failed = FailedServer();
  for (int serverHandle : {server, done.server, failed})
    EXPECT_EQ(Initialize(serverHandle, B("x")).Failure(), "WinAuthException: Wrong context type");
  for (int clientHandle : {client, done.client})
    EXPECT_EQ(Accept(clientHandle, B("x")).Failure(), "WinAuthException: Wrong context type");

  // The zero-length token left the fresh server untouched: its first real step is a first step.
  winhost::ClearJournal();
  EXPECT_FALSE(Accept(server, GetChallengeToken(client).value).value);
  EXPECT_EQ(winhost::JournalOf("AcceptSecurityContext").at(0).Arg("context"), "null");
}

TEST_F(TokenExchangeTest, StepsOutsideTheirStatesAreInvalid) {
  exchange::Peers done;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"Negotiate", 0, done));
  int failedServer = FailedServer();
  int failedClient = Client();
  winhost::Fail("InitializeSecurityContextW", SEC_E_INTERNAL_ERROR);
  EXPECT_EQ(Initialize(failedClient, B("NTLM:CHALLENGE")).Failure(), "WinAuthException: Platform error: 80090304");

  winhost::ClearJournal();
  for (int handle : {done.client, failedClient})
    EXPECT_EQ(Initialize(handle, B("x")).Failure(), "WinAuthException: Invalid state");
  for (int handle : {done.server, failedServer})
    EXPECT_EQ(Accept(handle, B("x")).Failure(), "WinAuthException: Invalid state");
  EXPECT_TRUE(winhost::Journal().empty()) << "a refused step reached the package";
}

TEST_F(TokenExchangeTest, ZeroLengthTokenReachesTheClientsPackage) {
  int client = Client();
  winhost::ClearJournal();
  EXPECT_EQ(Initialize(client, Empty()).Failure(), "WinAuthException: Platform error: 80090308");
  auto steps = winhost::JournalOf("InitializeSecurityContextW");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].Arg("input"), "0");
}

// The rows of the state table that only a package's unusual answers reach.
TEST_F(TokenExchangeTest, ClientStateTable) {
  struct Row {
    const char* name;
    std::function<void()> arm;
    std::optional<bool> result;  // nullopt: the call throws
    const char* failure;
    int stateAfter;              // 1 negotiating, 2 success, 3 error
    jvm::JBytes tokenAfter;      // nullopt: the token from before the step
  };
  const std::vector<uint8_t> scripted = {'n', 'e', 'x', 't'};
  const Row rows[] = {
      {"continue with a token",
       [&] { winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_CONTINUE_NEEDED, scripted, std::nullopt}); },
       false, "", 1, scripted},
      {"continue with an empty token",
       [] {
         winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_CONTINUE_NEEDED, std::vector<uint8_t>(), std::nullopt});
       },
       false, "", 1, Empty()},
      {"complete and continue, then completed",
       [&] { winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_COMPLETE_AND_CONTINUE, scripted, std::nullopt}); },
       true, "", 2, scripted},
      {"complete needed, then completed",
       [&] { winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_COMPLETE_NEEDED, scripted, std::nullopt}); },
       true, "", 2, scripted},
      {"completion fails",
       [&] {
         winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_COMPLETE_NEEDED, scripted, std::nullopt});
         winhost::Fail("CompleteAuthToken", SEC_E_INVALID_TOKEN);
       },
       std::nullopt, "Platform error: 80090308", 3, std::nullopt},
      {"sizes refused after SEC_E_OK",
       [] { winhost::Fail("QueryContextAttributesW", SEC_E_UNSUPPORTED_FUNCTION); },
       std::nullopt, "Platform error: 80090302", 3, std::nullopt},
      {"package failure", [] { winhost::Fail("InitializeSecurityContextW", SEC_E_LOGON_DENIED); }, std::nullopt,
       "Platform error: 8009030c", 3, std::nullopt},
      {"incomplete credentials status",
       [] { winhost::ScriptStep("InitializeSecurityContextW", {0x00090320, std::nullopt, std::nullopt}); },
       std::nullopt, "Platform error: 00090320", 3, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int client = Client();
    int server = Server();
    const jvm::JBytes first = GetChallengeToken(client).value;
    ASSERT_FALSE(Accept(server, first).value);
    const jvm::JBytes challenge = GetChallengeToken(server).value;

    row.arm();
    winhost::ClearJournal();
    auto step = Initialize(client, challenge);
    if (row.result) {
      ASSERT_TRUE(step.ok()) << step;
      EXPECT_EQ(step.value, *row.result);
    } else {
      EXPECT_EQ(step.Failure(), std::string("WinAuthException: ") + row.failure);
    }
    auto token = GetChallengeToken(client);
    ASSERT_TRUE(token.value.has_value());
    EXPECT_EQ(token.value, row.tokenAfter ? row.tokenAfter : first);
    EXPECT_EQ(GetChallengeToken(client).value, token.value) << "reading the token changed it";

    // The state shows in what the record still allows.
    const bool success = row.stateAfter == 2;
    EXPECT_EQ(GetMaxTokenSize(client).ok(), success);
    EXPECT_EQ(GetNegotiatedAttributes(client).Failure(), success ? "" : "WinAuthException: Invalid state");
    auto again = Initialize(client, challenge);
    if (row.stateAfter == 1) {
      EXPECT_NE(again.Failure(), "WinAuthException: Invalid state");
    } else {
      EXPECT_EQ(again.Failure(), "WinAuthException: Invalid state");
    }
  }
}

TEST_F(TokenExchangeTest, ServerStateTable) {
  const std::vector<uint8_t> scripted = {'s', 'r', 'v'};
  struct Row {
    const char* name;
    std::function<void()> arm;
    bool onFirstStep;
    std::optional<bool> result;  // nullopt: the call throws
    const char* failure;
    int stateAfter;              // 1 negotiating, 2 success, 3 error
    jvm::JBytes tokenAfter;      // nullopt: the token from before the step
  };
  const Row rows[] = {
      {"continue",
       [&] { winhost::ScriptStep("AcceptSecurityContext", {SEC_I_CONTINUE_NEEDED, scripted, std::nullopt}); }, true,
       false, "", 1, scripted},
      {"continue with an empty token",
       [] { winhost::ScriptStep("AcceptSecurityContext", {SEC_I_CONTINUE_NEEDED, std::vector<uint8_t>(), std::nullopt}); },
       true, false, "", 1, Empty()},
      {"established on the first step, with a final token",
       [&] { winhost::ScriptStep("AcceptSecurityContext", {SEC_E_OK, scripted, std::nullopt}); }, true, true, "", 2,
       scripted},
      {"established on the last step, without one", [] {}, false, true, "", 2, Empty()},
      {"sizes refused after SEC_E_OK", [] { winhost::Fail("QueryContextAttributesW", SEC_E_INTERNAL_ERROR); }, false,
       std::nullopt, "Platform error: 80090304", 3, std::nullopt},
      {"first step refused", [] { winhost::Fail("AcceptSecurityContext", SEC_E_INVALID_TOKEN); }, true, std::nullopt,
       "Platform error: 80090308", 3, std::nullopt},
      {"later step refused", [] { winhost::Fail("AcceptSecurityContext", SEC_E_LOGON_DENIED); }, false, std::nullopt,
       "Platform error: 8009030c", 3, std::nullopt},
      {"a server has nothing to complete",
       [&] { winhost::ScriptStep("AcceptSecurityContext", {SEC_I_COMPLETE_NEEDED, scripted, std::nullopt}); }, true,
       std::nullopt, "Platform error: 00090313", 3, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int client = Client();
    int server = Server();
    jvm::JBytes input = GetChallengeToken(client).value;
    if (!row.onFirstStep) {
      ASSERT_FALSE(Accept(server, input).value);
      ASSERT_TRUE(Initialize(client, GetChallengeToken(server).value).value);
      input = GetChallengeToken(client).value;
    }
    const jvm::JBytes before = GetChallengeToken(server).value;

    row.arm();
    winhost::ClearJournal();
    auto step = Accept(server, input);
    if (row.result) {
      ASSERT_TRUE(step.ok()) << step;
      EXPECT_EQ(step.value, *row.result);
    } else {
      EXPECT_EQ(step.Failure(), std::string("WinAuthException: ") + row.failure);
    }
    EXPECT_TRUE(winhost::JournalOf("CompleteAuthToken").empty());
    EXPECT_EQ(GetChallengeToken(server).value, row.tokenAfter ? row.tokenAfter : before);

    const bool success = row.stateAfter == 2;
    EXPECT_EQ(GetMaxTokenSize(server).ok(), success);
    EXPECT_EQ(GetNegotiatedAttributes(server).Failure(), success ? "" : "WinAuthException: Invalid state");
    auto again = Accept(server, input);
    if (row.stateAfter == 1) {
      EXPECT_NE(again.Failure(), "WinAuthException: Invalid state");
    } else {
      EXPECT_EQ(again.Failure(), "WinAuthException: Invalid state") << "a server in success or error stays there";
    }
  }
}

TEST_F(TokenExchangeTest, QueriesInEveryState) {
  int fresh = Server();
  int negotiating = Client();
  int failed = FailedServer();
  exchange::Peers done;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"NTLM", ISC_REQ_CONFIDENTIALITY, done));

  for (int handle : {fresh, negotiating, failed, done.client, done.server}) {
    auto first = GetChallengeToken(handle);
    auto second = GetChallengeToken(handle);
    ASSERT_TRUE(first.ok() && second.ok());
    ASSERT_TRUE(first.value.has_value()) << "a token is never null";
    EXPECT_EQ(first.value, second.value);
  }
  EXPECT_TRUE(GetChallengeToken(fresh).value->empty());
  EXPECT_TRUE(GetChallengeToken(failed).value->empty());

  for (int handle : {fresh, negotiating, failed}) {
    EXPECT_EQ(GetNegotiatedAttributes(handle).Failure(), "WinAuthException: Invalid state");
    EXPECT_EQ(GetMaxTokenSize(handle).Failure(), "WinAuthException: Invalid state");
  }
  // The attributes are the package's answer as it was written, all 32 bits.
  winhost::ScriptStep("AcceptSecurityContext", {SEC_E_OK, std::nullopt, 0x80000010u});
  winhost::SetPackageSizes("NTLM", {0xFFFFFFF0u, 16, 0, 16});
  int scripted = Server();
  ASSERT_TRUE(Accept(scripted, B("NTLM:NEGOTIATE flags=0x10")).value);
  EXPECT_EQ(static_cast<uint32_t>(GetNegotiatedAttributes(scripted).value), 0x80000010u);
  EXPECT_EQ(static_cast<uint32_t>(GetMaxTokenSize(scripted).value), 0xFFFFFFF0u);
}

TEST_F(TokenExchangeTest, ATokenFromTheWrongPeerFailsTheStep) {
  // A client's token handed back to a client, and a challenge meant for another client.
  int server = Server();
  int client = Client();
  int other = Client();
  ASSERT_FALSE(Accept(server, GetChallengeToken(client).value).value);
  int secondServer = Server();
  ASSERT_FALSE(Accept(secondServer, GetChallengeToken(other).value).value);
  ASSERT_TRUE(Initialize(other, GetChallengeToken(secondServer).value).value);
  EXPECT_EQ(Accept(server, GetChallengeToken(other).value).Failure(), "WinAuthException: Platform error: 8009030c");
  EXPECT_EQ(Initialize(client, GetChallengeToken(client).value).Failure(),
            "WinAuthException: Platform error: 80090308");
}

// A server bound to a channel takes a client bound to the same channel, refuses one bound to
// another with SEC_E_BAD_BINDINGS, and one bound to none unless it allows missing bindings. A
// server bound to none looks at nothing. Both shapes carry the bindings in the token that logs on.
TEST_F(TokenExchangeTest, ChannelBindingsDecideWhoSignsOn) {
  const jvm::JBytes here = B("tls-server-end-point:this certificate's digest");
  const jvm::JBytes there = B("tls-server-end-point:another certificate's digest");
  const std::string refused = "WinAuthException: Platform error: 80090346";
  struct Case {
    const char* what;
    exchange::Channel channel;
    std::string outcome;
  };
  const Case cases[] = {
      {"same channel", {here, here, 0}, ""},
      {"same channel, missing allowed", {here, here, ASC_REQ_ALLOW_MISSING_BINDINGS}, ""},
      {"another channel", {there, here, 0}, refused},
      {"another channel, missing allowed", {there, here, ASC_REQ_ALLOW_MISSING_BINDINGS}, refused},
      {"client bound to none", {std::nullopt, here, 0}, refused},
      {"client bound to none, missing allowed", {std::nullopt, here, ASC_REQ_ALLOW_MISSING_BINDINGS}, ""},
      {"server bound to none", {here, std::nullopt, 0}, ""},
      {"empty bindings are a channel too", {B(""), here, 0}, refused},
  };
  for (const char16_t* package : {u"Negotiate", u"Kerberos"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(winhost::Narrow(package) + ": " + c.what);
      exchange::Peers peers;
      EXPECT_EQ(exchange::BoundHandshake(package, c.channel, peers), c.outcome);
      Keep(peers.client);
      Keep(peers.server);
    }
  }
  EXPECT_EQ(api::extensions::CreateBoundContext(false, 0, J(u"Kerberos"), std::nullopt, std::nullopt).Failure(),
            "WinAuthException: Channel bindings cannot be null");
  EXPECT_EQ(api::extensions::CreateBoundContext(true, 0, J(u"Kerberos"), std::nullopt,
                                                std::vector<uint8_t>(12289, 'x'))
                .Failure(),
            "WinAuthException: Channel bindings too long");
}

// A user's password goes to the package as the credential's identity, split at a domain's
// backslash; the simulated domain takes none, and a refusal leaves nothing held.
TEST_F(TokenExchangeTest, PasswordContextsAreTheDomainsToRefuse) {
  using api::extensions::CreatePasswordContext;
  const auto heldBefore = winhost::LiveCounts();
  struct Case {
    jvm::JString user, password;
    std::string failure;
  } cases[] = {
      {u"", u"pw", "WinAuthException: User name cannot be empty"},
      {std::nullopt, u"pw", "WinAuthException: User name cannot be empty"},
      {u"alice", std::nullopt, "WinAuthException: Password cannot be null"},
      {u"alice", std::u16string(257, u'x'), "WinAuthException: Password too long"},
      {u"SIMDOM\\alice", std::u16string(256, u'x'), "WinAuthException: Platform error: 8009030c"},
      {u"alice@simdom.test", u"pw", "WinAuthException: Platform error: 8009030c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(winhost::Narrow(c.user.value_or(u"(null)")));
    winhost::ClearJournal();
    EXPECT_EQ(CreatePasswordContext(J(u"Kerberos"), J(u"HTTP/web"), c.user, c.password).Failure(), c.failure);
    auto acquired = winhost::JournalOf("AcquireCredentialsHandleW");
    const bool reachesPackage = c.failure.find("Platform error") != std::string::npos;
    ASSERT_EQ(acquired.size(), reachesPackage ? 1u : 0u);
    if (reachesPackage) {
      EXPECT_EQ(acquired[0].Arg("authData"), "set");
      EXPECT_EQ(acquired[0].Arg("use"), std::to_string(SECPKG_CRED_OUTBOUND));
    }
  }
  EXPECT_EQ(winhost::LiveCounts(), heldBefore);
}

// An established context ends when its package says; one not yet established cannot say.
TEST_F(TokenExchangeTest, ContextExpiryIsThePackagesLifespan) {
  using api::extensions::GetContextExpiry;
  winhost::SetContextLifetime("NTLM", 90);
  exchange::Peers peers;
  const long long before = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
  ASSERT_NO_FATAL_FAILURE(Handshake(u"NTLM", 0, peers));
  for (int handle : {peers.client, peers.server}) {
    auto expiry = GetContextExpiry(handle);
    ASSERT_TRUE(expiry.ok()) << expiry;
    // Whole seconds: the package counts from the second the context was established.
    EXPECT_GE(expiry.value, before - 1000 + 90000);
    EXPECT_LE(expiry.value, before + 1000 + 90000 + 60000);
  }
  EXPECT_EQ(GetContextExpiry(Server()).Failure(), "WinAuthException: Invalid state");
  EXPECT_EQ(GetContextExpiry(Client()).Failure(), "WinAuthException: Invalid state");
  EXPECT_EQ(GetContextExpiry(9999).Failure(), "WinAuthException: Invalid handle");
  winhost::Fail("QueryContextAttributesW", SEC_E_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(GetContextExpiry(peers.server).Failure(), "WinAuthException: Platform error: 80090302");
}

// What the client's domain says against delegating it: only what a controller told, and the
// context's own failures in the usual words.
TEST_F(TokenExchangeTest, DelegationLimitIsWhatTheClientsControllerSays) {
  using api::extensions::GetDelegationLimit;
  exchange::Peers peers;
  ASSERT_NO_FATAL_FAILURE(Handshake(u"NTLM", 0, peers));
  const auto heldBefore = winhost::LiveCounts();
  // No domain here: nothing is known, which is no failure.
  EXPECT_EQ(GetDelegationLimit(peers.server).value, 0);
  // A controller that knows the account as a plain one: read, and not marked.
  winhost::SetDomainControllerStatus(NERR_Success);
  EXPECT_EQ(GetDelegationLimit(peers.server).value, 0x4);
  winhost::Fail("NetUserGetInfo", NERR_UserNotFound);
  EXPECT_EQ(GetDelegationLimit(peers.server).value, 0);
  winhost::Fail("GetTokenInformation", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetDelegationLimit(peers.server).value, 0);
  EXPECT_EQ(winhost::LiveCounts(), heldBefore);
  EXPECT_EQ(GetDelegationLimit(peers.client).Failure(), "WinAuthException: Wrong context type");
  EXPECT_EQ(GetDelegationLimit(Server()).Failure(), "WinAuthException: Invalid state");
  EXPECT_EQ(GetDelegationLimit(9999).Failure(), "WinAuthException: Invalid handle");
}

TEST_F(TokenExchangeTest, CallersTokenArraysAreNotWritten) {
  int client = Client();
  int server = Server();
  const std::vector<uint8_t> first = *GetChallengeToken(client).value;
  EXPECT_EQ(exchange::ArrayAfterCall("Accept", "(I[B)Z", server, first), first);
  const std::vector<uint8_t> challenge = *GetChallengeToken(server).value;
  EXPECT_EQ(exchange::ArrayAfterCall("Initialize", "(I[B)Z", client, challenge), challenge);
  // Refused calls leave them alone as well.
  EXPECT_EQ(exchange::ArrayAfterCall("Initialize", "(I[B)Z", client, challenge), challenge);
  EXPECT_EQ(exchange::ArrayAfterCall("Accept", "(I[B)Z", 0, first), first);
}

}  // namespace

namespace {

// A server step that runs out of native memory, before or after the package made its context,
// ends in OutOfMemoryError; the record then still hands the package its own context (or none, for
// a first step that never reached it), never one of zeros, and nothing is left when it is freed.
TEST_F(TokenExchangeTest, NativeMemoryFailuresInAcceptLeaveTheRecordsContextRight) {
  auto failAllocation = hooks::Get<long(long)>("quentrel_test_FailAllocation");
  int failures = 0;
  for (long nth = 1; failures < 50; ++nth) {
    const int server = Server(u"Negotiate");
    const int client = Client(0, u"Negotiate");
    const jvm::JBytes token = GetChallengeToken(client).value;
    failAllocation(nth);
    auto accepted = Accept(server, token);
    failAllocation(0);
    if (accepted.ok()) break;
    ++failures;
    EXPECT_EQ(accepted.Failure(), "OutOfMemoryError: Native memory exhausted") << nth;
    winhost::ClearJournal();
    Accept(server, token);
    auto steps = winhost::JournalOf("AcceptSecurityContext");
    ASSERT_EQ(steps.size(), 1u) << nth;
    EXPECT_NE(steps[0].Arg("context"), "0") << "allocation " << nth << " left a record with no package context";
    FreeHandle(server);
    FreeHandle(client);
    EXPECT_EQ(winhost::LiveCount("context"), 0) << nth;
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 50) << "the step never succeeded";
}

}  // namespace
