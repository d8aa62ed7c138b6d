// User contexts through UserAuth.CreateUserContext, UserAuth.FreeHandle and UserAuth.IsGroupMember.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "userauth/support.h"

using namespace api::userauth;
using userauth_test::Calls;
using userauth_test::W;

namespace {

class UserContextTest : public JvmTest {
 protected:
  // CORP, joined by this computer: bob in Domain Admins, which BUILTIN\Administrators holds;
  // carol in Helpdesk, a local alias of this computer.
  void SetUp() override {
    JvmTest::SetUp();
    winhost::AddDomain("CORP");
    winhost::AddUser("CORP", "bob");
    winhost::AddUser("CORP", "carol");
    winhost::AddUser("CORP", "dave");
    winhost::AddGroup("CORP", "Domain Admins");
    winhost::AddAlias("WINHOST", "Helpdesk");
    winhost::AddMember("CORP\\Domain Admins", "CORP\\bob");
    winhost::AddMember("BUILTIN\\Administrators", "CORP\\Domain Admins");
    winhost::AddMember("WINHOST\\Helpdesk", "CORP\\carol");
  }

  int Create(const std::string& name) {
    auto created = CreateUserContext(W(name));
    EXPECT_TRUE(created.ok()) << name << ": " << created;
    return created.value;
  }

  std::string Member(int handle, const jvm::JString& group) {
    auto answer = IsGroupMember(handle, group);
    if (!answer.ok()) return answer.Failure();
    return answer.value ? "yes" : "no";
  }
};

TEST_F(UserContextTest, ProcessUserQualifiedWithThisComputerIsAMemberOfBuiltinUsers) {
  winhost::ClearJournal();
  int handle = Create(winhost::ProcessUserQualifiedName());
  ASSERT_GT(handle, 1);

  auto lookups = winhost::JournalOf("LookupAccountNameW");
  ASSERT_EQ(lookups.size(), 2u);
  EXPECT_EQ(lookups[0].Arg("system"), "null");
  EXPECT_EQ(lookups[0].Arg("name"), "WINHOST\\appuser");
  EXPECT_EQ(lookups[0].Arg("sidSize"), "0");
  EXPECT_EQ(lookups[0].Arg("domainSize"), "0");
  EXPECT_EQ(lookups[1].Arg("domainSize"), "8");  // "WINHOST" and its terminator
  auto made = winhost::JournalOf("AuthzInitializeContextFromSid");
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].Arg("sid"), winhost::LocalDomainSid() + "-1001");
  EXPECT_EQ(made[0].Arg("flags"), "0");
  EXPECT_EQ(made[0].Arg("expiration"), "null");
  EXPECT_EQ(made[0].Arg("identifier"), "0:0");
  EXPECT_EQ(made[0].Arg("dynamicGroupArgs"), "null");
  EXPECT_NE(made[0].Arg("resourceManager"), "null");
  auto queries = winhost::JournalOf("AuthzGetInformationFromContext");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].Arg("class"), "2");
  EXPECT_EQ(queries[0].Arg("bufferSize"), "0");
  EXPECT_EQ(queries[0].Arg("buffer"), "null");
  EXPECT_NE(queries[1].Arg("bufferSize"), "0");

  EXPECT_EQ(Member(handle, W("BUILTIN\\Users")), "yes");
  EXPECT_EQ(Member(handle, W("Users")), "yes");
  EXPECT_EQ(Member(handle, W("winhost\\None")), "yes");
  EXPECT_EQ(Member(handle, W("Administrators")), "no");
  // A membership question makes no Authz call: the groups were captured at creation.
  winhost::ClearJournal();
  Member(handle, W("Users"));
  EXPECT_TRUE(winhost::JournalOf("AuthzGetInformationFromContext").empty());

  EXPECT_EQ(winhost::LiveCount("authz-context"), 1);
  EXPECT_TRUE(FreeHandle(handle).ok());
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
  EXPECT_EQ(Member(handle, W("Users")), "WinAuthException: Invalid handle");
}

