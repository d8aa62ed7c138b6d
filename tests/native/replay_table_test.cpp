// The host's replay table on its own, in a folder of the test's: many callers with the same
// authenticators at once, in threads and in two processes, each authenticator first exactly once;
// entries free again once expired; a full window refused; a file anyone else could touch not used;
// a small table fills and refuses, and keeps its size for every later opener.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "system/kerberos/replay.h"

namespace {

using winhost::system::kerberos::AuthenticatorDigest;
using winhost::system::kerberos::OpenHostReplayStore;
using winhost::system::kerberos::ReplayStore;
using winhost::system::kerberos::ReplayVerdict;

std::string Folder() {
  char pattern[] = "/tmp/quentrel-replay-XXXXXX";
  const char* made = mkdtemp(pattern);
  return made != nullptr ? made : "";
}

constexpr size_t kDefaultSlots = size_t{1} << 21;

std::string TablePath(const std::string& folder) {
  return folder + "/quentrel_" + std::to_string(geteuid()) + ".replay";
}

std::unique_ptr<ReplayStore> Open(const std::string& folder, size_t slots = kDefaultSlots) {
  std::string why;
  std::unique_ptr<ReplayStore> store = OpenHostReplayStore(folder, slots, why);
  EXPECT_TRUE(store) << why;
  return store;
}

TEST(ReplayTable, EachAuthenticatorIsFirstOnceAmongThreadsOfTwoProcesses) {
  const std::string folder = Folder();
  std::unique_ptr<ReplayStore> store = Open(folder);
  ASSERT_TRUE(store);
  constexpr int kDigests = 20000;
  // Firsts per digest, counted by both processes. Half the digests share one home slot, so that
  // claims meet in a crowded window too.
  // The last counter is the digest every caller works on now: each moves on only when one of them
  // has had its answer, so that they all meet on every digest.
  const size_t bytes = sizeof(std::atomic<int>) * (kDigests + 2);
  auto* firsts = static_cast<std::atomic<int>*>(
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(firsts, MAP_FAILED);
  std::atomic<int>& next = firsts[kDigests];
  std::atomic<int>& ready = firsts[kDigests + 1];  // callers started, so that none runs alone
  const std::time_t now = std::time(nullptr);
  auto hammer = [&](ReplayStore& table) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&] {
        for (++ready; ready < 6;) std::this_thread::yield();
        for (int i = next; i < kDigests; i = next) {
          const AuthenticatorDigest digest{i % 2 ? 77u : 1000u + i, 0x5151000u + i};
          if (table.FirstUse(digest, now, 660) == ReplayVerdict::First) ++firsts[i];
          next.compare_exchange_strong(i, i + 1);
        }
      });
    for (std::thread& thread : threads) thread.join();
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string why;
    // Asking another size, it still gets the table the parent made: else their homes would differ.
    std::unique_ptr<ReplayStore> own = OpenHostReplayStore(folder, kDefaultSlots / 2, why);
    if (own) hammer(*own);
    _exit(own ? 0 : 1);
  }
  hammer(*store);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int once = 0;
  for (int i = 0; i < kDigests; ++i) once += firsts[i] == 1;
  // The crowded home holds 64 entries at most; the other claims there find no room.
  EXPECT_EQ(once, kDigests / 2 + 64);
  for (int i = 0; i < kDigests; ++i) EXPECT_LE(firsts[i].load(), 1) << "digest " << i;
  munmap(firsts, bytes);
  unlink((folder + "/quentrel_" + std::to_string(geteuid()) + ".replay").c_str());
  rmdir(folder.c_str());
}

