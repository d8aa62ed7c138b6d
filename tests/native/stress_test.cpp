// The stress driver over the fake JNI, one environment per thread: built with ThreadSanitizer in
// the test command, where the JVM cannot run.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness/native/stress.h"
#include "winhost/control.h"

namespace {

TEST(NativeStress, ThreadsOverEveryFamilyLeaveNothingHeld) {
  winhost::Reset();
  const std::map<std::string, int> before = winhost::LiveCounts();
  const char* seconds = std::getenv("QUENTREL_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(static_cast<long>(1000 * std::atof(seconds ? seconds : "2")));
  native::StressResult result = native::RunStress<native::Session>(
      [] { return std::make_unique<native::Session>(); }, duration);
  native::ExpectStressEndedClean(result, before, "native stress");
}

// Sign-ons on the machine's own GSSAPI from several threads at once, inside the realm of
// tests/kdc/with-realm.sh (QUENTREL_STRESS_REALM set): the build of the system world runs it.
TEST(NativeStress, SignOnsOfManyThreadsOnTheSystemWorld) {
  if (std::getenv("QUENTREL_STRESS_REALM") == nullptr) GTEST_SKIP() << "needs a Kerberos realm";
  const std::map<std::string, int> before = winhost::LiveCounts();
  const char* seconds = std::getenv("QUENTREL_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(static_cast<long>(1000 * std::atof(seconds ? seconds : "3")));
  for (const char16_t* package : {u"Kerberos", u"Negotiate"}) {
    native::StressResult result = native::RunSignOnStress<native::Session>(
        [] { return std::make_unique<native::Session>(); }, 4, package, u"HTTP/localhost", duration);
    native::ExpectStressEndedClean(result, before, "sign-on stress");
  }
}

// The same first token handed to two threads in each of two processes at the same instant: of
// the four acceptances exactly one stands, in every round, and the host's table (not GSSAPI's file)
// is what decided.
int AcceptAtOnce(const std::u16string& package, const std::vector<uint8_t>& token,
                 std::chrono::steady_clock::time_point start) {
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      native::Session session;
      const int server = session.CreateContext(false, 0, package, std::nullopt).handle;
      std::this_thread::sleep_until(start);
      if (session.Accept(server, token).ok()) ++accepted;
      session.FreeHandle(server);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return accepted;
}

TEST(NativeStress, SignOnsReplayedAtOnceStandOnceAcrossThreadsAndProcesses) {
  if (std::getenv("QUENTREL_STRESS_REALM") == nullptr) GTEST_SKIP() << "needs a Kerberos realm";
  native::Session session;
  for (const char16_t* package : {u"Kerberos", u"Negotiate"}) {
    for (int round = 0; round < 12; ++round) {
      const int client = session.CreateContext(true, ISC_REQ_MUTUAL_AUTH, package, u"HTTP/localhost").handle;
      const native::Outcome token = session.GetChallengeToken(client);
      ASSERT_TRUE(token.ok()) << token.text;
      const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) _exit(AcceptAtOnce(package, token.bytes, start));
      const int here = AcceptAtOnce(package, token.bytes, start);
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(here + WEXITSTATUS(status), 1) << native::Utf8(package) << " round " << round;
      session.FreeHandle(client);
    }
  }
  const char* folder = std::getenv("KRB5RCACHEDIR");
  ASSERT_NE(folder, nullptr);
  const std::string uid = std::to_string(geteuid());
  EXPECT_EQ(access((std::string(folder) + "/quentrel_" + uid + ".replay").c_str(), F_OK), 0);
  EXPECT_NE(access((std::string(folder) + "/krb5_" + uid + ".rcache2").c_str(), F_OK), 0);
}

// Servers share acceptor credentials while nothing they were made under changes: a server made
// after the accepted principals' setting changed takes the new policy at once, while one made
// before keeps the one it was made with; with the setting back, servers accept as before.
TEST(NativeStress, SignOnsFollowTheSettingTheirServerWasMadeUnder) {
  if (std::getenv("QUENTREL_STRESS_REALM") == nullptr) GTEST_SKIP() << "needs a Kerberos realm";
  native::Session session;
  auto signOn = [&](int server) {
    const int client = session.CreateContext(true, 0, u"Kerberos", u"HTTP/localhost").handle;
    const native::Outcome token = session.GetChallengeToken(client);
    session.FreeHandle(client);
    return token.ok() && session.Accept(server, token.bytes).ok();
  };
  const int before = session.CreateContext(false, 0, u"Kerberos", std::nullopt).handle;
  setenv("QUENTREL_ACCEPT_PRINCIPALS", "host/localhost", 1);
  const int changed = session.CreateContext(false, 0, u"Kerberos", std::nullopt).handle;
  unsetenv("QUENTREL_ACCEPT_PRINCIPALS");
  const int after = session.CreateContext(false, 0, u"Kerberos", std::nullopt).handle;
  EXPECT_TRUE(signOn(before));
  EXPECT_FALSE(signOn(changed)) << "a ticket for HTTP/localhost passed a server of host/localhost alone";
  EXPECT_TRUE(signOn(after));
  for (int server : {before, changed, after}) session.FreeHandle(server);
}

// Account lookups of several threads at once in the domain of tests/ad/with-domain.sh, each on a
// directory connection of its own, kept ones taken and given back, every name not asked for
// before: names of accounts and of none, each with the right answer.
TEST(NativeStress, DomainLookupsOfManyThreadsAtOnce) {
  const char* domain = std::getenv("AD_DOMAIN");
  if (domain == nullptr || std::getenv("QUENTREL_STRESS_DOMAIN") == nullptr) GTEST_SKIP() << "needs the domain";
  const std::u16string prefix = winhost::Wide(std::string(domain) + "\\");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      native::Session session;
      for (int i = 0; i < 12; ++i) {
        const std::u16string absent = prefix + winhost::Wide("absent-" + std::to_string(t) + "-" + std::to_string(i));
        const native::Outcome none = session.CreateUserContext(absent);
        wrong += none.text != "UserNotFoundException: ";
        const char* users[] = {"alice", "bob", "carol", "dave", "erin"};
        const native::Outcome user = session.CreateUserContext(prefix + winhost::Wide(users[(t + i) % 5]));
        if (user.ok()) session.FreeUserHandle(user.handle);
        wrong += !user.ok();
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // Every name never asked for went to a controller.
  EXPECT_GE(winhost::JournalOf("ldap_search_ext_s").size(), 48u);
}

}  // namespace
