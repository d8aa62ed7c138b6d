// Behaviour that needs the library freshly loaded: each of these runs in a process of its own.
#include <limits>

#include "harness/jvm/api.h"
#include "harness/jvm/hooks.h"
#include "winhost/control.h"

using namespace api::sspi;

namespace {

std::vector<std::string> Names(const std::vector<winhost::Call>& calls) {
  std::vector<std::string> out;
  for (auto& call : calls) out.push_back(call.function);
  return out;
}

TEST(FreshLoad, FirstHandleIsTwoAndLoadDisablesThreadCalls) {
  jvm::Env();
  EXPECT_TRUE(winhost::JournalOf("DisableThreadLibraryCalls").empty());
  jvm::PackageClass("SSPI");  // the class's initializer loads the library
  auto attach = winhost::JournalOf("DisableThreadLibraryCalls");
  ASSERT_EQ(attach.size(), 1u);
  EXPECT_EQ(attach[0].Arg("module"), "set");

  auto server = CreateContext(false, 0, J(u"Negotiate"), std::nullopt);
  EXPECT_EQ(server.value, 2);
  winhost::Fail("AcquireCredentialsHandleW", SEC_E_NO_CREDENTIALS);
  EXPECT_EQ(CreateContext(true, 0, std::nullopt, std::nullopt).value, 0);
  EXPECT_EQ(CreateContext(true, 0, std::nullopt, std::nullopt).value, 4);
  FreeHandle(2);
  FreeHandle(4);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

TEST(FreshLoad, ExhaustedHandleCounterRefusesCreation) {
  auto setLast = hooks::Get<void(int)>("quentrel_test_SetLastContextHandle");
  auto getLast = hooks::Get<int()>("quentrel_test_GetLastContextHandle");
  const int max = std::numeric_limits<int>::max();
  setLast(max - 1);
  auto last = CreateContext(false, 0, J(u"NTLM"), std::nullopt);
  ASSERT_TRUE(last.ok()) << last;
  EXPECT_EQ(last.value, max);

  winhost::ClearJournal();
  for (bool client : {false, true}) {
    auto refused = CreateContext(client, 0, J(u"NTLM"), std::nullopt);
    EXPECT_EQ(refused.value, 0);
    ASSERT_TRUE(refused.thrown.has_value());
    EXPECT_EQ(refused.thrown->ShortType(), "WinAuthException");
    EXPECT_NE(refused.thrown->message.value_or("").find("Handle limit reached"), std::string::npos);
  }
  EXPECT_TRUE(winhost::Journal().empty()) << "no platform call after the counter ran out";
  EXPECT_EQ(getLast(), max);
  // The last record is still there and still works.
  EXPECT_TRUE(GetChallengeToken(max).ok());
  FreeHandle(max);
  EXPECT_EQ(Names(winhost::Journal()), (std::vector<std::string>{"DeleteSecurityContext", "FreeCredentialsHandle"}));
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

// Run with a class path that lacks WinAuthException.
TEST(FreshMissingClass, OnlyTheJvmsOwnErrorIsPending) {
  winhost::Fail("AcquireCredentialsHandleW", SEC_E_NO_CREDENTIALS);
  auto failed = CreateContext(false, 0, J(u"Negotiate"), std::nullopt);
  EXPECT_EQ(failed.value, 0);
  ASSERT_TRUE(failed.thrown.has_value());
  EXPECT_EQ(failed.thrown->type, "java.lang.NoClassDefFoundError");
  EXPECT_EQ(failed.thrown->message.value_or(""), "com/tarvex/pelk/quentrel/WinAuthException");
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

// Running out of native memory at any point of the authorization set-up or tear-down stays inside
// the loader's notification: the load goes on, SSPI works and UserAuth says it is not initialized.
TEST(FreshLoad, NativeMemoryFailuresAtLoadAndUnloadStayInside) {
  auto dllMain = hooks::Get<BOOL(DWORD)>("quentrel_test_DllMain");
  auto failAllocation = hooks::Get<long(long)>("quentrel_test_FailAllocation");
  // A host name too long to be kept without an allocation of its own.
  winhost::ComputerNames names = winhost::GetComputerNames();
  names.dnsHost = "a-host-name-longer-than-any-short-string";
  winhost::SetComputerNames(names);
  bool reachedTheEnd = false;
  int failures = 0;
  for (long nth = 1; nth < 50 && !reachedTheEnd; ++nth) {
    for (DWORD reason : {DWORD{DLL_PROCESS_DETACH}, DWORD{DLL_PROCESS_ATTACH}}) {
      const long before = failAllocation(nth);
      try {
        EXPECT_EQ(dllMain(reason), TRUE);
      } catch (...) {
        ADD_FAILURE() << "an exception left the notification " << reason << " at allocation " << nth;
      }
      const bool failed = failAllocation(0) - before >= nth;
      if (reason == DLL_PROCESS_ATTACH) reachedTheEnd = !failed;
      failures += failed ? 1 : 0;
    }
    auto server = CreateContext(false, 0, J(u"Negotiate"), std::nullopt);
    EXPECT_TRUE(server.ok()) << server;
    FreeHandle(server.value);
    auto user = api::userauth::CreateUserContext(J(u"WINHOST\\appuser"));
    EXPECT_EQ(user.Failure(), reachedTheEnd ? "" : "WinAuthException: Not initialized") << nth;
    api::userauth::FreeHandle(user.value);
  }
  EXPECT_TRUE(reachedTheEnd);
  EXPECT_GT(failures, 0);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

}  // namespace
