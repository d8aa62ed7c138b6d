// The product's install path and its application data folders through WinUtil, over a common
// application data folder of the test's own.
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "harness/jvm/api.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

using namespace api::winutil;
using winhost::View;
namespace fs = std::filesystem;

namespace {

const char kProductKey[] = "SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane";
const char kFailure[] = "WinException: Failed to resolve common app data path";

std::u16string Wide(const std::string& text) { return winhost::Wide(text); }

class ProductPathsTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "winutil-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    shellFolder_ = root_ / "ProgramData";  // made by the shell on first use
    winhost::SetCommonAppDataFolder(shellFolder_.string());
  }
  void TearDown() override {
    fs::remove_all(root_);
    EXPECT_EQ(winhost::LiveCount("key"), 0) << "a registry key was left open";
    JvmTest::TearDown();
  }

  static std::string Under(const fs::path& base, const std::string& file) {
    return base.string() + "/Tarvex/Tarvex Quorvane/" + file;
  }

  fs::path root_;
  fs::path shellFolder_;
};

TEST_F(ProductPathsTest, InstallPathLosesOneTrailingSeparator) {
  EXPECT_EQ(GetProductInstallPath().value, std::nullopt) << "no product key";
  winhost::CreateRegistryKey(View::k64, kProductKey);
  EXPECT_EQ(GetProductInstallPath().value, std::nullopt) << "no value";

  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Program Files\\Tarvex\\", "C:\\Program Files\\Tarvex"},
      {"C:\\Program Files\\Tarvex", "C:\\Program Files\\Tarvex"},
      {"C:\\Doubled\\\\", "C:\\Doubled\\"},
      {"/opt/tarvex/", "/opt/tarvex"},
      {"/opt/\u00E9t\u00E9", "/opt/\u00E9t\u00E9"},
  };
  for (const auto& [stored, expected] : cases) {
    winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", Wide(stored));
    auto path = GetProductInstallPath();
    EXPECT_TRUE(path.ok());
    EXPECT_EQ(Utf8(path.value), expected);
  }
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", u"");
  EXPECT_EQ(GetProductInstallPath().value, std::nullopt) << "empty value";

  auto opens = winhost::JournalOf("RegOpenKeyExA");
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(opens.back().Arg("path"), kProductKey);
  EXPECT_EQ(opens.back().Arg("access"), "0x00020019");
}

TEST_F(ProductPathsTest, InstallPathsUpToTheBufferAreReadWholeAndLongerOnesAreRefused) {
  // 200 characters take 400 bytes: more than 260 bytes, well within 260 units.
  const std::u16string longPath = u"D:\\" + std::u16string(197, u'p');
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", longPath);
  EXPECT_EQ(GetProductInstallPath().value, longPath);
  EXPECT_EQ(winhost::JournalOf("RegQueryValueExW").back().Arg("size"), "520");

  const std::u16string longest(259, u'q');
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", longest);
  EXPECT_EQ(GetProductInstallPath().value, longest);
  // 260 units with no room for a terminator, or a value larger than the buffer: no path at all,
  // never a cut one.
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", std::u16string(260, u'r'), false);
  EXPECT_EQ(GetProductInstallPath().value, std::nullopt);
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", std::u16string(300, u's'));
  EXPECT_EQ(GetProductInstallPath().value, std::nullopt);
}

TEST_F(ProductPathsTest, UnderWow64TheProductKeyIsReadInThe64BitView) {
  winhost::SetWow64(winhost::Wow64::On);
  winhost::SetRegistryString(View::k64, kProductKey, "InstallPath", u"C:\\Program Files\\Tarvex");
  winhost::SetRegistryString(View::k32, kProductKey, "InstallPath", u"C:\\Program Files (x86)\\Tarvex");
  EXPECT_EQ(Utf8(GetProductInstallPath().value), "C:\\Program Files\\Tarvex");
  EXPECT_EQ(winhost::JournalOf("RegOpenKeyExA").back().Arg("access"), "0x00020119");

  // The app-data base comes from the same view.
  fs::create_directories(root_ / "base64");
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide((root_ / "base64").string()));
  winhost::SetRegistryString(View::k32, kProductKey, "AppDataPath", Wide((root_ / "base32").string()));
  EXPECT_EQ(Utf8(GetCommonAppDataFilePath(J(u"a.txt")).value), Under(root_ / "base64", "a.txt"));
}

TEST_F(ProductPathsTest, ShellFolderIsTheBaseAndTheFoldersAreMadeOnce) {
  auto first = GetCommonAppDataFilePath(J(u"server.log"));
  ASSERT_TRUE(first.ok()) << first;
  EXPECT_EQ(Utf8(first.value), Under(shellFolder_, "server.log"));
  EXPECT_TRUE(fs::is_directory(shellFolder_ / "Tarvex" / "Tarvex Quorvane"));
  EXPECT_FALSE(fs::exists(shellFolder_ / "Tarvex" / "Tarvex Quorvane" / "server.log")) << "no file is made";
  auto shell = winhost::JournalOf("SHGetFolderPathW");
  ASSERT_EQ(shell.size(), 1u);
  EXPECT_EQ(shell[0].Arg("folder"), "0x00008023");
  EXPECT_EQ(winhost::JournalOf("CreateDirectoryW").size(), 2u);

  // Later calls find both folders and create nothing; the name is taken as it is.
  winhost::ClearJournal();
  auto later = GetCommonAppDataFilePath(J(u"sub/../other name.txt"));
  EXPECT_EQ(Utf8(later.value), Under(shellFolder_, "sub/../other name.txt"));
  EXPECT_TRUE(winhost::JournalOf("CreateDirectoryW").empty());
}

