// The host's replay store: one table per effective user in a file that every process of that
// user maps shared, as GSSAPI's own replay cache is one file per effective user.
//
// The table is a fixed array of 64-bit slots after a page of header, which says the format and how
// many slots there are. A file appears at its name only whole, header written: it is made with no
// name and linked into place unless another process put one there first, whose size then holds for
// everyone. An authenticator has a home
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
#include <cstdio>
#include <chrono>
#include <cstring>
#include <string>

#include "system/host/trace.h"
#include "system/kerberos/replay.h"

namespace winhost::system::kerberos {
namespace {

// Format 1 had no size in its header: it is always kFirstFormatSlots. Format 2 has its slot count
// in the header's second word.
constexpr uint64_t kFirstFormat = 0x3154'4c50'5245'5251ULL;
constexpr uint64_t kMagic = 0x3254'4c50'5245'5251ULL;
constexpr size_t kFirstFormatSlots = size_t{1} << 21;
constexpr size_t kHeaderBytes = 4096;
constexpr size_t kWindow = 64;

size_t FileBytes(size_t slots) { return kHeaderBytes + slots * sizeof(uint64_t); }

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
  HostTable(void* mapping, size_t slots, std::string path)
      : mapping_(mapping), slots_(reinterpret_cast<uint64_t*>(static_cast<char*>(mapping) + kHeaderBytes)),
        count_(slots), path_(std::move(path)) {}
  ~HostTable() override { munmap(mapping_, FileBytes(count_)); }

  ReplayVerdict FirstUse(const AuthenticatorDigest& digest, std::time_t now, long keepSeconds) override {
    const uint64_t tag = digest[1] & kTagMask;
    const size_t home = static_cast<size_t>(digest[0] % count_);
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

  std::string Describe() const override {
    return "the host's replay table " + path_ + " (" + std::to_string(count_) + " slots)";
  }

 private:
  uint64_t* Slot(size_t home, size_t offset) const { return &slots_[(home + offset) % count_]; }
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
  size_t count_;
  std::string path_;
};

// Whether the open file is a regular file of this user that nobody else may read or write, with
// one link (nothing else names it).
bool OwnFile(int fd, const std::string& path, struct stat& file, std::string& why) {
  if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != geteuid() || (file.st_mode & 077) != 0 ||
      file.st_nlink != 1) {
    why = path + " is not a file of this user's alone (mode 0600, one link)";
    return false;
  }
  return true;
}

// Writes a new table's size and header into the open file.
bool WriteHeader(int fd, size_t slots) {
  const uint64_t header[2] = {kMagic, slots};
  return ftruncate(fd, static_cast<off_t>(FileBytes(slots))) == 0 &&
         pwrite(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
}

// A table of `slots`, header written, made as a file of no name and linked at `path` unless a file
// is there already (then -1 with `taken` set): a process that dies while it makes one leaves
// nothing behind. Where the file system makes no unnamed files, or /proc cannot name one for the
// link, the table is made under a name of its own and renamed into place; a crash between the two
// then leaves that name.
int MakeTable(const std::string& path, size_t slots, bool& taken, std::string& why) {
  taken = false;
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (WriteHeader(fd, slots) && linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return fd;
    const int error = errno;
    close(fd);
    if (error == EEXIST || error == ENOSPC || error == EDQUOT) {
      taken = error == EEXIST;
      why = path + ": " + std::strerror(error);
      return -1;
    }
  }
  std::string made = path + ".XXXXXX";
  fd = mkostemp(made.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return -1;
  }
  if (!WriteHeader(fd, slots) || renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    taken = errno == EEXIST;
    why = path + ": " + std::strerror(errno);
    unlink(made.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// The slot count the header of the open table says, or 0 with `why` when it is no table of ours
// or not whole. A table of the first format is the size that format always had; one whose maker
// of that format has not marked it yet is marked here, as that maker would.
size_t HeaderSlots(int fd, const std::string& path, off_t size, std::string& why) {
  uint64_t header[2] = {0, 0};
  if (size < static_cast<off_t>(kHeaderBytes) || pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    why = path + " is not a whole replay table (another process may be making it)";
    return 0;
  }
  if (header[0] == kMagic && IsReplayTableSize(header[1]) && size == static_cast<off_t>(FileBytes(header[1])))
    return header[1];
  if (size == static_cast<off_t>(FileBytes(kFirstFormatSlots)) && header[0] == 0) {
    uint64_t expected = 0;
    void* page = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page != MAP_FAILED) {
      if (!__atomic_compare_exchange_n(static_cast<uint64_t*>(page), &expected, kFirstFormat, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST))
        header[0] = expected;
      else
        header[0] = kFirstFormat;
      munmap(page, kHeaderBytes);
    }
  }
  if (header[0] == kFirstFormat && size == static_cast<off_t>(FileBytes(kFirstFormatSlots))) return kFirstFormatSlots;
  why = path + " holds something else than a replay table";
  return 0;
}

// The table's file, opened only when it is a regular file of this user's alone, reached without a
// link; made at `asked` slots when there is none. Its size, from its header, in `slots`.
int OpenTableFile(const std::string& path, size_t asked, size_t& slots, std::string& why) {
  int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    bool taken = false;
    fd = MakeTable(path, asked, taken, why);
    if (fd < 0 && taken) fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    else if (fd < 0) return -1;
  }
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat file = {};
  if (!OwnFile(fd, path, file, why) || (slots = HeaderSlots(fd, path, file.st_size, why)) == 0) {
    close(fd);
    return -1;
  }
  if (slots != asked)
    host::Trace(path + " has " + std::to_string(slots) + " slots, not the " + std::to_string(asked) +
                " asked: every process uses the size the table was made with (remove the file while no server runs"
                " to have it made anew)");
  return fd;
}

}  // namespace

bool IsReplayTableSize(uint64_t slots) {
  return slots >= kMinReplaySlots && slots <= kMaxReplaySlots && (slots & (slots - 1)) == 0;
}

std::unique_ptr<ReplayStore> OpenHostReplayStore(const std::string& directory, size_t slots, std::string& why) {
  static_assert(__atomic_always_lock_free(sizeof(uint64_t), 0), "slots need lock-free 64-bit atomics");
  const std::string path = directory + "/quentrel_" + std::to_string(geteuid()) + ".replay";
  if (!IsReplayTableSize(slots)) {
    why = std::to_string(slots) + " is no size of a replay table";
    return nullptr;
  }
  const int fd = OpenTableFile(path, slots, slots, why);
  if (fd < 0) return nullptr;
  void* mapping = mmap(nullptr, FileBytes(slots), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) {
    why = path + ": " + std::strerror(errno);
    return nullptr;
  }
  // Every page written once now, by adding nothing: the first write to a page of a file's shared
  // mapping makes the file system find it a block, some microseconds a sign-on would pay.
  for (size_t page = kHeaderBytes; page < FileBytes(slots); page += kHeaderBytes)
    __atomic_fetch_add(reinterpret_cast<uint64_t*>(static_cast<char*>(mapping) + page), uint64_t{0}, __ATOMIC_RELAXED);
  return std::make_unique<HostTable>(mapping, slots, path);
}

}  // namespace winhost::system::kerberos
