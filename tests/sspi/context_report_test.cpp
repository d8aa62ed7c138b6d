// SSPI.GetContextInformation: the report of contexts of each kind and state, and of every query
// behind it answering or failing.
#include "harness/jvm/hooks.h"
#include "sspi/identity_support.h"

using namespace api::sspi;

namespace {

class ContextReportTest : public IdentityTest {
 protected:
  std::string Report(int handle) {
    auto report = GetContextInformation(handle);
    EXPECT_TRUE(report.ok()) << report;
    return Utf8(report.value);
  }
  // The rest of the line of a new report that starts with `label`, or "<absent>".
  std::string Line(int handle, const std::string& label) { return LineOf(Report(handle), label); }
  static std::string LineOf(const std::string& text, const std::string& label) {
    const std::string report = "\n" + text;
    const size_t at = report.find("\n" + label);
    if (at == std::string::npos) return "<absent>";
    const size_t start = at + 1 + label.size();
    return report.substr(start, report.find('\n', start) - start);
  }
  // A Kerberos client and server whose package answered `attributes` at every step.
  std::pair<int, int> PeersWithAttributes(uint32_t attributes) {
    winhost::ScriptStep("InitializeSecurityContextW", {SEC_E_OK, std::nullopt, attributes});
    const int client = Client(ISC_REQ_CONFIDENTIALITY, u"Kerberos");
    winhost::ScriptStep("AcceptSecurityContext", {SEC_E_OK, std::nullopt, attributes});
    const int server = Server(u"Kerberos");
    EXPECT_TRUE(Accept(server, GetChallengeToken(client).value).value);
    return {client, server};
  }
};

TEST_F(ContextReportTest, ContextsThatHaveNotFinishedSayWhatTheyKnow) {
  EXPECT_EQ(Report(Server()),
            "Type: server\nState: initial\nImpersonating: false\nUser name: (unknown)\nSSP package: (unknown)\n"
            "Context attributes: ");
  EXPECT_EQ(Report(Client(ISC_REQ_CONFIDENTIALITY)),
            "Type: client\nState: negotiating\nImpersonating: false\nUser name: WINHOST\\appuser\n"
            "SSP package name: NTLM\nSSP package comment: NTLM Security Package\nContext attributes: confidentiality ");

  const int failed = Server();
  winhost::Fail("AcceptSecurityContext", SEC_E_LOGON_DENIED);
  Accept(failed, B("NTLM:NEGOTIATE"));
  EXPECT_EQ(Report(failed),
            "Type: server\nState: error\nImpersonating: false\nUser name: (unknown)\nSSP package: (unknown)\n"
            "Context attributes: ");

  auto missing = GetContextInformation(9999);
  EXPECT_EQ(missing.Failure(), "WinAuthException: Invalid handle");
  EXPECT_FALSE(missing.value.has_value());
}

TEST_F(ContextReportTest, EstablishedPeersAreDescribedInFull) {
  exchange::Peers peers;
  exchange::Handshake(u"Negotiate", ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY | ISC_REQ_CONNECTION, peers);
  Keep(peers.client);
  Keep(peers.server);
  EXPECT_EQ(Report(peers.client),
            "Type: client\nState: success\nImpersonating: false\nUser name: WINHOST\\appuser\n"
            "SSP package name: Negotiate\nSSP package comment: Microsoft Package Negotiator\n"
            "Context attributes: mutual_auth confidentiality connection ");
  const std::string server =
      "Type: server\nState: success\nImpersonating: false\nUser name: WINHOST\\appuser\n"
      "SSP package name: Negotiate\nSSP package comment: Microsoft Package Negotiator\n"
      "Context attributes: mutual_auth confidentiality \nToken type: impersonation\n"
      "Impersonation level: Impersonation";
  EXPECT_EQ(Report(peers.server), server);

  ASSERT_TRUE(StartImpersonating(peers.server).ok());
  std::string impersonating = server;
  impersonating.replace(impersonating.find("false"), 5, "true");
  EXPECT_EQ(Report(peers.server), impersonating);
  ASSERT_TRUE(StopImpersonating(peers.server).ok());

  // The user name is the package's, not passed through the local-name rule.
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "alice");
  EXPECT_EQ(Line(ServerFor("CORP\\alice"), "User name: "), "CORP\\alice");
}