TEST_F(UserContextTest, UnqualifiedNamesAreRefusedBeforeTheLockAndUseNoNumber) {
  int first = Create("CORP\\bob");
  winhost::ClearJournal();
  for (const jvm::JString& name : {W("alice"), W("\\alice"), jvm::JString(), W(""), W("appuser")}) {
    auto refused = CreateUserContext(name);
    EXPECT_EQ(refused.value, 0);
    EXPECT_EQ(refused.Failure(), "WinAuthException: Local users not allowed") << Utf8(name);
  }
  EXPECT_TRUE(winhost::Journal().empty());
  int second = Create("CORP\\bob");
  EXPECT_EQ(second, first + 1);

  // A name qualified with this computer's own name passes the form rule and is looked up; the
  // lookup's failure uses up a number.
  auto unknown = CreateUserContext(W("WINHOST\\alice"));
  EXPECT_EQ(unknown.value, 0);
  ASSERT_TRUE(unknown.thrown.has_value());
  EXPECT_EQ(unknown.thrown->ShortType(), "UserNotFoundException");
  EXPECT_EQ(unknown.thrown->message, std::optional<std::string>(""));
  EXPECT_EQ(Create("CORP\\bob"), second + 2);
  for (int handle : {first, second, second + 2}) FreeHandle(handle);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
}

// Each failure of creation leaves the table as it was, releases what it made, and uses up its
// number.
TEST_F(UserContextTest, FailedCreationsCleanUpAndUseUpTheirNumber) {
  int last = Create("CORP\\bob");
  const auto heldBefore = winhost::LiveCounts();
  struct Case {
    const char* name;
    std::function<void()> arm;
    std::string account;
    const char* failure;
    bool releasesContext;
  };
  const Case cases[] = {
      // A NUL would end the name for the Windows functions, which would then find bob.
      {"a NUL inside the name", [] {}, std::string("CORP\\bob\0junk", 13), "UserNotFoundException: ", false},
      {"size query", [] { winhost::Fail("LookupAccountNameW", ERROR_NO_SUCH_DOMAIN); }, "CORP\\bob",
       "WinAuthException: Platform error: 0000054b", false},
      {"no such account", [] {}, "CORP\\nobody", "UserNotFoundException: ", false},
      {"second lookup, none mapped", [] { winhost::Fail("LookupAccountNameW", ERROR_NONE_MAPPED, 1); }, "CORP\\bob",
       "UserNotFoundException: ", false},
      {"second lookup", [] { winhost::Fail("LookupAccountNameW", ERROR_ACCESS_DENIED, 1); }, "CORP\\bob",
       "WinAuthException: Platform error: 00000005", false},
      {"client context", [] { winhost::Fail("AuthzInitializeContextFromSid", ERROR_ACCESS_DENIED); }, "CORP\\bob",
       "WinAuthException: Platform error: 00000005", false},
      // A group is not refused by name; the platform decides whether it can be a context's subject.
      {"a group", [] {}, "CORP\\Domain Admins", "WinAuthException: Platform error: 00000525", false},
      {"group size query", [] { winhost::Fail("AuthzGetInformationFromContext", ERROR_NOT_ENOUGH_MEMORY); },
       "CORP\\bob", "WinAuthException: Platform error: 00000008", true},
      {"group query", [] { winhost::Fail("AuthzGetInformationFromContext", ERROR_INVALID_HANDLE, 1); }, "CORP\\bob",
       "WinAuthException: Platform error: 00000006", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arm();
    winhost::ClearJournal();
    auto failed = CreateUserContext(W(c.account));
    EXPECT_EQ(failed.value, 0);
    EXPECT_EQ(failed.Failure(), c.failure);
    EXPECT_EQ(winhost::JournalOf("AuthzFreeContext").size(), c.releasesContext ? 1u : 0u);
    EXPECT_EQ(winhost::LiveCounts(), heldBefore);
    winhost::ClearFaults();
    int next = Create("CORP\\bob");
    EXPECT_EQ(next, last + 2);
    FreeHandle(next);
    last = next;
  }
  FreeHandle(last - 2 * static_cast<int>(std::size(cases)));
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
}

TEST_F(UserContextTest, TwoContextsForOneAccountAreIndependent) {
  int first = Create("CORP\\bob");
  int second = Create("CORP\\bob");
  EXPECT_NE(first, second);
  auto made = winhost::JournalOf("AuthzInitializeContextFromSid");
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 2);

  winhost::ClearJournal();
  FreeHandle(first);
  EXPECT_EQ(winhost::JournalFunctions(), std::vector<std::string>{"AuthzFreeContext"});
  EXPECT_EQ(Member(second, W("CORP\\Domain Admins")), "yes");
  EXPECT_EQ(Member(first, W("CORP\\Domain Admins")), "WinAuthException: Invalid handle");
  FreeHandle(second);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
}

