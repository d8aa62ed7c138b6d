// Creating and freeing security contexts through SSPI.CreateContext and SSPI.FreeHandle.
#include "harness/jvm/api.h"
#include "harness/jvm/hooks.h"
#include "winhost/control.h"

using namespace api::sspi;

namespace {

class CreateContextTest : public JvmTest {};

std::string Text(const jvm::JBytes& bytes) { return bytes ? std::string(bytes->begin(), bytes->end()) : "<null>"; }

TEST_F(CreateContextTest, ServerStartsInitialWithAnEmptyTokenAndInboundCredentials) {
  auto server = CreateContext(false, ISC_REQ_MUTUAL_AUTH, J(u"NTLM"), J(u"HTTP/ignored"));
  ASSERT_TRUE(server.ok()) << server;
  auto token = GetChallengeToken(server.value);
  ASSERT_TRUE(token.ok());
  ASSERT_TRUE(token.value.has_value());
  EXPECT_TRUE(token.value->empty());

  auto acquired = winhost::JournalOf("AcquireCredentialsHandleW");
  ASSERT_EQ(acquired.size(), 1u);
  EXPECT_EQ(acquired[0].Arg("package"), "NTLM");
  EXPECT_EQ(acquired[0].Arg("use"), "1");
  EXPECT_EQ(acquired[0].Arg("principal"), "null");
  EXPECT_EQ(acquired[0].Arg("logonId"), "null");
  EXPECT_EQ(acquired[0].Arg("authData"), "null");
  // A server makes no step at creation, whatever target it was given.
  EXPECT_TRUE(winhost::JournalOf("InitializeSecurityContextW").empty());
  FreeHandle(server.value);
}

TEST_F(CreateContextTest, NullAndEmptyPackageSelectNegotiate) {
  for (const jvm::JString& package : {jvm::JString(), J(u"")}) {
    winhost::ClearJournal();
    auto client = CreateContext(true, 0, package, std::nullopt);
    ASSERT_TRUE(client.ok()) << client;
    auto steps = winhost::JournalOf("InitializeSecurityContextW");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].Arg("package"), "Negotiate");
    EXPECT_EQ(steps[0].Arg("use"), "2");
    EXPECT_EQ(steps[0].Arg("target"), "null");
    EXPECT_EQ(steps[0].Arg("context"), "null");
    EXPECT_EQ(steps[0].Arg("input"), "null");
    EXPECT_EQ(steps[0].Arg("drep"), "0x00000010");
    EXPECT_TRUE(winhost::JournalOf("QueryCredentialsAttributesW").empty());
    FreeHandle(client.value);
  }
}

TEST_F(CreateContextTest, ClientHoldsItsFirstTokenAndPassesItsFlags) {
  auto client = CreateContext(true, ISC_REQ_CONFIDENTIALITY | ISC_REQ_CONNECTION, J(u"Negotiate"), J(u"HTTP/web.example.test"));
  ASSERT_TRUE(client.ok()) << client;
  auto steps = winhost::JournalOf("InitializeSecurityContextW");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].Arg("flags"), "0x00000810");
  EXPECT_EQ(steps[0].Arg("target"), "HTTP/web.example.test");
  auto token = GetChallengeToken(client.value);
  EXPECT_EQ(Text(token.value).rfind("Negotiate:NEGOTIATE user=WINHOST\\appuser target=HTTP/web.example.test", 0), 0u)
      << Text(token.value);
  // Still negotiating: no sizes yet.
  EXPECT_TRUE(winhost::JournalOf("QueryContextAttributesW").empty());
  FreeHandle(client.value);
}

TEST_F(CreateContextTest, KerberosTargetRules) {
  // Without a target a Kerberos client addresses its own account, less one trailing '@'.
  winhost::SetCredentialUserName("Kerberos", "appuser@EXAMPLE.TEST@");
  auto own = CreateContext(true, ISC_REQ_MUTUAL_AUTH, J(u"Kerberos"), std::nullopt);
  ASSERT_TRUE(own.ok()) << own;
  EXPECT_EQ(winhost::JournalOf("QueryCredentialsAttributesW").size(), 1u);
  EXPECT_EQ(winhost::JournalOf("InitializeSecurityContextW").back().Arg("target"), "appuser@EXAMPLE.TEST");
  EXPECT_EQ(winhost::LiveCount("buffer"), 0) << "the credential's name buffer was not freed";

  // Only one '@' goes, and only at the end.
  winhost::SetCredentialUserName("Kerberos", "a@b@@");
  auto doubled = CreateContext(true, ISC_REQ_MUTUAL_AUTH, J(u"Kerberos"), J(u""));
  EXPECT_EQ(winhost::JournalOf("InitializeSecurityContextW").back().Arg("target"), "a@b@");
  winhost::SetCredentialUserName("Kerberos", "svc-host");
  auto plain = CreateContext(true, ISC_REQ_MUTUAL_AUTH, J(u"Kerberos"), J(u""));
  EXPECT_EQ(winhost::JournalOf("InitializeSecurityContextW").back().Arg("target"), "svc-host");

  // An explicit target is used unchanged and the credential is not asked.
  winhost::ClearJournal();
  auto explicitTarget = CreateContext(true, ISC_REQ_MUTUAL_AUTH, J(u"Kerberos"), J(u"HOST/db.example.test@"));
  EXPECT_TRUE(winhost::JournalOf("QueryCredentialsAttributesW").empty());
  EXPECT_EQ(winhost::JournalOf("InitializeSecurityContextW").back().Arg("target"), "HOST/db.example.test@");

  // The package name must be exactly "Kerberos": another case is passed on but gets no target.
  winhost::ClearJournal();
  auto otherCase = CreateContext(true, 0, J(u"kerberos"), std::nullopt);
  ASSERT_FALSE(otherCase.ok());
  EXPECT_EQ(otherCase.Failure(), "WinAuthException: Platform error: 80090305");
  EXPECT_EQ(winhost::JournalOf("AcquireCredentialsHandleW").back().Arg("package"), "kerberos");
  EXPECT_TRUE(winhost::JournalOf("QueryCredentialsAttributesW").empty());

  for (int handle : {own.value, doubled.value, plain.value, explicitTarget.value}) FreeHandle(handle);
}

