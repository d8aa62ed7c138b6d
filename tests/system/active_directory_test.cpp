// The library on the system world in an Active Directory domain: a Samba DC that
// tests/ad/with-domain.sh runs beside the test (its KDC, directory and DNS), through the Java
// classes on a real JVM. Outside such a domain every test here is skipped.
#include <signal.h>

#include <cstdlib>
#include <string>

#include "harness/jvm/api.h"
#include "winhost/control.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class ActiveDirectoryTest : public JvmTest {
 protected:
  void SetUp() override {
    if (Env("AD_REALM").empty()) GTEST_SKIP() << "runs inside tests/ad/with-domain.sh";
    JvmTest::SetUp();
    ASSERT_EQ(winhost::CurrentWorld(), winhost::World::System);
  }
};

// The domain's DNS lists dc1 for both the directory and the KDC; the directory's listing is the
// one asked, and the DC counts only while it answers. Stopped (not killed) it still accepts
// connections, as a hung controller does, but says nothing.
TEST_F(ActiveDirectoryTest, TheControllerCountsWhileItAnswers) {
  const pid_t dc = static_cast<pid_t>(std::atol(Env("AD_SAMBA_PID").c_str()));
  ASSERT_GT(dc, 0);
  winhost::ClearJournal();
  EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, NERR_Success);
  auto asked = winhost::JournalOf("ldap_search_rootdse");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].Arg("host"), Env("AD_DC_NAME"));
  EXPECT_EQ(asked[0].Arg("port"), "389");

  ASSERT_EQ(kill(dc, SIGSTOP), 0);
  const int stopped = api::winutil::GetDCCheckResultCode().value;
  ASSERT_EQ(kill(dc, SIGCONT), 0);
  EXPECT_EQ(stopped, ERROR_NO_LOGON_SERVERS);
  EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, NERR_Success);
}

}  // namespace
