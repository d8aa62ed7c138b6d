// The server's view of its client: SSPI.GetClientUserName, SSPI.StartImpersonating,
// SSPI.StopImpersonating and SSPI.IsGroupMember after real handshakes.
#include <algorithm>
#include <functional>

#include "sspi/identity_support.h"

using namespace api::sspi;

namespace {

using ClientIdentityTest = IdentityTest;

std::string Identity() { return winhost::ThreadIdentity().value_or("self"); }

TEST_F(ClientIdentityTest, TheClientsNameLosesOnlyALocalQualifier) {
  EXPECT_EQ(Utf8(GetClientUserName(EstablishedServer()).value), "appuser");
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  EXPECT_EQ(Utf8(GetClientUserName(ServerFor("CORP\\alice")).value), "CORP\\alice");
  // The computer's name is matched without regard to letter case.
  EXPECT_EQ(Utf8(GetClientUserName(ServerFor("winhost\\appuser")).value), "appuser");

  const int server = EstablishedServer();
  winhost::Fail("QueryContextAttributesW", SEC_E_INTERNAL_ERROR);
  auto refused = GetClientUserName(server);
  EXPECT_EQ(refused.Failure(), "WinAuthException: Platform error: 80090304");
  EXPECT_FALSE(refused.value.has_value());
}

TEST_F(ClientIdentityTest, OnlyAnEstablishedServerIsAccepted) {
  const int client = Client(ISC_REQ_CONFIDENTIALITY, u"Kerberos");  // established by its first step
  const int negotiatingClient = Client();
  const int initialServer = Server();
  const int negotiatingServer = Server();
  ASSERT_TRUE(Accept(negotiatingServer, GetChallengeToken(negotiatingClient).value).ok());
  const int failedServer = Server();
  winhost::Fail("AcceptSecurityContext", SEC_E_LOGON_DENIED);
  Accept(failedServer, B("NTLM:NEGOTIATE"));

  const std::vector<std::pair<int, std::string>> cases = {
      {9999, "Invalid handle"},
      {client, "Wrong context type"},
      {negotiatingClient, "Wrong context type"},
      {initialServer, "Invalid state"},
      {negotiatingServer, "Invalid state"},
      {failedServer, "Invalid state"},
  };
  const std::vector<std::pair<std::string, std::function<std::string(int)>>> operations = {
      {"GetClientUserName", [](int h) { auto r = GetClientUserName(h); return r.value ? "a name" : r.Failure(); }},
      {"StartImpersonating", [](int h) { return StartImpersonating(h).Failure(); }},
      {"StopImpersonating", [](int h) { return StopImpersonating(h).Failure(); }},
      {"IsGroupMember", [](int h) { auto r = IsGroupMember(h, J(u"Users")); return r.value ? "true" : r.Failure(); }},
  };
  winhost::ClearJournal();
  for (const auto& [handle, message] : cases) {
    for (const auto& [name, operation] : operations) {
      EXPECT_EQ(operation(handle), "WinAuthException: " + message) << name << " on " << handle;
    }
  }
  // Refusals ask the platform nothing and leave the thread itself.
  EXPECT_EQ(winhost::JournalFunctions(), std::vector<std::string>{});
  EXPECT_EQ(Identity(), "self");

  // A missing group name is refused before the handle is looked at.
  EXPECT_EQ(IsGroupMember(9999, std::nullopt).Failure(), "WinAuthException: Group name cannot be null");
  EXPECT_EQ(IsGroupMember(EstablishedServer(), std::nullopt).Failure(), "WinAuthException: Group name cannot be null");
}

TEST_F(ClientIdentityTest, ImpersonationIsTheCallingThreadsUntilStopped) {
  const int server = EstablishedServer();
  EXPECT_EQ(StopImpersonating(server).Failure(), "WinAuthException: Not impersonating");

  winhost::ClearJournal();
  ASSERT_TRUE(StartImpersonating(server).ok());
  EXPECT_EQ(Identity(), "WINHOST\\appuser");
  // Through the client's access token, whose handle is closed at once: the thread keeps its own.
  const std::vector<std::string> calls = TokenCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].rfind("QuerySecurityContextToken(", 0), 0u);
  EXPECT_EQ(calls[1], "ImpersonateLoggedOnUser(token=WINHOST\\appuser [context])");
  EXPECT_EQ(calls[2], "CloseHandle(handle=WINHOST\\appuser [context])");
  EXPECT_TRUE(winhost::JournalOf("ImpersonateSecurityContext").empty());
  EXPECT_EQ(winhost::LiveCount("token"), 0);

  EXPECT_EQ(StartImpersonating(server).Failure(), "WinAuthException: Already impersonating");
  EXPECT_EQ(Identity(), "WINHOST\\appuser");

  ASSERT_TRUE(StopImpersonating(server).ok());
  EXPECT_EQ(Identity(), "self");
  EXPECT_EQ(StopImpersonating(server).Failure(), "WinAuthException: Not impersonating");

  // Another client's context makes the thread that other account.
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  const int alice = ServerFor("CORP\\alice");
  ASSERT_TRUE(StartImpersonating(alice).ok());
  EXPECT_EQ(Identity(), "CORP\\alice");
  ASSERT_TRUE(StopImpersonating(alice).ok());
}

