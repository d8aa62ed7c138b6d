// The system version behind SSPI.IsGroupMember's linked-token rule is asked for once per process,
// so these tests run in a process of their own.
#include "sspi/identity_support.h"

using namespace api::sspi;

namespace {

class FreshVersion : public IdentityTest {};

std::string Answer(int server) {
  auto answer = IsGroupMember(server, J(u"Administrators"));
  return answer.ok() ? (answer.value ? "true" : "false") : answer.Failure();
}

TEST_F(FreshVersion, AnOldSystemTestsTheContextsTokenAndOnlyASuccessfulProbeIsKept) {
  // Administrators held only through the linked token of a split logon.
  winhost::AddMember("BUILTIN\\Administrators", "WINHOST\\appuser");
  winhost::SetSplitToken("WINHOST\\appuser", {"BUILTIN\\Administrators"});
  const int server = EstablishedServer();

  winhost::ClearJournal();
  winhost::Fail("GetVersionExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Answer(server), "WinAuthException: Platform error: 00000005");
  EXPECT_TRUE(winhost::JournalOf("ImpersonateLoggedOnUser").empty());
  EXPECT_EQ(winhost::LiveCount("token"), 0);

  // The failed probe was not remembered: the next test asks again, and finds version 5.
  winhost::SetMajorVersion(5);
  winhost::ClearJournal();
  EXPECT_EQ(Answer(server), "false");
  ASSERT_EQ(winhost::JournalOf("GetVersionExA").size(), 1u);
  EXPECT_EQ(winhost::JournalOf("GetVersionExA")[0].Arg("size"), "148");
  EXPECT_TRUE(winhost::JournalOf("GetTokenInformation").empty()) << "no linked token exists before version 6";
  EXPECT_EQ(winhost::JournalOf("ImpersonateLoggedOnUser")[0].Arg("token"), "WINHOST\\appuser [context]");

  // Once known, the answer stands for the life of the process.
  winhost::SetMajorVersion(6);
  winhost::ClearJournal();
  EXPECT_EQ(Answer(server), "false");
  EXPECT_TRUE(winhost::JournalOf("GetVersionExA").empty());
  EXPECT_TRUE(winhost::JournalOf("GetTokenInformation").empty());
}

TEST_F(FreshVersion, VersionSixIsTheFirstWithLinkedTokens) {
  winhost::AddMember("BUILTIN\\Administrators", "WINHOST\\appuser");
  winhost::SetSplitToken("WINHOST\\appuser", {"BUILTIN\\Administrators"});
  winhost::SetMajorVersion(6);
  EXPECT_EQ(Answer(EstablishedServer()), "true");
}

}  // namespace
