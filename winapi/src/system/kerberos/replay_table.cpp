// The host's replay store: one table per effective user in a file that every process of that
// user maps shared, as GSSAPI's own replay cache is one file per effective user.
//
// The table is a fixed array of 64-bit slots after a page of header. An authenticator has a home
// slot and may sit in any of the kWindow slots from there; a slot holds the digest's tag, the
// minute its entry expires and two bits (used, committed), so that one compare-and-swap moves a
// slot from one whole state to another and a reader never sees half an entry. Entries whose
// minute has passed are free again; nothing is ever deleted otherwise.
//
// Two callers with the same authenticator at once (threads or processes) both look, and both may
// find it absent and claim a free slot each. So a claim is first pending, and the claimant looks
// again before it commits: a committed copy elsewhere, or a pending one nearer home, wins and the
// later claim withdraws; a pending copy farther from home is waited for, since it either withdraws
// or commits. Whichever claim a caller made last, every later look of the other sees it (all
// accesses are sequentially consistent), so exactly one of them commits. The wait is on another
// caller's few memory accesses, never on anything that sleeps; a caller that died mid-claim leaves
// a pending entry that refuses its authenticator until it expires, which is safe, and a caller
// waiting on it gives up (and refuses) after two seconds.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "system/kerberos/replay.h"

namespace winhost::system::kerberos {
namespace {

constexpr uint64_t kMagic = 0x3154'4c50'5245'5251ULL;  // format 1
constexpr size_t kHeaderBytes = 4096;
constexpr size_t kSlots = size_t{1} << 21;  // 16 MiB: some 2,000 sign-ons a second for good
constexpr size_t kWindow = 64;
constexpr size_t kFileBytes = kHeaderBytes + kSlots * sizeof(uint64_t);

constexpr uint64_t kUsed = uint64_t{1} << 63;
constexpr uint64_t kCommitted = uint64_t{1} << 62;
constexpr int kExpiryShift = 38;
constexpr uint64_t kMinuteMask = (uint64_t{1} << 24) - 1;  // minutes, counted modulo 2^24 (32 years)
constexpr uint64_t kTagMask = (uint64_t{1} << kExpiryShift) - 1;

uint64_t Tag(uint64_t word) { return word & kTagMask; }
uint64_t Minute(std::time_t seconds) { return static_cast<uint64_t>(seconds / 60) & kMinuteMask; }

// Whether an entry still stands in minute `now`: its expiry minute is ahead, by less than half
// the modulus.
bool Live(uint64_t word, uint64_t now) {
  if ((word & kUsed) == 0) return false;
  const uint64_t ahead = (((word >> kExpiryShift) & kMinuteMask) - now) & kMinuteMask;
  return ahead != 0 && ahead < (kMinuteMask + 1) / 2;
}

class HostTable final : public ReplayStore {
 public:
  HostTable(void* mapping, std::string path)
      : mapping_(mapping), slots_(reinterpret_cast<uint64_t*>(static_cast<char*>(mapping) + kHeaderBytes)),
        path_(std::move(path)) {}
  ~HostTable() override { munmap(mapping_, kFileBytes); }

  ReplayVerdict FirstUse(const AuthenticatorDigest& digest, std::time_t now, long keepSeconds) override {
    const uint64_t tag = digest[1] & kTagMask;
    const size_t home = static_cast<size_t>(digest[0] % kSlots);
    const uint64_t minute = Minute(now);
    const uint64_t expires = (Minute(now + keepSeconds) + 1) & kMinuteMask;
    const uint64_t pending = kUsed | (expires << kExpiryShift) | tag;
    // A claim lost to another caller's claim of the same slot is looked at afresh.
    for (int attempt = 0; attempt < 8; ++attempt) {
      size_t freeAt = kWindow;
      uint64_t freeWord = 0;
      for (size_t i = 0; i < kWindow; ++i) {
        const uint64_t word = Load(home, i);
        if (Live(word, minute)) {
          if (Tag(word) == tag) return ReplayVerdict::Replayed;
        } else if (freeAt == kWindow) {
          freeAt = i;
          freeWord = word;
        }
      }
      if (freeAt == kWindow) return ReplayVerdict::NoRoom;
      if (__atomic_compare_exchange_n(Slot(home, freeAt), &freeWord, pending, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST))
        return Settle(home, freeAt, pending, minute);
    }
    return ReplayVerdict::NoRoom;
  }

