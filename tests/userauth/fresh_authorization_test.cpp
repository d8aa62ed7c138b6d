// Authorization set-up at load and tear-down at unload: each test runs in a process of its own,
// with the host arranged before the first touch of a package class loads the library.
#include <chrono>
#include <cstdlib>
#include <limits>
#include <thread>

#include "userauth/support.h"

using userauth_test::Calls;
using userauth_test::Strip;
using userauth_test::W;

namespace {

const std::vector<std::string> kSetUpCalls = {"AuthzInitializeResourceManager", "GetComputerNameExW",
                                              "AllocateAndInitializeSid", "LookupAccountSidW", "FreeSid"};

// Loads the library through its Java classes and returns the calls the load made.
std::vector<std::string> Load() {
  jvm::Env();
  winhost::ClearJournal();
  jvm::PackageClass("UserAuth");
  return Calls();
}

std::string Answer(const Outcome<bool>& answer) { return answer.ok() ? (answer.value ? "yes" : "no") : answer.Failure(); }

TEST(FreshAuthorization, SetUpRunsInOrderAndTheFirstUserContextIsTwo) {
  // The longest host name that fits the 260-character buffer with its terminator.
  const std::string host(259, 'h');
  winhost::SetComputerNames({"WINHOST", host, "example.test"});
  std::vector<std::string> expected = {"DisableThreadLibraryCalls"};
  expected.insert(expected.end(), kSetUpCalls.begin(), kSetUpCalls.end());
  EXPECT_EQ(Load(), expected);

  auto manager = winhost::JournalOf("AuthzInitializeResourceManager").at(0);
  EXPECT_EQ(manager.Arg("flags"), "1");
  EXPECT_EQ(manager.Arg("accessCheck"), "null");
  EXPECT_EQ(manager.Arg("computeGroups"), "null");
  EXPECT_EQ(manager.Arg("freeGroups"), "null");
  EXPECT_EQ(manager.Arg("name"), "null");
  auto name = winhost::JournalOf("GetComputerNameExW").at(0);
  EXPECT_EQ(name.Arg("type"), "1");
  EXPECT_EQ(name.Arg("size"), "260");
  auto sid = winhost::JournalOf("AllocateAndInitializeSid").at(0);
  EXPECT_EQ(sid.Arg("authority"), "0,0,0,0,0,5");
  EXPECT_EQ(sid.Arg("count"), "1");
  EXPECT_EQ(sid.Arg("subAuthorities"), "32,0,0,0,0,0,0,0");
  auto builtin = winhost::JournalOf("LookupAccountSidW").at(0);
  EXPECT_EQ(builtin.Arg("system"), "null");
  EXPECT_EQ(builtin.Arg("sid"), "S-1-5-32");
  EXPECT_EQ(builtin.Arg("nameSize"), "260");
  EXPECT_EQ(builtin.Arg("domainSize"), "260");
  EXPECT_EQ(winhost::LiveCount("sid"), 0);
  EXPECT_EQ(winhost::LiveCount("resource-manager"), 1);

  EXPECT_EQ(Strip(winhost::Wide(host + "\\alice")), u"alice");
  EXPECT_EQ(Strip(u"builtin\\Users"), u"Users");

  auto first = api::userauth::CreateUserContext(W("WINHOST\\appuser"));
  EXPECT_EQ(first.value, 2) << first;
  EXPECT_EQ(api::userauth::CreateUserContext(W("WINHOST\\nobody")).Failure(), "UserNotFoundException: ");
  EXPECT_EQ(api::userauth::CreateUserContext(W("WINHOST\\appuser")).value, 4);
  // The SSPI family counts on its own.
  EXPECT_EQ(api::sspi::CreateContext(false, 0, J(u"NTLM"), std::nullopt).value, 2);
  EXPECT_EQ(Answer(api::userauth::IsGroupMember(2, W("Users"))), "yes");
  api::sspi::FreeHandle(2);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

// A set-up that stopped at `function`: UserAuth creation and membership refuse, the rest works,
// and only the names recorded before the failure are known.
void ExpectSetUpStoppedAt(const std::string& function, bool hostNameKnown, bool builtinNameKnown) {
  std::vector<std::string> calls = Load();
  std::vector<std::string> expected = {"DisableThreadLibraryCalls"};
  for (const std::string& step : kSetUpCalls) {
    expected.push_back(step);
    if (step == function) break;
  }
  // The SID built for the lookup is freed whether or not the lookup succeeds.
  if (function == "LookupAccountSidW") expected.push_back("FreeSid");
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(winhost::LiveCount("sid"), 0);

  winhost::ClearJournal();
  EXPECT_EQ(api::userauth::CreateUserContext(W("WINHOST\\appuser")).Failure(), "WinAuthException: Not initialized");
  EXPECT_EQ(api::userauth::CreateUserContext(W("alice")).Failure(), "WinAuthException: Not initialized");
  EXPECT_EQ(api::userauth::IsGroupMember(2, W("Users")).Failure(), "WinAuthException: Not initialized");
  EXPECT_TRUE(api::userauth::FreeHandle(2).ok());
  EXPECT_TRUE(winhost::Journal().empty());
  EXPECT_EQ(Utf8(api::userauth::GetUserSID(W("BUILTIN\\Administrators")).value), "S-1-5-32-544");
  EXPECT_EQ(api::sspi::CreateContext(true, 0, J(u"NTLM"), std::nullopt).value, 2);
  api::sspi::FreeHandle(2);

  EXPECT_EQ(Strip(u"\\alice"), u"alice");
  EXPECT_EQ(Strip(u"WINHOST\\alice"), hostNameKnown ? u"alice" : u"WINHOST\\alice");
  EXPECT_EQ(Strip(u"BUILTIN\\Users"), builtinNameKnown ? u"Users" : u"BUILTIN\\Users");
  EXPECT_EQ(Strip(u"alice"), u"alice");
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

TEST(FreshAuthorizationSetUp, FailsAtTheResourceManager) {
  winhost::Fail("AuthzInitializeResourceManager", ERROR_NOT_ENOUGH_MEMORY);
  ExpectSetUpStoppedAt("AuthzInitializeResourceManager", false, false);
  EXPECT_EQ(winhost::LiveCount("resource-manager"), 0);
}

TEST(FreshAuthorizationSetUp, FailsAtTheComputerName) {
  winhost::Fail("GetComputerNameExW", ERROR_ACCESS_DENIED);
  ExpectSetUpStoppedAt("GetComputerNameExW", false, false);
  EXPECT_EQ(winhost::LiveCount("resource-manager"), 1);
}

TEST(FreshAuthorizationSetUp, FailsWithAHostNameTooLongForItsBuffer) {
  winhost::SetComputerNames({"WINHOST", std::string(260, 'h'), ""});
  ExpectSetUpStoppedAt("GetComputerNameExW", false, false);
}

TEST(FreshAuthorizationSetUp, FailsAtTheBuiltinSid) {
  winhost::Fail("AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY);
  ExpectSetUpStoppedAt("AllocateAndInitializeSid", true, false);
}

TEST(FreshAuthorizationSetUp, FailsAtTheBuiltinDomainLookup) {
  winhost::Fail("LookupAccountSidW", ERROR_NONE_MAPPED);
  ExpectSetUpStoppedAt("LookupAccountSidW", true, false);
}

TEST(FreshUserContextCounter, ExhaustedCounterRefusesCreationAndLeavesTheTable) {
  auto setLast = hooks::Get<void(int)>("quentrel_test_SetLastUserContextHandle");
  auto getLast = hooks::Get<int()>("quentrel_test_GetLastUserContextHandle");
  const int max = std::numeric_limits<int>::max();
  setLast(max - 1);
  auto last = api::userauth::CreateUserContext(W("WINHOST\\appuser"));
  ASSERT_TRUE(last.ok()) << last;
  EXPECT_EQ(last.value, max);

  winhost::ClearJournal();
  for (const char* name : {"WINHOST\\appuser", "WINHOST\\nobody"}) {
    auto refused = api::userauth::CreateUserContext(W(name));
    EXPECT_EQ(refused.value, 0);
    ASSERT_TRUE(refused.thrown.has_value());
    EXPECT_EQ(refused.thrown->ShortType(), "WinAuthException");
    EXPECT_NE(refused.thrown->message.value_or("").find("Handle limit reached"), std::string::npos);
  }
  EXPECT_TRUE(winhost::Journal().empty()) << "no platform call after the counter ran out";
  EXPECT_EQ(getLast(), max);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 1);
  EXPECT_EQ(Answer(api::userauth::IsGroupMember(max, W("Users"))), "yes");
  api::userauth::FreeHandle(max);
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

// The JVM unloads a native library when the class loader that loaded it is collected. The package
// is loaded here through a class loader of its own, used, and let go; the library's unload
// notification then runs on the JVM's cleaner thread, and the host's journal shows what it did.
TEST(FreshUnload, HeldContextsAreReleasedThenTheResourceManagerAndNoSspiCall) {
  JNIEnv* env = jvm::Env();
  const char* jar = std::getenv("QUENTREL_TEST_CLASSPATH");
  ASSERT_NE(jar, nullptr);
  ASSERT_EQ(env->PushLocalFrame(32), JNI_OK);
  jclass urlClass = env->FindClass("java/net/URL");
  jobject url = env->NewObject(urlClass, env->GetMethodID(urlClass, "<init>", "(Ljava/lang/String;)V"),
                               env->NewStringUTF((std::string("file:") + jar).c_str()));
  jobjectArray urls = env->NewObjectArray(1, urlClass, url);
  jclass loaderClass = env->FindClass("java/net/URLClassLoader");
  jobject loader = env->NewObject(
      loaderClass, env->GetMethodID(loaderClass, "<init>", "([Ljava/net/URL;Ljava/lang/ClassLoader;)V"), urls, nullptr);
  jclass classClass = env->FindClass("java/lang/Class");
  jmethodID forName =
      env->GetStaticMethodID(classClass, "forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
  // Every call that can raise is checked at once, as -Xcheck:jni requires.
  auto noException = [&] { return !env->ExceptionCheck(); };
  auto load = [&](const char* name) {
    jstring text = env->NewStringUTF(name);
    auto loaded = static_cast<jclass>(env->CallStaticObjectMethod(classClass, forName, text, JNI_TRUE, loader));
    EXPECT_TRUE(noException()) << name;
    return loaded;
  };
  jclass userAuth = load("com.tarvex.pelk.quentrel.UserAuth");
  jclass sspi = load("com.tarvex.pelk.quentrel.SSPI");
  ASSERT_NE(userAuth, nullptr);
  ASSERT_NE(sspi, nullptr);

  jmethodID create = env->GetStaticMethodID(userAuth, "CreateUserContext", "(Ljava/lang/String;)I");
  jmethodID release = env->GetStaticMethodID(userAuth, "FreeHandle", "(I)V");
  jmethodID createContext = env->GetStaticMethodID(sspi, "CreateContext", "(ZILjava/lang/String;Ljava/lang/String;)I");
  auto userContext = [&](const char* name) {
    jstring text = env->NewStringUTF(name);
    jint handle = env->CallStaticIntMethod(userAuth, create, text);
    EXPECT_TRUE(noException()) << name;
    return handle;
  };
  auto securityContext = [&](bool client) {
    jstring package = env->NewStringUTF("NTLM");
    jint handle = env->CallStaticIntMethod(sspi, createContext, client ? JNI_TRUE : JNI_FALSE, 0, package, nullptr);
    EXPECT_TRUE(noException());
    return handle;
  };
  jint first = userContext("WINHOST\\appuser");
  jint freed = userContext("WINHOST\\Administrator");
  jint second = userContext("WINHOST\\Guest");
  env->CallStaticVoidMethod(userAuth, release, freed);
  EXPECT_TRUE(noException());
  jint client = securityContext(true);
  jint server = securityContext(false);
  EXPECT_EQ(std::vector<int>({first, freed, second, client, server}), std::vector<int>({2, 3, 4, 2, 3}));
  auto contexts = winhost::JournalOf("AuthzInitializeContextFromSid");
  ASSERT_EQ(contexts.size(), 3u);
  const std::string manager = contexts[0].Arg("resourceManager");
  auto queries = winhost::JournalOf("AuthzGetInformationFromContext");
  ASSERT_EQ(queries.size(), 6u);
  const std::string firstContext = queries[0].Arg("context");
  const std::string secondContext = queries[4].Arg("context");
  env->PopLocalFrame(nullptr);

  winhost::ClearJournal();
  jclass system = env->FindClass("java/lang/System");
  jmethodID gc = env->GetStaticMethodID(system, "gc", "()V");
  auto released = [] { return !winhost::JournalOf("AuthzFreeResourceManager").empty(); };
  for (int attempt = 0; attempt < 200 && !released(); ++attempt) {
    env->CallStaticVoidMethod(system, gc);
    ASSERT_TRUE(noException());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  env->DeleteLocalRef(system);
  ASSERT_TRUE(released()) << "the library was not unloaded";

  std::vector<std::string> order;
  for (const winhost::Call& call : winhost::Journal())
    order.push_back(call.function + "(" + (call.function == "AuthzFreeResourceManager" ? call.Arg("handle")
                                                                                        : call.Arg("context")) + ")");
  EXPECT_EQ(order, std::vector<std::string>({"AuthzFreeContext(" + firstContext + ")",
                                             "AuthzFreeContext(" + secondContext + ")",
                                             "AuthzFreeResourceManager(" + manager + ")"}));
  EXPECT_EQ(winhost::LiveCount("authz-context"), 0);
  EXPECT_EQ(winhost::LiveCount("resource-manager"), 0);
  // Security contexts still held are left to the process: no SSPI call released them.
  EXPECT_EQ(winhost::LiveCount("credential"), 2);
  EXPECT_EQ(winhost::LiveCount("context"), 1);
  EXPECT_FALSE(jvm::HasJniWarning(jvm::TakeOutput()));
}

}  // namespace