TEST_F(CreateContextTest, ClientEstablishedByItsFirstStepHasItsSizes) {
  auto client = CreateContext(true, 0, J(u"Kerberos"), J(u"HOST/db.example.test"));
  ASSERT_TRUE(client.ok()) << client;
  auto queries = winhost::JournalOf("QueryContextAttributesW");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].Arg("attribute"), "0");
  auto maxToken = GetMaxTokenSize(client.value);
  ASSERT_TRUE(maxToken.ok()) << maxToken;
  EXPECT_EQ(static_cast<uint32_t>(maxToken.value), winhost::GetPackageSizes("Kerberos").maxToken);
  FreeHandle(client.value);
}

TEST_F(CreateContextTest, PlatformErrorsAreFormattedAsEightHexDigits) {
  const std::pair<uint32_t, const char*> cases[] = {
      {5, "Platform error: 00000005"},
      {0x80000001u, "Platform error: 80000001"},
      {0xFFFFFFFFu, "Platform error: ffffffff"},
  };
  for (auto [code, message] : cases) {
    winhost::Fail("AcquireCredentialsHandleW", code);
    auto failed = CreateContext(false, 0, J(u"Negotiate"), std::nullopt);
    EXPECT_EQ(failed.value, 0);
    EXPECT_EQ(failed.Failure(), std::string("WinAuthException: ") + message);
  }
}

// Each failure path removes the new record, releases exactly what it held and uses up the
// handle number.
TEST_F(CreateContextTest, FailurePathsCleanUpAndUseUpTheirNumber) {
  auto before = CreateContext(false, 0, J(u"NTLM"), std::nullopt);
  ASSERT_TRUE(before.ok());
  int last = before.value;
  const auto heldBefore = winhost::LiveCounts();

  struct Case {
    const char* name;
    std::function<void()> arm;
    const char* package;
    std::vector<std::string> releases;  // what the library must call after the failure
    const char* message;
  };
  const Case cases[] = {
      {"A: credentials", [] { winhost::Fail("AcquireCredentialsHandleW", SEC_E_NO_CREDENTIALS); }, "Negotiate", {},
       "Platform error: 8009030e"},
      {"B: credential name", [] { winhost::Fail("QueryCredentialsAttributesW", SEC_E_INTERNAL_ERROR); }, "Kerberos",
       {"FreeCredentialsHandle"}, "Platform error: 80090304"},
      {"C: first step", [] { winhost::Fail("InitializeSecurityContextW", SEC_E_TARGET_UNKNOWN); }, "Negotiate",
       {"FreeCredentialsHandle"}, "Platform error: 80090303"},
      {"C: completion",
       [] {
         winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_COMPLETE_NEEDED, std::nullopt, std::nullopt});
         winhost::Fail("CompleteAuthToken", SEC_E_INVALID_TOKEN);
       },
       "NTLM", {"DeleteSecurityContext", "FreeCredentialsHandle"}, "Platform error: 80090308"},
      {"D: sizes", [] { winhost::Fail("QueryContextAttributesW", SEC_E_UNSUPPORTED_FUNCTION); }, "Kerberos",
       {"DeleteSecurityContext", "FreeCredentialsHandle"}, "Platform error: 80090302"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arm();
    winhost::ClearJournal();
    auto failed = CreateContext(true, 0, jvm::JString(winhost::Wide(c.package)), std::nullopt);
    EXPECT_EQ(failed.value, 0);
    EXPECT_EQ(failed.Failure(), std::string("WinAuthException: ") + c.message);
    std::vector<std::string> releases;
    for (auto& name : winhost::JournalFunctions())
      if (name == "FreeCredentialsHandle" || name == "DeleteSecurityContext" || name == "RevertSecurityContext")
        releases.push_back(name);
    EXPECT_EQ(releases, c.releases);
    EXPECT_EQ(winhost::LiveCounts(), heldBefore);
    // The number was used: the next creation skips it.
    auto next = CreateContext(false, 0, J(u"NTLM"), std::nullopt);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next.value, last + 2);
    last = next.value;
    FreeHandle(next.value);
  }
  FreeHandle(before.value);
}

