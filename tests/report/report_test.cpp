// The tool's reports inside the test JVM, on worlds a separate process cannot be given: every
// domain-controller answer, refused host queries, a product that is installed, packages that fail
// or answer oddly; and what the tool leaves held once it is done.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness/jvm/api.h"
#include "harness/tool/in_process.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

namespace {

using report::RunInProcess;
using tooltest::JsonValue;

const JsonValue& Section(const JsonValue& report, const std::string& name) {
  for (const auto& section : report["sections"].items) {
    if (section["name"].text == name) return section;
  }
  ADD_FAILURE() << "no section " << name;
  static const JsonValue none;
  return none;
}

class ToolReportTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    folder_ = std::filesystem::temp_directory_path() / ("quentrel-report-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    winhost::SetCommonAppDataFolder(folder_.string());
  }
  void TearDown() override {
    std::filesystem::remove_all(folder_);
    JvmTest::TearDown();
  }

  // Nothing the tool created is still held: every context and credential it made was freed.
  void ExpectNothingHeld() {
    for (const char* kind : {"context", "credential", "token", "authz-context", "key", "net-buffer", "buffer"}) {
      EXPECT_EQ(winhost::LiveCount(kind), 0) << kind;
    }
  }

  std::filesystem::path folder_;
};

TEST_F(ToolReportTest, EveryDomainControllerAnswerIsNamedAndExplainedAndNoneFailsTheCheck) {
  struct Case {
    uint32_t code;
    const char* name;  // null: none
    const char* meaning;
  };
  const Case cases[] = {
      {0, "NERR_Success", "a domain controller of the primary domain answered"},
      {1311, "ERROR_NO_LOGON_SERVERS", "no logon server is available"},
      {1355, "ERROR_NO_SUCH_DOMAIN", "the domain does not exist or can't be contacted"},
      {1786, "ERROR_NO_TRUST_LSA_SECRET", "the workstation has no trust secret for the domain"},
      {1787, "ERROR_NO_TRUST_SAM_ACCOUNT", "the domain has no computer account for this workstation"},
      {1810, "ERROR_DOMAIN_TRUST_INCONSISTENT", "the trust information is inconsistent"},
      {5, nullptr, "other"},
      {0x80070005u, nullptr, "other"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    winhost::SetDomainControllerStatus(c.code);
    auto run = RunInProcess({"host", "--json"});
    EXPECT_EQ(run.exitCode, 0);
    JsonValue report = run.Json();
    const JsonValue& dc = Section(report, "domainController");
    EXPECT_TRUE(dc["ok"].boolean);
    EXPECT_EQ(dc["code"].number, static_cast<double>(static_cast<int32_t>(c.code)));
    if (c.name) {
      EXPECT_EQ(dc["codeName"].text, c.name);
    } else {
      EXPECT_TRUE(dc["codeName"].IsNull());
    }
    EXPECT_EQ(dc["meaning"].text, c.meaning);
  }
  winhost::SetDomainControllerStatus(5);
  EXPECT_NE(RunInProcess({"host"}).out.find("  check code: 5 (other)\n"), std::string::npos);
  ExpectNothingHeld();
}

TEST_F(ToolReportTest, ANameTheHostRefusesFailsTheSectionAndShowsTheOther) {
  // The NetBIOS name is asked for first, then the fully qualified one.
  winhost::Fail("GetComputerNameExW", ERROR_MORE_DATA, 1);
  auto run = RunInProcess({"host"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("Host names: FAILED: the computer's fully qualified DNS name cannot be read\n"
                         "  NetBIOS name: WINHOST\n"
                         "  fully qualified DNS name: (none)\n"
                         "Domain controller: OK\n"),
            std::string::npos)
      << run.out;

  winhost::Fail("GetComputerNameExW", ERROR_MORE_DATA, 0, true);
  JsonValue report = RunInProcess({"--json", "host"}).Json();
  EXPECT_EQ(Section(report, "hostNames")["error"].text, "the computer's NetBIOS name cannot be read");
  EXPECT_TRUE(Section(report, "hostNames")["exception"].IsNull());
}

TEST_F(ToolReportTest, AnInstalledProductShowsItsInstallPath) {
  winhost::SetRegistryString(winhost::View::k64, "SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane", "InstallPath",
                             u"/opt/quorvane/");
  JsonValue report = RunInProcess({"paths", "--json"}).Json();
  EXPECT_EQ(Section(report, "productPaths")["installPath"].text, "/opt/quorvane");
  EXPECT_EQ(Section(report, "productPaths")["appDataPath"].text, (folder_ / "Tarvex" / "Tarvex Quorvane").string());
}

TEST_F(ToolReportTest, ARefusedExchangeFailsTheLoopbackAndFreesBothContexts) {
  winhost::Fail("AcceptSecurityContext", static_cast<uint32_t>(SEC_E_LOGON_DENIED));
  auto run = RunInProcess({"negotiate", "--json"});
  EXPECT_EQ(run.exitCode, 1);
  JsonValue report = run.Json();
  const JsonValue& loopback = Section(report, "loopback");
  EXPECT_EQ(loopback["error"].text, "WinAuthException: Platform error: 8009030c");
  EXPECT_EQ(loopback["legs"].items.size(), 1u);
  ExpectNothingHeld();
}

TEST_F(ToolReportTest, AFailedStepOfAnEstablishedLoopbackLeavesTheOthersShown) {
  // The client's message is refused by the server; the other direction still works.
  winhost::Fail("DecryptMessage", static_cast<uint32_t>(SEC_E_MESSAGE_ALTERED));
  auto run = RunInProcess({"negotiate"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("  wrap and unwrap, client -> server: FAILED: WinAuthException: Platform error: 8009030f\n"
                         "  wrap and unwrap, server -> client: 41 bytes, "),
            std::string::npos)
      << run.out;
  // The section's error names the step that failed.
  winhost::Fail("DecryptMessage", static_cast<uint32_t>(SEC_E_MESSAGE_ALTERED));
  JsonValue report = RunInProcess({"negotiate", "--json"}).Json();
  EXPECT_NE(Section(report, "loopback")["error"].text.find(
                "wrap and unwrap, client -> server: WinAuthException: Platform error: 8009030f"),
            std::string::npos);
  EXPECT_TRUE(Section(report, "loopback")["serverToClient"]["intact"].boolean);
  ExpectNothingHeld();
}

TEST_F(ToolReportTest, PeersThatStopBeforeTheOtherIsEstablishedAreReported) {
  // Mutual authentication, but the server finishes with no token for the client.
  winhost::ScriptStep("AcceptSecurityContext", winhost::StepScript{SEC_E_OK, std::vector<uint8_t>{}, std::nullopt});
  auto serverFirst = RunInProcess({"negotiate", "--package", "Kerberos"});
  EXPECT_EQ(serverFirst.exitCode, 1);
  EXPECT_NE(serverFirst.out.find("Loopback authentication: FAILED: the server is established but gave no token for "
                                 "the client, which is not\n"),
            std::string::npos)
      << serverFirst.out;
  ExpectNothingHeld();

  // Three legs, but the client's last step ends with no token for the server. The client's
  // first step runs when it is created, so its second step is the second scripted answer.
  winhost::Reset();
  winhost::SetCommonAppDataFolder(folder_.string());
  winhost::ScriptStep("InitializeSecurityContextW", winhost::StepScript{SEC_I_CONTINUE_NEEDED, std::nullopt, std::nullopt});
  winhost::ScriptStep("InitializeSecurityContextW", winhost::StepScript{SEC_E_OK, std::vector<uint8_t>{}, std::nullopt});
  auto clientFirst = RunInProcess({"negotiate", "--package", "NTLM"});
  EXPECT_EQ(clientFirst.exitCode, 1);
  EXPECT_NE(clientFirst.out.find("Loopback authentication: FAILED: the client is established without a token for "
                                 "the server, which is not\n"),
            std::string::npos)
      << clientFirst.out;
  ExpectNothingHeld();
}

TEST_F(ToolReportTest, AFullDoctorLeavesNothingHeldAndItsProcessUserIsTheAuthenticatedClient) {
  auto run = RunInProcess({"--json"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  JsonValue report = run.Json();
  EXPECT_EQ(Section(report, "processUser")["account"].text, "WINHOST\\appuser");
  // One user context was made for the account the loopback named, and freed again.
  auto made = winhost::JournalOf("AuthzInitializeContextFromSid");
  EXPECT_EQ(made.size(), 1u);
  EXPECT_EQ(winhost::JournalOf("AuthzFreeContext").size(), made.size());
  ExpectNothingHeld();
}

TEST_F(ToolReportTest, ARefusedImpersonationFailsTheLoopbackButNotItsOtherAnswers) {
  winhost::Fail("ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED);
  auto run = RunInProcess({"negotiate"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("  impersonation: FAILED: WinAuthException: Platform error: 00000005\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  server context report:\n"), std::string::npos) << run.out;
  ExpectNothingHeld();
}

}  // namespace