TEST_F(ClientIdentityTest, AFailedStartOrStopLeavesTheRecordAsItWas) {
  const int server = EstablishedServer();
  winhost::Fail("QuerySecurityContextToken", SEC_E_NO_IMPERSONATION);
  EXPECT_EQ(StartImpersonating(server).Failure(), "WinAuthException: Platform error: 8009030b");
  winhost::Fail("ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED);
  EXPECT_EQ(StartImpersonating(server).Failure(), "WinAuthException: Platform error: 00000005");
  EXPECT_EQ(winhost::LiveCount("token"), 0);
  EXPECT_EQ(Identity(), "self");
  EXPECT_EQ(StopImpersonating(server).Failure(), "WinAuthException: Not impersonating");

  ASSERT_TRUE(StartImpersonating(server).ok());
  winhost::Fail("RevertToSelf", ERROR_ACCESS_DENIED);
  EXPECT_EQ(StopImpersonating(server).Failure(), "WinAuthException: Platform error: 00000005");
  EXPECT_EQ(Identity(), "WINHOST\\appuser");
  // Still impersonating, so a second stop is allowed and works.
  EXPECT_TRUE(StopImpersonating(server).ok());
  EXPECT_EQ(Identity(), "self");
}

// No way out of an impersonation leaves the thread its client's unsaid: a membership test that
// cannot revert reports it, and freeing an impersonating server reverts the calling thread, through
// RevertToSelf when the package cannot, and reports it only when neither can.
TEST_F(ClientIdentityTest, EveryWayOutOfAnImpersonationRevertsTheThreadOrSaysItCouldNot) {
  const int tested = EstablishedServer();
  winhost::Fail("RevertToSelf", ERROR_ACCESS_DENIED);
  EXPECT_EQ(IsGroupMember(tested, J(u"Users")).Failure(), "WinAuthException: Platform error: 00000005");
  EXPECT_EQ(Identity(), "WINHOST\\appuser");
  EXPECT_TRUE(IsGroupMember(tested, J(u"Users")).value);
  EXPECT_EQ(Identity(), "self");

  struct Case {
    std::vector<const char*> failing;
    std::string freed;
    std::string identity;
  };
  const Case cases[] = {
      {{}, "ok", "self"},
      {{"RevertSecurityContext"}, "ok", "self"},
      {{"RevertSecurityContext", "RevertToSelf"}, "WinAuthException: Platform error: 80090304", "WINHOST\\appuser"},
  };
  for (const Case& c : cases) {
    const int server = EstablishedServer();
    ASSERT_TRUE(StartImpersonating(server).ok());
    for (const char* function : c.failing)
      winhost::Fail(function, std::string(function) == "RevertToSelf" ? ERROR_ACCESS_DENIED : SEC_E_INTERNAL_ERROR);
    winhost::ClearJournal();
    auto freed = FreeHandle(server);
    EXPECT_EQ(freed.ok() ? "ok" : freed.Failure(), c.freed) << c.failing.size();
    EXPECT_EQ(Identity(), c.identity) << c.failing.size();
    EXPECT_EQ(winhost::JournalOf("DeleteSecurityContext").size(), 1u) << "released all the same";
    EXPECT_EQ(GetClientUserName(server).Failure(), "WinAuthException: Invalid handle");
    winhost::ClearFaults();
    if (Identity() != "self") {
      ASSERT_TRUE(RevertToSelf());
    }
  }
}

TEST_F(ClientIdentityTest, GroupsAreTestedAgainstTheClientsToken) {
  const int server = EstablishedServer();
  winhost::AddAlias("WINHOST", "Helpdesk");
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  winhost::AddGroup("CORP", "Staff");
  winhost::AddMember("CORP\\Staff", "CORP\\alice");
  winhost::AddMember("WINHOST\\Helpdesk", "CORP\\Staff");  // through a nested group
  const int alice = ServerFor("CORP\\alice");

  struct Case {
    int server;
    const char16_t* group;
    std::string answer;
  };
  const Case cases[] = {
      {server, u"BUILTIN\\Users", "true"},
      {server, u"Users", "true"},
      {server, u"Administrators", "false"},
      {server, u"CORP\\Staff", "false"},
      {alice, u"CORP\\Staff", "true"},
      {alice, u"Helpdesk", "true"},
      {alice, u"Users", "false"},
      // Names that are no group the rules accept.
      {server, u"Everyone", "GroupNotFoundException: "},
      {server, u"WINHOST\\appuser", "GroupNotFoundException: "},
      {server, u"NoSuchGroup", "GroupNotFoundException: "},
      {server, u"", "GroupNotFoundException: "},
  };
  for (const Case& c : cases) {
    auto answer = IsGroupMember(c.server, std::u16string(c.group));
    EXPECT_EQ(answer.ok() ? (answer.value ? "true" : "false") : answer.Failure(), c.answer) << Utf8(std::u16string(c.group));
    EXPECT_EQ(Identity(), "self");
  }
  // A lookup failure other than "no such name" is the platform's.
  winhost::Fail("LookupAccountNameW", ERROR_NO_SUCH_DOMAIN);
  EXPECT_EQ(IsGroupMember(server, J(u"CORP\\Staff")).Failure(), "WinAuthException: Platform error: 0000054b");
}

TEST_F(ClientIdentityTest, ATestWhileImpersonatingEndsWithTheThreadItselfAndTheRecordUnchanged) {
  const int server = EstablishedServer();
  ASSERT_TRUE(StartImpersonating(server).ok());
  auto member = IsGroupMember(server, J(u"Users"));
  EXPECT_TRUE(member.ok() && member.value) << member;
  EXPECT_EQ(Identity(), "self");
  EXPECT_NE(Utf8(GetContextInformation(server).value).find("\nImpersonating: true\n"), std::string::npos);
  EXPECT_TRUE(StopImpersonating(server).ok());
}

// The process user as an administrator under user account control: its context's token holds
// Administrators for deny only, the linked token holds it.
class SplitLogonTest : public IdentityTest {
 protected:
  void SetUp() override {
    IdentityTest::SetUp();
    winhost::AddMember("BUILTIN\\Administrators", "WINHOST\\appuser");
    winhost::SetSplitToken("WINHOST\\appuser", {"BUILTIN\\Administrators"});
    server_ = EstablishedServer();
  }
  std::string Answer() {
    auto answer = IsGroupMember(server_, J(u"Administrators"));
    return answer.ok() ? (answer.value ? "true" : "false") : answer.Failure();
  }
  int server_ = 0;
};

TEST_F(SplitLogonTest, TheLinkedTokenIsTestedAndEveryHandleClosedInOrder) {
  winhost::ClearJournal();
  EXPECT_EQ(Answer(), "true");
  std::vector<std::string> calls = TokenCalls();
  // The version is asked for once per process, by whichever test comes first.
  calls.erase(std::remove_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("GetVersionExA", 0) == 0; }),
              calls.end());
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[1], "GetTokenInformation(token=WINHOST\\appuser [context], class=19, length=" +
                          std::to_string(sizeof(void*)) + ")");
  EXPECT_EQ(calls[2], "ImpersonateLoggedOnUser(token=WINHOST\\appuser (elevated) [linked])");
  EXPECT_EQ(calls[3], "GetCurrentThread()");
  EXPECT_EQ(calls[4], "OpenThreadToken(thread=current, access=0x0000000a, openAsSelf=1)");
  EXPECT_EQ(calls[5], "CheckTokenMembership(token=WINHOST\\appuser (elevated) [thread], sid=S-1-5-32-544)");
  EXPECT_EQ(calls[6], "RevertToSelf(was=WINHOST\\appuser (elevated))");
  EXPECT_EQ(std::vector<std::string>(calls.begin() + 7, calls.end()),
            (std::vector<std::string>{"CloseHandle(handle=WINHOST\\appuser (elevated) [linked])",
                                      "CloseHandle(handle=WINHOST\\appuser (elevated) [thread])",
                                      "CloseHandle(handle=WINHOST\\appuser [context])"}));
}