TEST_F(CreateContextTest, EmbeddedNulEndsAStringArgument) {
  auto client = CreateContext(true, 0, std::u16string(u"NTLM\0Kerberos", 13), std::u16string(u"ab\0cd", 5));
  ASSERT_TRUE(client.ok()) << client;
  auto step = winhost::JournalOf("InitializeSecurityContextW").back();
  EXPECT_EQ(step.Arg("package"), "NTLM");
  EXPECT_EQ(step.Arg("target"), "ab");
  FreeHandle(client.value);
}

TEST_F(CreateContextTest, TokensOfAnyLengthUpToTheBufferAreKept) {
  std::vector<uint8_t> full(12288, 0x5A);
  winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_CONTINUE_NEEDED, full, std::nullopt});
  auto client = CreateContext(true, 0, J(u"NTLM"), std::nullopt);
  ASSERT_TRUE(client.ok()) << client;
  EXPECT_EQ(GetChallengeToken(client.value).value, jvm::JBytes(full));

  // One byte more does not fit the buffer: the package refuses the step.
  winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_CONTINUE_NEEDED, std::vector<uint8_t>(12289, 1), std::nullopt});
  auto tooLong = CreateContext(true, 0, J(u"NTLM"), std::nullopt);
  EXPECT_EQ(tooLong.Failure(), "WinAuthException: Platform error: 80090321");

  winhost::ScriptStep("InitializeSecurityContextW", {SEC_I_CONTINUE_NEEDED, std::vector<uint8_t>(), std::nullopt});
  auto empty = CreateContext(true, 0, J(u"NTLM"), std::nullopt);
  auto token = GetChallengeToken(empty.value);
  ASSERT_TRUE(token.value.has_value());
  EXPECT_TRUE(token.value->empty());
  FreeHandle(client.value);
  FreeHandle(empty.value);
}

TEST_F(CreateContextTest, FreeHandleReleasesOnceAndIgnoresUnknownHandles) {
  auto server = CreateContext(false, 0, J(u"Negotiate"), std::nullopt);
  auto client = CreateContext(true, 0, J(u"Negotiate"), std::nullopt);
  auto third = CreateContext(true, 0, J(u"NTLM"), std::nullopt);
  ASSERT_TRUE(server.ok() && client.ok() && third.ok());

  winhost::ClearJournal();
  EXPECT_TRUE(FreeHandle(client.value).ok());
  // A context that never ran a step is still deleted and its credentials freed.
  EXPECT_TRUE(FreeHandle(server.value).ok());
  EXPECT_EQ(winhost::JournalFunctions(),
            (std::vector<std::string>{"DeleteSecurityContext", "FreeCredentialsHandle", "DeleteSecurityContext",
                                      "FreeCredentialsHandle"}));
  winhost::ClearJournal();
  for (int handle : {client.value, server.value, 0, -1, 999999}) EXPECT_TRUE(FreeHandle(handle).ok());
  EXPECT_TRUE(winhost::Journal().empty());
  EXPECT_EQ(GetChallengeToken(client.value).Failure(), "WinAuthException: Invalid handle");
  // The record behind the freed ones still answers.
  EXPECT_TRUE(GetChallengeToken(third.value).ok());
  FreeHandle(third.value);
  EXPECT_EQ(winhost::LiveCount("credential"), 0);
  EXPECT_EQ(winhost::LiveCount("context"), 0);
}

}  // namespace

namespace {

// Running out of native memory at any point of a creation ends in OutOfMemoryError with nothing
// held, also where the package had already made the context (copying the first token, say).
TEST_F(CreateContextTest, NativeMemoryFailuresAtEveryPointLeaveNothingHeld) {
  auto failAllocation = hooks::Get<long(long)>("quentrel_test_FailAllocation");
  const std::map<std::string, int> before = winhost::LiveCounts();
  for (const char16_t* package : {u"Negotiate", u"Kerberos"}) {
    int afterTheStep = 0;
    long nth = 1;
    for (; nth < 50; ++nth) {
      winhost::ClearJournal();
      failAllocation(nth);
      auto client = CreateContext(true, 0, J(package), package[0] == u'K' ? std::nullopt : J(u"HTTP/web"));
      failAllocation(0);
      if (client.ok()) {
        FreeHandle(client.value);
        break;
      }
      EXPECT_EQ(client.Failure(), "OutOfMemoryError: Native memory exhausted") << nth;
      EXPECT_EQ(winhost::LiveCounts(), before) << Utf8(std::u16string(package)) << " allocation " << nth;
      afterTheStep += winhost::JournalOf("InitializeSecurityContextW").empty() ? 0 : 1;
    }
    EXPECT_LT(nth, 50) << "the creation never succeeded";
    EXPECT_GT(afterTheStep, 0) << "no failure came after the package's step";
  }
}

}  // namespace