// The captured group block points into itself: each record must keep answering with its own
// groups when records around it go and the table grows.
TEST_F(UserContextTest, FreeingTheMiddleOfThreeLeavesTheOthersWithTheirOwnGroups) {
  winhost::AddGroup("CORP", "Red");
  winhost::AddGroup("CORP", "Green");
  winhost::AddGroup("CORP", "Blue");
  winhost::AddMember("CORP\\Red", "CORP\\bob");
  winhost::AddMember("CORP\\Green", "CORP\\carol");
  winhost::AddMember("CORP\\Blue", "CORP\\dave");
  int red = Create("CORP\\bob");
  int green = Create("CORP\\carol");
  int blue = Create("CORP\\dave");
  FreeHandle(green);
  std::vector<int> more;
  for (int i = 0; i < 40; ++i) more.push_back(Create(i % 2 ? "CORP\\carol" : "CORP\\dave"));
  for (int i = 0; i < 40; i += 3) FreeHandle(more[i]);

  EXPECT_EQ(Member(red, W("CORP\\Red")), "yes");
  EXPECT_EQ(Member(red, W("CORP\\Blue")), "no");
  EXPECT_EQ(Member(red, W("Administrators")), "yes");
  EXPECT_EQ(Member(blue, W("CORP\\Blue")), "yes");
  EXPECT_EQ(Member(blue, W("CORP\\Red")), "no");
  EXPECT_EQ(Member(blue, W("Helpdesk")), "no");
  EXPECT_EQ(Member(more[1], W("Helpdesk")), "yes");
  EXPECT_EQ(Member(more[1], W("CORP\\Green")), "yes");
  EXPECT_EQ(Member(green, W("CORP\\Green")), "WinAuthException: Invalid handle");
  FreeHandle(red);
  FreeHandle(blue);
  for (int i = 0; i < 40; ++i) FreeHandle(more[i]);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
}

