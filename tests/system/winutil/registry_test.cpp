// The system world's registry through WinUtil: a SQLite store in a file of the test's own, shared
// with other processes, and what readers and writers get when it is locked, read-only, damaged or
// failing.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "harness/jvm/api.h"
#include "harness/tool/tool.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

using namespace api::winutil;
using winhost::View;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string IntegrityOf(const std::string& store) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW)
      verdict = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return verdict;
}

// A registry_writer child (writer/registry_writer.cpp); its output is read once it has ended.
struct Writer {
  pid_t pid = -1;
  std::string output;

  Writer(const std::string& store, const std::string& prefix, int count, const std::string& user = "") {
    output = store + "." + prefix + ".out";
    const std::string rounds = std::to_string(count);
    const char* program = std::getenv("QUENTREL_REGISTRY_WRITER");
    EXPECT_NE(program, nullptr) << "QUENTREL_REGISTRY_WRITER is not set; run the tests through ctest";
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Only async-signal-safe calls between fork and exec: this process runs a JVM's threads.
    pid = fork();
    if (pid == 0) {
      if (out >= 0 && program != nullptr && dup2(out, 1) >= 0)
        execl(program, program, store.c_str(), prefix.c_str(), rounds.c_str(), user.empty() ? nullptr : user.c_str(),
              nullptr);
      _exit(127);
    }
    if (out >= 0) close(out);
  }
  // The lines it printed; a test failure unless it ended well.
  std::vector<std::string> Finish() {
    if (!ended) {
      EXPECT_EQ(waitpid(pid, &status, 0), pid);
      ended = true;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(output));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  bool Running() {
    if (!ended) ended = waitpid(pid, &status, WNOHANG) == pid;
    return !ended;
  }
  bool ended = false;
  int status = 0;
};

class SystemRegistryTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    ASSERT_EQ(winhost::CurrentWorld(), winhost::World::System);
    folder_ = tooltest::MakeTempFolder();
    chmod(folder_.c_str(), 0755);  // for the writer that runs as another user
    store_ = folder_ + "/machine/hklm.db";
    winhost::SetRegistryStore(store_);
  }
  void TearDown() override {
    EXPECT_EQ(winhost::LiveCount("key"), 0) << "a registry key was left open";
    EXPECT_EQ(winhost::LiveCount("registry-store"), 0) << "a store connection was left open";
    winhost::SetRegistryStore("");
    tooltest::RemoveTree(folder_);
    JvmTest::TearDown();
  }
  std::string folder_, store_;
};

TEST_F(SystemRegistryTest, ValuesKeepTypeAndBytesAcrossProcessesAndNamesMatchWithoutCase) {
  // Neither a reader nor a write under a missing key makes a store.
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), false).value, std::nullopt);
  EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE\\Missing"), J(u"v"), J(u"x"), false).value, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(folder_ + "/machine"));

  EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"hello"), false).value, 0);
  EXPECT_EQ(SetHKLMIntRegValue(J(u"SYSTEM"), J(u"Number"), 1, false).value, 0);
  EXPECT_EQ(GetHKLMStringRegValue(J(u"software"), J(u"GREETING"), false).value, J(u"hello"));
  auto text = winhost::GetRegistryValue(View::k64, "SOFTWARE", "greeting");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->type, static_cast<uint32_t>(REG_SZ));
  EXPECT_EQ(text->data, (std::vector<uint8_t>{'h', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0}));
  auto number = winhost::GetRegistryValue(View::k64, "SYSTEM", "Number");
  ASSERT_TRUE(number.has_value());
  EXPECT_EQ(number->data, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(winhost::JournalOf("RegSetValueExW").back().Arg("key"), "SYSTEM");

  // Other types keep theirs, and the 32-bit view of SOFTWARE\... is SOFTWARE\WOW6432Node\....
  winhost::SetRegistryValue(View::k32, "SOFTWARE\\Vendor", "Flag", {REG_DWORD, {1, 0, 0, 0}});
  winhost::SetWow64(winhost::Wow64::On);
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE\\Vendor"), J(u"flag"), false).value, J(u"\u0001"));
  EXPECT_EQ(winhost::GetRegistryValue(View::k64, "SOFTWARE\\WOW6432Node\\Vendor", "Flag")->type,
            static_cast<uint32_t>(REG_DWORD));

  // A new JVM, the tool's, reads what this one wrote, and writes what this one reads.
  const std::vector<std::string> env = {"QUENTREL_REGISTRY=" + store_};
  tooltest::ToolRun get = tooltest::RunTool({"reg", "get", "SOFTWARE", "Greeting"}, {}, env);
  EXPECT_EQ(get.exitCode, 0);
  EXPECT_NE(get.out.find("text: hello\n"), std::string::npos) << get.out;
  EXPECT_EQ(tooltest::RunTool({"reg", "set", "SYSTEM", "FromTool", "42"}, {}, env).exitCode, 0);
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SYSTEM"), J(u"FromTool"), false).value, J(u"42"));
  EXPECT_EQ(IntegrityOf(store_), "ok");
}