TEST(ReplayTable, EntriesExpireAndAFullWindowOrAForeignFileIsRefused) {
  const std::string folder = Folder();
  std::unique_ptr<ReplayStore> store = Open(folder);
  ASSERT_TRUE(store);
  const std::time_t now = std::time(nullptr);
  const AuthenticatorDigest digest{42, 4242};
  EXPECT_EQ(store->FirstUse(digest, now, 660), ReplayVerdict::First);
  EXPECT_EQ(store->FirstUse(digest, now + 660, 660), ReplayVerdict::Replayed);
  EXPECT_EQ(store->FirstUse(digest, now + 660 + 120, 660), ReplayVerdict::First);
  for (uint64_t tag = 1; tag < 64; ++tag) EXPECT_EQ(store->FirstUse({42, tag}, now + 780, 660), ReplayVerdict::First);
  EXPECT_EQ(store->FirstUse({42, 99999}, now + 780, 660), ReplayVerdict::NoRoom);
  // A second mapping is the same table.
  std::unique_ptr<ReplayStore> second = Open(folder);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->FirstUse({42, 7}, now + 780, 660), ReplayVerdict::Replayed);

  const std::string table = folder + "/quentrel_" + std::to_string(geteuid()) + ".replay";
  ASSERT_EQ(chmod(table.c_str(), 0644), 0);
  std::string why;
  EXPECT_FALSE(OpenHostReplayStore(folder, kDefaultSlots, why));
  EXPECT_NE(why.find("this user's alone"), std::string::npos) << why;
  ASSERT_EQ(unlink(table.c_str()), 0);
  ASSERT_EQ(symlink((folder + "/elsewhere").c_str(), table.c_str()), 0);
  EXPECT_FALSE(OpenHostReplayStore(folder, kDefaultSlots, why));
  EXPECT_FALSE(std::ifstream(folder + "/elsewhere").good());
  unlink(table.c_str());
  rmdir(folder.c_str());
}

// A table made small fills up and then refuses (never answers First for what it could not record);
// a later opener that asks another size gets the table as it was made, entries and all; a header
// that names no size a table may have is not used.
TEST(ReplayTable, ASmallTableFillsAndRefusesAndKeepsItsSizeForLaterOpeners) {
  const std::string folder = Folder();
  std::unique_ptr<ReplayStore> small = Open(folder, 1024);
  ASSERT_TRUE(small);
  const std::time_t now = std::time(nullptr);
  uint64_t recorded = 0;
  for (uint64_t i = 1; i <= 4096; ++i) {
    const AuthenticatorDigest digest{i * 0x9E3779B97F4A7C15ULL, i};
    const ReplayVerdict verdict = small->FirstUse(digest, now, 660);
    ASSERT_NE(verdict, ReplayVerdict::Replayed) << i;
    if (verdict == ReplayVerdict::NoRoom) continue;
    ++recorded;
    EXPECT_EQ(small->FirstUse(digest, now, 660), ReplayVerdict::Replayed) << i;
  }
  EXPECT_GT(recorded, 512u);
  EXPECT_LE(recorded, 1024u);
  EXPECT_EQ(small->FirstUse({12345, 678}, now, 660), ReplayVerdict::NoRoom);

  std::unique_ptr<ReplayStore> asksMore = Open(folder, 1 << 16);
  ASSERT_TRUE(asksMore);
  EXPECT_NE(asksMore->Describe().find("(1024 slots)"), std::string::npos) << asksMore->Describe();
  EXPECT_EQ(asksMore->FirstUse({0x9E3779B97F4A7C15ULL, 1}, now, 660), ReplayVerdict::Replayed);
  EXPECT_EQ(asksMore->FirstUse({12345, 678}, now, 660), ReplayVerdict::NoRoom);
  // Once its entries expire the room is there again.
  EXPECT_EQ(asksMore->FirstUse({12345, 678}, now + 900, 660), ReplayVerdict::First);

  small.reset();
  asksMore.reset();
  std::string why;
  EXPECT_FALSE(OpenHostReplayStore(folder, 1000, why)) << "a size that is no power of two";
  {
    std::fstream header(TablePath(folder), std::ios::in | std::ios::out | std::ios::binary);
    const uint64_t odd = 1000;
    header.seekp(8);
    header.write(reinterpret_cast<const char*>(&odd), sizeof odd);
  }
  EXPECT_FALSE(OpenHostReplayStore(folder, 1024, why));
  EXPECT_NE(why.find("something else than a replay table"), std::string::npos) << why;
  unlink(TablePath(folder).c_str());

  // A table of the first format, whose header had no size (its maker may not even have marked it
  // yet), is the size that format always had.
  const int fd = open(TablePath(folder).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(4096 + kDefaultSlots * 8)), 0);
  close(fd);
  std::unique_ptr<ReplayStore> first = Open(folder, 1024);
  ASSERT_TRUE(first);
  EXPECT_NE(first->Describe().find("(2097152 slots)"), std::string::npos) << first->Describe();
  unlink(TablePath(folder).c_str());
  rmdir(folder.c_str());
}

}  // namespace