TEST_F(SplitLogonTest, WithoutALinkedTokenTheContextsOwnIsTested) {
  for (uint32_t none : {ERROR_NO_SUCH_LOGON_SESSION, ERROR_PRIVILEGE_NOT_HELD}) {
    winhost::Fail("GetTokenInformation", none);
    EXPECT_EQ(Answer(), "false") << none;
    EXPECT_EQ(winhost::JournalOf("ImpersonateLoggedOnUser").back().Arg("token"), "WINHOST\\appuser [context]");
  }
  // An account without a split logon has no linked token at all.
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  winhost::AddMember("BUILTIN\\Administrators", "CORP\\alice");
  auto alice = IsGroupMember(ServerFor("CORP\\alice"), J(u"Administrators"));
  EXPECT_TRUE(alice.ok() && alice.value) << alice;
  EXPECT_EQ(winhost::JournalOf("ImpersonateLoggedOnUser").back().Arg("token"), "CORP\\alice [context]");
}

TEST_F(SplitLogonTest, EachFailingCallIsReportedWithTheTestRevertedAndNoTokenOpen) {
  struct Case {
    const char* function;
    uint32_t code;
    const char* message;
    bool impersonated;
  };
  const Case cases[] = {
      {"QuerySecurityContextToken", static_cast<uint32_t>(SEC_E_INTERNAL_ERROR), "80090304", false},
      {"GetTokenInformation", ERROR_ACCESS_DENIED, "00000005", false},
      {"ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED, "00000005", false},
      {"OpenThreadToken", ERROR_NO_TOKEN, "000003f0", true},
      {"CheckTokenMembership", ERROR_INVALID_PARAMETER, "00000057", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    winhost::ClearJournal();
    winhost::Fail(c.function, c.code);
    auto answer = IsGroupMember(server_, J(u"Administrators"));
    EXPECT_EQ(answer.Failure(), std::string("WinAuthException: Platform error: ") + c.message);
    EXPECT_FALSE(answer.value);
    EXPECT_EQ(winhost::LiveCount("token"), 0);
    EXPECT_EQ(Identity(), "self");
    EXPECT_EQ(winhost::JournalOf("RevertToSelf").size(), c.impersonated ? 1u : 0u);
  }
  // Nothing was kept from the failures: the next test answers.
  EXPECT_EQ(Answer(), "true");
}

}  // namespace