TEST_F(SystemRegistryTest, ConcurrentWritersEachLandWholeOrGetAWindowsError) {
  const int rounds = 120;
  ASSERT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Shared"), jvm::JString(u"S-0000-" + std::u16string(200, u'x')), false).value, 0);
  Writer first(store_, "A", rounds), second(store_, "B", rounds);
  // Meanwhile this process reads: never a part of a value.
  // All values have one length, so that the reader's second query fits the size its first one gave.
  const std::regex whole("[SAB]-[0-9]{4}-x{200}");
  int reads = 0;
  while (first.Running() || second.Running()) {
    auto seen = GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Shared"), false).value;
    ASSERT_TRUE(seen.has_value());
    ASSERT_TRUE(std::regex_match(Utf8(seen), whole)) << Utf8(seen);
    ++reads;
  }
  EXPECT_GT(reads, 0);
  for (auto* writer : {&first, &second}) {
    std::vector<std::string> lines = writer->Finish();
    ASSERT_EQ(lines.size(), static_cast<size_t>(rounds + 1));
    const std::string prefix = writer == &first ? "A" : "B";
    for (int round = 0; round < rounds; ++round) {
      int index = -1, shared = -1, own = -1;
      ASSERT_EQ(std::sscanf(lines[round].c_str(), "%d %d %d", &index, &shared, &own), 3) << lines[round];
      // Waiting out the other's lock is the only failure there may be, and it writes nothing.
      EXPECT_TRUE(shared == 0 || shared == ERROR_LOCK_VIOLATION) << lines[round];
      EXPECT_TRUE(own == 0 || own == ERROR_LOCK_VIOLATION) << lines[round];
      auto stored = winhost::GetRegistryValue(View::k64, "SOFTWARE", prefix + std::to_string(round));
      EXPECT_EQ(stored.has_value(), own == 0) << lines[round];
      if (stored) {
        EXPECT_EQ(stored->data.size(), 2u * (prefix.size() + 6 + 200));
      }
    }
  }
  EXPECT_EQ(IntegrityOf(store_), "ok");

  // A writer killed at work, most likely within a commit, leaves a store that reads whole: the
  // next reader rolls a journal it left back.
  Writer killed(store_, "C", 100000);
  usleep(400000);
  ASSERT_EQ(kill(killed.pid, SIGKILL), 0);
  while (killed.Running()) usleep(1000);
  auto after = GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Shared"), false).value;
  ASSERT_TRUE(after.has_value());
  EXPECT_TRUE(std::regex_match(Utf8(after), std::regex("[SABC]-[0-9]{4}-x{200}"))) << Utf8(after);
  EXPECT_EQ(IntegrityOf(store_), "ok");
}

TEST_F(SystemRegistryTest, AStoreThisProcessMayNotWriteIsReadAndDeniesWriters) {
  ASSERT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Shared"), J(u"kept"), false).value, 0);
  const std::string before = ReadFile(store_);
  ASSERT_EQ(chmod(store_.c_str(), 0444), 0);
  ASSERT_EQ(chmod((folder_ + "/machine").c_str(), 0555), 0);
  // Root writes anyway: the writer then runs as nobody.
  const std::string user = geteuid() == 0 ? "65534" : "";
  Writer writer(store_, "A", 1, user);
  EXPECT_EQ(writer.Finish(), (std::vector<std::string>{"0 5 5", "read kept"}));
  // One it may not even read: nothing for readers either.
  ASSERT_EQ(chmod(store_.c_str(), 0), 0);
  Writer blind(store_, "B", 1, user);
  EXPECT_EQ(blind.Finish(), (std::vector<std::string>{"0 5 5", "read (no key)"}));
  chmod((folder_ + "/machine").c_str(), 0755);
  chmod(store_.c_str(), 0644);
  EXPECT_EQ(ReadFile(store_), before);
}

