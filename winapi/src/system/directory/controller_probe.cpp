// The locator's last step: a controller that DNS lists counts only once it answers. A directory's
// controller is asked for its rootDSE, anonymously, over LDAP on TCP (what every LDAP server
// answers before any bind); the request is built here, a few dozen bytes of BER, and only the
// head of the first reply is read.
#include "system/directory/controller_probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace winhost::system::directory {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kMessageId = 1;
// More than any rootDSE entry of the one attribute asked for.
constexpr size_t kLongestReply = 65536;

enum class Reply { Incomplete, Answer, Other };

// SEQUENCE { messageID, [APPLICATION 3] SearchRequest { "", baseObject, neverDerefAliases,
// sizeLimit 0, timeLimit, typesOnly FALSE, (objectClass=*), { dnsHostName } } }.
std::string RootDseRequest(int timeLimitSeconds) {
  const std::string presentFilter = std::string("\x87\x0b", 2) + "objectClass";
  const std::string attributes = std::string("\x30\x0d\x04\x0b", 4) + "dnsHostName";
  std::string search = std::string("\x04\x00\x0a\x01\x00\x0a\x01\x00\x02\x01\x00\x02\x01", 13) +
                       static_cast<char>(timeLimitSeconds) + std::string("\x01\x01\x00", 3) + presentFilter +
                       attributes;
  std::string body = std::string("\x02\x01", 2) + static_cast<char>(kMessageId) + "\x63" +
                     static_cast<char>(search.size()) + search;
  return "\x30" + std::string(1, static_cast<char>(body.size())) + body;
}

// One BER header at `at`: its tag and the length of its contents (definite lengths of at most
// four bytes, as LDAP uses); false when `data` ends first or the header is not of that form.
bool ReadHeader(const std::string& data, size_t& at, uint8_t& tag, size_t& length, bool& truncated) {
  truncated = false;
  if (at + 2 > data.size()) return !(truncated = true);
  tag = static_cast<uint8_t>(data[at]);
  const uint8_t first = static_cast<uint8_t>(data[at + 1]);
  at += 2;
  if (first < 0x80) {
    length = first;
    return true;
  }
  const size_t count = first & 0x7F;
  if (count == 0 || count > 4) return false;
  if (at + count > data.size()) return !(truncated = true);
  length = 0;
  for (size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<uint8_t>(data[at + i]);
  at += count;
  return true;
}

// Whether `reply` holds the first message of an answer to the request: a search result entry, or
// a search result done that says success (a directory without the attribute).
Reply ReadReply(const std::string& reply) {
  size_t at = 0;
  uint8_t tag = 0;
  size_t length = 0;
  bool truncated = false;
  if (!ReadHeader(reply, at, tag, length, truncated)) return truncated ? Reply::Incomplete : Reply::Other;
  if (tag != 0x30 || length > kLongestReply) return Reply::Other;
  if (reply.size() < at + length) return Reply::Incomplete;
  const std::string message = reply.substr(at, length);
  at = 0;
  // The message ID: an INTEGER of at most four bytes.
  if (!ReadHeader(message, at, tag, length, truncated) || tag != 0x02 || length == 0 || length > 4 ||
      at + length > message.size())
    return Reply::Other;
  uint32_t id = 0;
  for (size_t i = 0; i < length; ++i) id = (id << 8) | static_cast<uint8_t>(message[at + i]);
  at += length;
  if (id != kMessageId) return Reply::Other;
  if (!ReadHeader(message, at, tag, length, truncated) || at + length > message.size()) return Reply::Other;
  if (tag == 0x64) return Reply::Answer;  // SearchResultEntry
  if (tag != 0x65) return Reply::Other;   // SearchResultDone, else something else entirely
  // LDAPResult starts with its resultCode, an ENUMERATED; 0 is success.
  if (!ReadHeader(message, at, tag, length, truncated) || tag != 0x0a || length != 1 || at >= message.size())
    return Reply::Other;
  return message[at] == 0 ? Reply::Answer : Reply::Other;
}

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until the deadline; false on a time-out or an error.
bool Await(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (entry.revents & events) != 0;
  }
}

bool AddressAnswers(const addrinfo& address, bool directory, Clock::time_point deadline) {
  int fd = socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = false;
  do {
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
      if (errno != EINPROGRESS || !Await(fd, POLLOUT, deadline)) break;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) break;
    }
    if (!directory) {
      answered = true;
      break;
    }
    const std::string request = RootDseRequest(kControllerAnswerMillis / 1000 + 1);
    size_t sent = 0;
    while (sent < request.size()) {
      ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Await(fd, POLLOUT, deadline)) {
        continue;
      } else {
        break;
      }
    }
    if (sent < request.size()) break;
    std::string reply;
    char chunk[4096];
    for (;;) {
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        reply.append(chunk, static_cast<size_t>(n));
        Reply read = ReadReply(reply);
        if (read != Reply::Incomplete) {
          answered = read == Reply::Answer;
          break;
        }
        if (reply.size() > kLongestReply) break;
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Await(fd, POLLIN, deadline)) {
        continue;
      } else {
        break;  // closed, failed, or silent until the deadline
      }
    }
  } while (false);
  close(fd);
  return answered;
}

}  // namespace

bool SystemControllerAnswers(const std::string& host, uint16_t port, bool directory) {
  const std::string service = std::to_string(port);
  if (Enter(Call{"getaddrinfo", {{"node", host}, {"service", service}}})) return false;
  // No AI_ADDRCONFIG: on a host whose only interface is the loopback it would find no address.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kControllerAnswerMillis);
  // A failing probe is a silent controller.
  bool answered = false;
  if (!Enter(Call{directory ? "ldap_search_rootdse" : "connect", {{"host", host}, {"port", service}}})) {
    for (addrinfo* address = found; address != nullptr && !answered && MillisLeft(deadline) > 0;
         address = address->ai_next)
      answered = AddressAnswers(*address, directory, deadline);
  }
  freeaddrinfo(found);
  return answered;
}

}  // namespace winhost::system::directory