TEST_F(ContextReportTest, StatesOutsideTheKnownFourAreUnknown) {
  const int server = EstablishedServer();
  auto setState = hooks::Get<bool(jint, int32_t)>("quentrel_test_SetContextState");
  const std::vector<std::pair<int32_t, std::string>> states = {
      {0, "initial"}, {1, "negotiating"}, {3, "error"}, {4, "unknown"}, {-1, "unknown"}, {2, "success"}};
  for (const auto& [state, name] : states) {
    ASSERT_TRUE(setState(server, state));
    EXPECT_EQ(Line(server, "State: "), name) << state;
  }
}

TEST_F(ContextReportTest, EachSideNamesItsAttributesFromItsOwnTableInTableOrder) {
  struct Case {
    uint32_t attributes;
    std::string client;
    std::string server;
  };
  const Case cases[] = {
      {0x4812, "mutual_auth confidentiality connection ", "mutual_auth confidentiality connection third_leg_failed "},
      {0x80000, "", "identify "},
      {0x20000, "identify ", ""},
      {0x200021, "delegate use_session_key ", "delegate use_session_key allow_non_user_logons "},
      {0xFFFFFFFF, "delegate mutual_auth confidentiality use_session_key connection identify ",
       "delegate mutual_auth confidentiality use_session_key connection identify allow_non_user_logons "
       "third_leg_failed "},
      {0x0C, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes);
    const auto [client, server] = PeersWithAttributes(c.attributes);
    EXPECT_EQ(Line(client, "Context attributes: "), c.client);
    EXPECT_EQ(Line(server, "Context attributes: "), c.server);
  }
}

TEST_F(ContextReportTest, AFailedPackageQueryShowsInTheText) {
  const int server = EstablishedServer();
  winhost::SetPackageComment("Negotiate", std::nullopt);
  EXPECT_EQ(Line(server, "SSP package name: "), "Negotiate");
  EXPECT_EQ(Line(server, "SSP package comment: "), "<absent>");

  winhost::Fail("QueryContextAttributesW", SEC_E_UNSUPPORTED_FUNCTION);
  const std::string withoutName = Report(server);
  EXPECT_NE(withoutName.find("\nUser name: (unknown)\nSSP package name: Negotiate\n"), std::string::npos) << withoutName;
  winhost::Fail("QueryContextAttributesW", SEC_E_UNSUPPORTED_FUNCTION, /*skip=*/1);
  const std::string withoutPackage = Report(server);
  EXPECT_NE(withoutPackage.find("\nUser name: WINHOST\\appuser\nSSP package: (unknown)\nContext attributes: "),
            std::string::npos)
      << withoutPackage;
}

TEST_F(ContextReportTest, TheTokenLinesFollowTheirQueries) {
  const int server = EstablishedServer();
  winhost::Fail("QuerySecurityContextToken", SEC_E_NO_IMPERSONATION);
  const std::string noToken = Report(server);
  EXPECT_EQ(noToken.substr(noToken.rfind('\n') + 1), "Context attributes: confidentiality ");

  winhost::Fail("GetTokenInformation", ERROR_ACCESS_DENIED);
  const std::string noType = Report(server);
  EXPECT_EQ(LineOf(noType, "Token type: "), "<absent>");
  EXPECT_EQ(LineOf(noType, "Impersonation level: "), "Impersonation");
  winhost::Fail("GetTokenInformation", ERROR_ACCESS_DENIED, /*skip=*/1);
  const std::string noLevel = Report(server);
  EXPECT_EQ(LineOf(noLevel, "Token type: "), "impersonation");
  EXPECT_EQ(LineOf(noLevel, "Impersonation level: "), "<absent>");

  // A primary token has no impersonation level to show.
  winhost::SetContextTokenKind(TokenPrimary, SecurityImpersonation);
  const std::string primary = Report(server);
  EXPECT_EQ(LineOf(primary, "Token type: "), "primary");
  EXPECT_EQ(LineOf(primary, "Impersonation level: "), "<absent>");

  const std::vector<std::pair<uint32_t, std::string>> levels = {
      {SecurityAnonymous, "Anonymous"}, {SecurityIdentification, "Identification"},
      {SecurityImpersonation, "Impersonation"}, {SecurityDelegation, "Delegation"}, {7, "Unknown"}};
  for (const auto& [level, name] : levels) {
    winhost::SetContextTokenKind(TokenImpersonation, level);
    EXPECT_EQ(Line(server, "Impersonation level: "), name);
    EXPECT_EQ(Line(server, "Token type: "), "impersonation");
  }
}

}  // namespace