TEST_F(SystemRegistryTest, DamagedStoresReadAsEmptyAndAreNeverWritten) {
  ASSERT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"hello"), false).value, 0);
  for (int value = 0; value < 4; ++value)
    winhost::SetRegistryValue(View::k64, "SOFTWARE", "Filler" + std::to_string(value), {REG_BINARY,
                                                                                      std::vector<uint8_t>(30000, 7)});
  const std::string whole = ReadFile(store_);
  struct Row {
    const char* what;
    std::string bytes;
    LONG writerGets;
  };
  const Row rows[] = {
      {"an empty file", "", ERROR_BADDB},
      {"garbage", std::string(5000, '\x5a'), ERROR_BADDB},
      {"a cut header", whole.substr(0, 60), ERROR_BADDB},
      {"half of the store", whole.substr(0, whole.size() / 2), ERROR_REGISTRY_CORRUPT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFile(store_, row.bytes);
    EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), false).value, std::nullopt);
    EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"new"), false).value, row.writerGets);
    EXPECT_EQ(SetHKLMIntRegValue(J(u"SOFTWARE\\WOW6432Node"), J(u"n"), 1, true).value, row.writerGets);
    EXPECT_EQ(ReadFile(store_), row.bytes);
    EXPECT_EQ(tooltest::ListFolder(folder_ + "/machine"), std::vector<std::string>{"hklm.db"});
  }
}

TEST_F(SystemRegistryTest, StoreFailuresEndInWindowsCodesWithNothingHalfWritten) {
  ASSERT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"before"), false).value, 0);
  // A write is RegOpenKeyExW (open 0, step 0 the file check, step 1 the key), then RegSetValueExW
  // (open 1, step 2 the file check, exec 0 BEGIN, step 3 the key, step 4 the value, exec 1 COMMIT).
  struct Row {
    const char* function;
    int skip;
    uint32_t code;
    LONG expected;
  };
  const Row rows[] = {
      {"sqlite3_step", 0, SQLITE_BUSY, ERROR_LOCK_VIOLATION},
      {"sqlite3_step", 3, SQLITE_LOCKED, ERROR_LOCK_VIOLATION},
      {"sqlite3_step", 4, SQLITE_READONLY, ERROR_ACCESS_DENIED},
      {"sqlite3_step", 4, SQLITE_NOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {"sqlite3_step", 4, SQLITE_FULL, ERROR_DISK_FULL},
      {"sqlite3_step", 4, SQLITE_CORRUPT, ERROR_REGISTRY_CORRUPT},
      {"sqlite3_step", 4, SQLITE_IOERR_WRITE, ERROR_REGISTRY_IO_FAILED},
      {"sqlite3_exec", 0, SQLITE_BUSY, ERROR_LOCK_VIOLATION},
      {"sqlite3_exec", 1, SQLITE_BUSY, ERROR_LOCK_VIOLATION},
      {"sqlite3_open_v2", 1, SQLITE_CANTOPEN, ERROR_ACCESS_DENIED},
      {"RegSetValueExW", 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.function) + " after " + std::to_string(row.skip) + ": " + std::to_string(row.code));
    winhost::Fail(row.function, row.code, row.skip);
    EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"after"), false).value, row.expected);
    winhost::ClearFaults();
    EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), false).value, J(u"before"));
    EXPECT_EQ(winhost::LiveCount("registry-store"), 0);
  }
  // A failing open is a reader's null too.
  winhost::Fail("sqlite3_open_v2", SQLITE_NOMEM);
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), false).value, std::nullopt);

  // A lock another process holds past the busy timeout: the writer gives up with the same code.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(store_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(SetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), J(u"after"), false).value, ERROR_LOCK_VIOLATION);
  sqlite3_close(other);  // rolls back
  EXPECT_EQ(GetHKLMStringRegValue(J(u"SOFTWARE"), J(u"Greeting"), false).value, J(u"before"));
}

TEST(SystemRegistryStore, MovedByTheEnvironmentFromItsDefault) {
  winhost::SetRegistryStore("");
  unsetenv("QUENTREL_REGISTRY");
  EXPECT_EQ(winhost::RegistryStore(), "/var/lib/quentrel/registry.db");
  setenv("QUENTREL_REGISTRY", "/srv/hklm.db", 1);
  EXPECT_EQ(winhost::RegistryStore(), "/srv/hklm.db");
  unsetenv("QUENTREL_REGISTRY");
}

}  // namespace