TEST_F(ProductPathsTest, RegisteredBaseWinsOverTheShellAndIsUsedAsItIs) {
  fs::create_directories(root_ / "custom");
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide((root_ / "custom").string()));
  EXPECT_EQ(Utf8(GetCommonAppDataFilePath(J(u"x.cfg")).value), Under(root_ / "custom", "x.cfg"));
  EXPECT_TRUE(winhost::JournalOf("SHGetFolderPathW").empty());
  EXPECT_FALSE(fs::exists(shellFolder_));

  // A base that already ends with a separator gets another one after it.
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide((root_ / "custom").string() + "/"));
  EXPECT_EQ(Utf8(GetCommonAppDataFilePath(J(u"x.cfg")).value), Under((root_ / "custom").string() + "/", "x.cfg"));

  // An empty value means no value: the shell's folder is used.
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", u"");
  EXPECT_EQ(Utf8(GetCommonAppDataFilePath(J(u"x.cfg")).value), Under(shellFolder_, "x.cfg"));
}

TEST_F(ProductPathsTest, SomethingElseWhereAFolderBelongsFailsTheCall) {
  fs::create_directories(root_ / "base");
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide((root_ / "base").string()));
  std::ofstream(root_ / "base" / "Tarvex") << "a file";
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);

  // The first folder made before a failure on the second one stays.
  fs::remove(root_ / "base" / "Tarvex");
  fs::create_directories(root_ / "base" / "Tarvex");
  std::ofstream(root_ / "base" / "Tarvex" / "Tarvex Quorvane") << "a file";
  auto failed = GetCommonAppDataFilePath(J(u"f"));
  EXPECT_EQ(failed.Failure(), kFailure);
  EXPECT_EQ(failed.value, std::nullopt);

  // A base that does not exist is not made.
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide((root_ / "missing").string()));
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);
  EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(ProductPathsTest, ShellFailuresFailTheCallWithoutReadingTheName) {
  winhost::Fail("SHGetFolderPathW", static_cast<uint32_t>(E_FAIL));
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);
  winhost::SetCommonAppDataFolder("");  // the shell answers S_OK and nothing
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);
  winhost::Fail("CreateDirectoryW", ERROR_ACCESS_DENIED);
  winhost::SetCommonAppDataFolder(shellFolder_.string());
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);

  winhost::ClearJournal();
  EXPECT_EQ(GetCommonAppDataFilePath(std::nullopt).Failure(), "NullPointerException: fileName must not be null");
  EXPECT_TRUE(winhost::Journal().empty());
}

TEST_F(ProductPathsTest, PathsThatWouldNotFitAreRefusedNeverCut) {
  const std::string folders = shellFolder_.string() + "/Tarvex/Tarvex Quorvane/";
  ASSERT_LT(folders.size(), 200u);
  const std::u16string fits(259 - folders.size(), u'n');
  EXPECT_EQ(GetCommonAppDataFilePath(fits).value->size(), 259u);
  EXPECT_EQ(GetCommonAppDataFilePath(fits + u"n").Failure(), kFailure);

  // A base so long that the second folder would not fit: the first one is made, the second not.
  fs::path base = root_;
  while (base.string().size() + 7 + 16 < 262) base /= "d";  // "/Tarvex", "/Tarvex Quorvane"
  fs::create_directories(base);
  winhost::SetRegistryString(View::k64, kProductKey, "AppDataPath", Wide(base.string()));
  EXPECT_EQ(GetCommonAppDataFilePath(J(u"f")).Failure(), kFailure);
  EXPECT_TRUE(fs::is_directory(base / "Tarvex"));
  EXPECT_FALSE(fs::exists(base / "Tarvex" / "Tarvex Quorvane"));
}

TEST_F(ProductPathsTest, AFolderMadeBySomeoneElseMeanwhileIsAccepted) {
  // Each CreateDirectoryW finds that another thread made its folder first.
  winhost::SetDirectoryCreationRace(true);
  auto raced = GetCommonAppDataFilePath(J(u"f"));
  EXPECT_TRUE(raced.ok()) << raced;
  EXPECT_EQ(Utf8(raced.value), Under(shellFolder_, "f"));
  EXPECT_EQ(winhost::JournalOf("CreateDirectoryW").size(), 2u);
}

TEST_F(ProductPathsTest, ConcurrentFirstCallsFromJavaThreadsAllSucceed) {
  constexpr int kThreads = 6;
  std::mutex mutex;
  std::condition_variable ready;
  int waiting = 0;
  std::vector<Outcome<jvm::JString>> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      jvm::Env();  // attached before the start, so that the calls themselves meet
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (++waiting == kThreads) ready.notify_all();
        ready.wait(lock, [&] { return waiting == kThreads; });
      }
      outcomes[i] = GetCommonAppDataFilePath(J(u"shared.dat"));
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& outcome : outcomes) {
    EXPECT_TRUE(outcome.ok()) << outcome;
    EXPECT_EQ(Utf8(outcome.value), Under(shellFolder_, "shared.dat"));
  }
}

}  // namespace