TEST_F(UserContextTest, MembershipOfQualifiedAndUnqualifiedGroups) {
  int bob = Create("CORP\\bob");
  int carol = Create("CORP\\carol");
  // Explicitly qualified groups resolve in the domain they name, letter case aside.
  EXPECT_EQ(Member(bob, W("CORP\\Domain Admins")), "yes");
  EXPECT_EQ(Member(bob, W("corp\\domain admins")), "yes");
  EXPECT_EQ(Member(carol, W("CORP\\Domain Admins")), "no");
  // Unqualified names must resolve to this computer or to the built-in domain.
  EXPECT_EQ(Member(bob, W("Domain Admins")), "GroupNotFoundException: ");
  EXPECT_EQ(Member(bob, W("Administrators")), "yes");
  EXPECT_EQ(Member(bob, W("\\Administrators")), "yes");
  EXPECT_EQ(Member(bob, W("builtin\\Administrators")), "yes");
  EXPECT_EQ(Member(carol, W("Helpdesk")), "yes");
  EXPECT_EQ(Member(carol, W("WINHOST\\Helpdesk")), "yes");
  EXPECT_EQ(Member(bob, W("Helpdesk")), "no");
  EXPECT_EQ(Member(bob, W("Guests")), "no");
  // Only groups and aliases: users, domains and well-known groups are refused, though Everyone
  // and Authenticated Users are in every captured list.
  for (const char* refused : {"CORP\\bob", "bob", "CORP", "BUILTIN", "Everyone", "NT AUTHORITY\\Authenticated Users",
                              "CORP\\nosuchgroup", "nosuchgroup", "", "WINHOST\\Domain Admins"})
    EXPECT_EQ(Member(bob, W(refused)), "GroupNotFoundException: ") << refused;
  EXPECT_EQ(Member(bob, std::nullopt), "GroupNotFoundException: ");

  // Other lookup errors are platform errors, from either call.
  winhost::Fail("LookupAccountNameW", ERROR_NO_SUCH_DOMAIN);
  EXPECT_EQ(Member(bob, W("CORP\\Domain Admins")), "WinAuthException: Platform error: 0000054b");
  winhost::Fail("LookupAccountNameW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Member(bob, W("CORP\\Domain Admins")), "WinAuthException: Platform error: 00000005");
  // The lookup's own ERROR_NONE_MAPPED on the second call is still "no such group".
  winhost::Fail("LookupAccountNameW", ERROR_NONE_MAPPED, 1);
  EXPECT_EQ(Member(bob, W("CORP\\Domain Admins")), "GroupNotFoundException: ");
  EXPECT_EQ(Member(bob, W("CORP\\Domain Admins")), "yes");
  FreeHandle(bob);
  FreeHandle(carol);
}

// Only the captured list counts: every entry whatever its attributes, and nothing else.
TEST_F(UserContextTest, TheCapturedListDecidesWhateverItsAttributes) {
  winhost::ScriptContextGroups({});
  int none = Create("CORP\\bob");
  winhost::ScriptContextGroups({{"S-1-5-32-545", 0}, {"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}});
  int scripted = Create("CORP\\carol");
  for (const char* group : {"Administrators", "Users", "CORP\\Domain Admins", "Helpdesk"})
    EXPECT_EQ(Member(none, W(group)), "no") << group;
  EXPECT_EQ(Member(scripted, W("Users")), "yes");
  EXPECT_EQ(Member(scripted, W("Administrators")), "yes");
  EXPECT_EQ(Member(scripted, W("Helpdesk")), "no");
  EXPECT_EQ(Member(none, W("Everyone")), "GroupNotFoundException: ");
  FreeHandle(none);
  FreeHandle(scripted);
}

TEST_F(UserContextTest, GroupsAreASnapshotTakenAtCreation) {
  int before = Create("CORP\\dave");
  EXPECT_EQ(Member(before, W("Administrators")), "no");
  winhost::AddMember("CORP\\Domain Admins", "CORP\\dave");
  EXPECT_EQ(Member(before, W("Administrators")), "no");
  int after = Create("CORP\\dave");
  EXPECT_EQ(Member(after, W("Administrators")), "yes");
  EXPECT_EQ(Member(after, W("CORP\\Domain Admins")), "yes");
  FreeHandle(before);
  FreeHandle(after);
}

TEST_F(UserContextTest, HandlesThatNameNoUserContext) {
  int sspiHandle = api::sspi::CreateContext(false, 0, J(u"NTLM"), std::nullopt).value;
  int user = Create("CORP\\bob");
  ASSERT_NE(sspiHandle, user);
  FreeHandle(user);
  winhost::ClearJournal();
  for (int handle : {user, 0, -1, sspiHandle}) {
    EXPECT_EQ(Member(handle, W("Administrators")), "WinAuthException: Invalid handle") << handle;
    EXPECT_TRUE(FreeHandle(handle).ok());
  }
  EXPECT_TRUE(winhost::JournalOf("AuthzFreeContext").empty());
  EXPECT_TRUE(winhost::JournalOf("LookupAccountNameW").empty()) << "the group is not looked up for a bad handle";
  // The security context with that number is untouched.
  EXPECT_TRUE(api::sspi::GetChallengeToken(sspiHandle).ok());
  api::sspi::FreeHandle(sspiHandle);
}

// Several Java threads creating, asking and freeing at once: every handle is issued once, each
// context answers for its own account, and nothing is left held.
TEST_F(UserContextTest, ConcurrentThreadsShareTheTableSafely) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  std::mutex mutex;
  std::condition_variable ready;
  int waiting = 0;
  std::vector<std::vector<int>> issued(kThreads);
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const bool admin = t % 2 == 0;
      jvm::Env();  // attached before the start, so that the calls themselves meet
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (++waiting == kThreads) ready.notify_all();
        ready.wait(lock, [&] { return waiting == kThreads; });
      }
      for (int round = 0; round < kRounds && problems[t].empty(); ++round) {
        auto created = CreateUserContext(W(admin ? "CORP\\bob" : "CORP\\carol"));
        if (!created.ok()) problems[t] = created.Failure();
        issued[t].push_back(created.value);
        auto member = IsGroupMember(created.value, W("Administrators"));
        if (!member.ok() || member.value != admin) problems[t] = "wrong answer for handle " + std::to_string(created.value);
        if (Utf8(GetUserSID(W("CORP\\bob")).value) != winhost::SidOf("CORP\\bob")) problems[t] = "wrong SID";
        FreeHandle(created.value);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int> unique;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(problems[t], "") << "thread " << t;
    unique.insert(issued[t].begin(), issued[t].end());
  }
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kRounds));
  EXPECT_EQ(unique.count(0), 0u);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
}

}  // namespace