  std::string Describe() const override { return "the host's replay table " + path_; }

 private:
  uint64_t* Slot(size_t home, size_t offset) const { return &slots_[(home + offset) % kSlots]; }
  uint64_t Load(size_t home, size_t offset) const { return __atomic_load_n(Slot(home, offset), __ATOMIC_SEQ_CST); }

  // Our pending claim at `mine` against any other claim of the same tag in the window.
  ReplayVerdict Settle(size_t home, size_t mine, uint64_t claim, uint64_t minute) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
      bool waiting = false;
      for (size_t i = 0; i < kWindow; ++i) {
        const uint64_t word = Load(home, i);
        if (i == mine || !Live(word, minute) || Tag(word) != Tag(claim)) continue;
        if ((word & kCommitted) != 0 || i < mine) return Withdraw(home, mine, claim);
        waiting = true;
      }
      if (!waiting) {
        uint64_t expected = claim;
        // Only a caller that found our claim expired can have taken the slot: no room for it then.
        return __atomic_compare_exchange_n(Slot(home, mine), &expected, claim | kCommitted, false, __ATOMIC_SEQ_CST,
                                           __ATOMIC_SEQ_CST)
                   ? ReplayVerdict::First
                   : ReplayVerdict::NoRoom;
      }
      // The other caller is a few memory accesses from its decision unless it stopped for good.
      if (std::chrono::steady_clock::now() > giveUp) return Withdraw(home, mine, claim);
      sched_yield();
    }
  }

  ReplayVerdict Withdraw(size_t home, size_t mine, uint64_t claim) {
    uint64_t expected = claim;
    __atomic_compare_exchange_n(Slot(home, mine), &expected, uint64_t{0}, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return ReplayVerdict::Replayed;
  }

  void* mapping_;
  uint64_t* slots_;
  std::string path_;
};

// The table's file, opened only when it is a regular file of this user that nobody else may
// read or write, reached without a link.
int OpenTableFile(const std::string& path, std::string& why) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat file = {};
  if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != geteuid() || (file.st_mode & 077) != 0 ||
      file.st_nlink != 1) {
    why = path + " is not a file of this user's alone (mode 0600, one link)";
    close(fd);
    return -1;
  }
  // Made now, or by another process that has not sized it yet: every process sizes it alike.
  if (file.st_size == 0 && ftruncate(fd, static_cast<off_t>(kFileBytes)) != 0) {
    why = path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (file.st_size != 0 && file.st_size != static_cast<off_t>(kFileBytes)) {
    why = path + " is a table of another size";
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<ReplayStore> OpenHostReplayStore(const std::string& directory, std::string& why) {
  static_assert(__atomic_always_lock_free(sizeof(uint64_t), 0), "slots need lock-free 64-bit atomics");
  const std::string path = directory + "/quentrel_" + std::to_string(geteuid()) + ".replay";
  const int fd = OpenTableFile(path, why);
  if (fd < 0) return nullptr;
  void* mapping = mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) {
    why = path + ": " + std::strerror(errno);
    return nullptr;
  }
  // A zero header is a table nobody has used: the first process to map it marks it.
  uint64_t expected = 0;
  auto* magic = static_cast<uint64_t*>(mapping);
  if (!__atomic_compare_exchange_n(magic, &expected, kMagic, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST) &&
      expected != kMagic) {
    munmap(mapping, kFileBytes);
    why = path + " holds something else than a replay table";
    return nullptr;
  }
  // Every page written once now, by adding nothing: the first write to a page of a file's shared
  // mapping makes the file system find it a block, some microseconds a sign-on would pay.
  for (size_t page = kHeaderBytes; page < kFileBytes; page += kHeaderBytes)
    __atomic_fetch_add(reinterpret_cast<uint64_t*>(static_cast<char*>(mapping) + page), uint64_t{0}, __ATOMIC_RELAXED);
  return std::make_unique<HostTable>(mapping, path);
}

}  // namespace winhost::system::kerberos
