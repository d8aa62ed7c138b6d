// The computer's names, the domain-controller check and the end of the process through WinUtil.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "harness/jvm/api.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

extern char** environ;

using namespace api::winutil;

namespace {

class HostIdentityTest : public JvmTest {};

TEST_F(HostIdentityTest, NamesComeFromTheHostInTheirTwoFormats) {
  EXPECT_EQ(Utf8(GetComputerNameNetBIOS().value), "WINHOST");
  EXPECT_EQ(Utf8(GetFullyQualifiedDnsName().value), "winhost.example.test");
  auto queries = winhost::JournalOf("GetComputerNameExW");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].Arg("type"), "0");
  EXPECT_EQ(queries[1].Arg("type"), "3");
  EXPECT_EQ(queries[1].Arg("size"), "260");

  // Without a DNS suffix the fully qualified name is the host name; non-ASCII names pass through.
  winhost::SetComputerNames({"B\u00C4R", "b\u00E4r", ""});
  EXPECT_EQ(Utf8(GetComputerNameNetBIOS().value), "B\u00C4R");
  EXPECT_EQ(Utf8(GetFullyQualifiedDnsName().value), "b\u00E4r");

  // 259 characters fit the buffer with the terminator; one more does not, and gives null.
  winhost::SetComputerNames({"N", std::string(200, 'h'), std::string(58, 'd')});
  EXPECT_EQ(GetFullyQualifiedDnsName().value->size(), 259u);
  winhost::SetComputerNames({"N", std::string(200, 'h'), std::string(59, 'd')});
  auto tooLong = GetFullyQualifiedDnsName();
  EXPECT_TRUE(tooLong.ok());
  EXPECT_EQ(tooLong.value, std::nullopt);

  winhost::Fail("GetComputerNameExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GetComputerNameNetBIOS().value, std::nullopt);
}

TEST_F(HostIdentityTest, DomainControllerCheckGivesTheLookupStatusUnchanged) {
  // This computer is not joined to a domain.
  auto alone = GetDCCheckResultCode();
  EXPECT_TRUE(alone.ok());
  EXPECT_EQ(alone.value, ERROR_NO_SUCH_DOMAIN);
  auto lookups = winhost::JournalOf("NetGetAnyDCName");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].Arg("server"), "null");
  EXPECT_EQ(lookups[0].Arg("domain"), "null");
  EXPECT_TRUE(winhost::JournalOf("NetApiBufferFree").empty()) << "no buffer came back";

  for (uint32_t status : std::initializer_list<uint32_t>{ERROR_NO_LOGON_SERVERS, ERROR_NO_TRUST_LSA_SECRET, ERROR_NO_TRUST_SAM_ACCOUNT,
                          ERROR_DOMAIN_TRUST_INCONSISTENT, 0xC0000022u}) {
    winhost::SetDomainControllerStatus(status);
    EXPECT_EQ(static_cast<uint32_t>(GetDCCheckResultCode().value), status);
  }

  // A controller answered: its name is not used, and its buffer is given back.
  winhost::SetDomainControllerStatus(NERR_Success);
  EXPECT_EQ(GetDCCheckResultCode().value, 0);
  EXPECT_EQ(winhost::JournalOf("NetApiBufferFree").size(), 1u);
  EXPECT_EQ(winhost::LiveCount("net-buffer"), 0);
}

TEST_F(HostIdentityTest, RefusedTerminationReturnsQuietly) {
  winhost::Fail("TerminateProcess", ERROR_ACCESS_DENIED);
  auto refused = TerminateProcess(3);
  EXPECT_TRUE(refused.ok()) << refused;
  auto calls = winhost::JournalOf("TerminateProcess");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Arg("process"), "current");
  EXPECT_EQ(calls[0].Arg("code"), "3");
}

// Runs FreshTerminate.EndsTheProcess in a child process of this test program (the JVM here rules
// out fork) and gives its wait status and the exit code the stand-in recorded.
std::pair<int, std::string> TerminateInChild(int exitCode) {
  std::string record = (std::filesystem::temp_directory_path() /
                        ("winutil-exit-" + std::to_string(getpid()) + "-" + std::to_string(exitCode)))
                           .string();
  std::filesystem::remove(record);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  environment.push_back("QUENTREL_TEST_EXIT_CODE=" + std::to_string(exitCode));
  environment.push_back("QUENTREL_TEST_EXIT_RECORD=" + record);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=FreshTerminate.EndsTheProcess";
  char* argv[] = {program.data(), filter.data(), nullptr};

  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return {-1, ""};
  int status = 0;
  waitpid(child, &status, 0);
  std::string recorded;
  std::ifstream(record) >> recorded;
  std::filesystem::remove(record);
  return {status, recorded};
}

TEST_F(HostIdentityTest, TerminationEndsTheProcessWithTheCodeBitForBit) {
  for (int exitCode : {-1, 0x12345}) {
    auto [status, recorded] = TerminateInChild(exitCode);
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    // A POSIX exit status keeps the low eight bits; the stand-in saw the whole code.
    EXPECT_EQ(WEXITSTATUS(status), exitCode & 0xFF);
    EXPECT_EQ(recorded, std::to_string(static_cast<uint32_t>(exitCode)));
  }
}

// Started only by the test above, with the code and the record file in its environment.
TEST(FreshTerminate, EndsTheProcess) {
  const char* code = std::getenv("QUENTREL_TEST_EXIT_CODE");
  const char* record = std::getenv("QUENTREL_TEST_EXIT_RECORD");
  if (code == nullptr || record == nullptr) GTEST_SKIP() << "run by HostIdentityTest in a child process";
  jvm::Env();
  winhost::RecordTerminationIn(record);
  TerminateProcess(std::atoi(code));
  FAIL() << "WinUtil.TerminateProcess returned";
}

}  // namespace
