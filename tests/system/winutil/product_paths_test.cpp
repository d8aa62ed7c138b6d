// The system world's folders through WinUtil: /var/lib unless the environment moves them, and the
// documented WinException, never a folder elsewhere, when the product's folder cannot be made.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "harness/jvm/api.h"
#include "harness/tool/tool.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

using namespace api::winutil;

namespace {

TEST_F(JvmTest, SystemAppDataIsVarLibUnlessTheEnvironmentMovesIt) {
  ASSERT_EQ(winhost::CurrentWorld(), winhost::World::System);
  unsetenv("QUENTREL_COMMON_APPDATA");
  EXPECT_EQ(winhost::CommonAppDataFolder(), "/var/lib");

  const std::string base = tooltest::MakeTempFolder();
  setenv("QUENTREL_COMMON_APPDATA", base.c_str(), 1);
  auto path = GetCommonAppDataFilePath(J(u"app.log"));
  EXPECT_EQ(Utf8(path.value), base + "/Tarvex/Tarvex Quorvane/app.log");
  EXPECT_EQ(access((base + "/Tarvex/Tarvex Quorvane").c_str(), F_OK), 0);

  // A base under which nothing can be made (here a file): the exception, and nothing made.
  std::ofstream(base + "/plain") << "not a folder";
  setenv("QUENTREL_COMMON_APPDATA", (base + "/plain").c_str(), 1);
  auto refused = GetCommonAppDataFilePath(J(u"app.log"));
  EXPECT_EQ(refused.Failure(), "WinException: Failed to resolve common app data path");
  auto made = tooltest::ListFolder(base);
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"Tarvex", "plain"}));
  unsetenv("QUENTREL_COMMON_APPDATA");
  tooltest::RemoveTree(base);
}

}  // namespace
