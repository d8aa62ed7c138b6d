// UserAuth.GetUserSID: the SID text of any name an account bears, null otherwise.
#include "userauth/support.h"

using namespace api::userauth;
using userauth_test::W;

namespace {

class GetUserSidTest : public JvmTest {};

TEST_F(GetUserSidTest, EveryKindOfAccountGetsItsSid) {
  const std::string corp = winhost::AddDomain("CORP", "S-1-5-21-7-8-9");
  const std::string alice = winhost::AddUser("CORP", "alice");
  const std::string admins = winhost::AddGroup("CORP", "Domain Admins");
  const std::string helpdesk = winhost::AddAlias("WINHOST", "Helpdesk");
  const std::string local = winhost::LocalDomainSid();
  const std::pair<const char*, std::string> cases[] = {
      {"BUILTIN\\Administrators", "S-1-5-32-544"},
      {"Administrators", "S-1-5-32-544"},
      {"builtin\\users", "S-1-5-32-545"},
      {"Everyone", "S-1-1-0"},
      {"NT AUTHORITY\\Authenticated Users", "S-1-5-11"},
      {"BUILTIN", "S-1-5-32"},
      {"WINHOST", local},
      {"WINHOST\\appuser", local + "-1001"},
      // No rule about qualifiers here: the unqualified local name resolves too.
      {"appuser", local + "-1001"},
      {"CORP", corp},
      {"CORP\\alice", alice},
      {"alice", alice},
      {"CORP\\Domain Admins", admins},
      {"Helpdesk", helpdesk},
  };
  for (auto& [name, sid] : cases) {
    auto answer = GetUserSID(W(name));
    ASSERT_TRUE(answer.ok()) << name << ": " << answer;
    EXPECT_EQ(Utf8(answer.value), sid) << name;
  }
  EXPECT_EQ(corp, "S-1-5-21-7-8-9");
  EXPECT_EQ(winhost::JournalOf("ConvertSidToStringSidA").size(), std::size(cases));
  EXPECT_EQ(winhost::JournalOf("LocalFree").size(), std::size(cases));
  EXPECT_EQ(winhost::LiveCount("local"), 0);
}

TEST_F(GetUserSidTest, NullWithoutAnExceptionWhenTheNameCannotBeResolved) {
  winhost::ClearJournal();
  winhost::AddDomain("CORP");
  winhost::AddUser("CORP", "bob");
  // A NUL would end the name for the Windows functions, which would then find bob: no lookup.
  EXPECT_EQ(GetUserSID(W(std::string("CORP\\bob\0junk", 13))).value, jvm::JString());
  for (const jvm::JString& name : {W("nosuchaccount"), W("CORP\\alice"), W(""), jvm::JString(), W("BUILTIN\\")}) {
    auto answer = GetUserSID(name);
    EXPECT_TRUE(answer.ok()) << Utf8(name) << ": " << answer;
    EXPECT_EQ(answer.value, jvm::JString()) << Utf8(name);
  }
  // Only the size query ran each time.
  EXPECT_EQ(winhost::JournalFunctions(), std::vector<std::string>(5, "LookupAccountNameW"));

  // Any failure of the platform is null too: either lookup, or the conversion to text.
  winhost::Fail("LookupAccountNameW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetUserSID(W("Administrators")).value, jvm::JString());
  winhost::Fail("LookupAccountNameW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(GetUserSID(W("Administrators")).value, jvm::JString());
  winhost::ClearJournal();
  winhost::Fail("ConvertSidToStringSidA", ERROR_NOT_ENOUGH_MEMORY);
  auto unconverted = GetUserSID(W("Administrators"));
  EXPECT_TRUE(unconverted.ok()) << unconverted;
  EXPECT_EQ(unconverted.value, jvm::JString());
  EXPECT_TRUE(winhost::JournalOf("LocalFree").empty()) << "nothing was allocated to free";
  EXPECT_EQ(winhost::LiveCount("local"), 0);
  EXPECT_EQ(Utf8(GetUserSID(W("Administrators")).value), "S-1-5-32-544");
}

TEST_F(GetUserSidTest, NeedsNoUserContextAndTakesNoPartInTheirNumbering) {
  int first = api::userauth::CreateUserContext(W("WINHOST\\appuser")).value;
  GetUserSID(W("WINHOST\\appuser"));
  GetUserSID(W("nosuchaccount"));
  int second = api::userauth::CreateUserContext(W("WINHOST\\appuser")).value;
  EXPECT_EQ(second, first + 1);
  FreeHandle(first);
  FreeHandle(second);
}

}  // namespace
