// The library on the system world, through the Java classes on a real JVM: accounts and groups
// from NSS (nss_wrapper's passwd and group files of this test), the process as uid 0
// (uid_wrapper), names from the host name and the resolver (nss_wrapper's host name and hosts
// file), and the domain-controller check from a krb5.conf and DNS records of each test's own
// (KRB5_CONFIG, resolv_wrapper's hosts file).
#include <arpa/inet.h>
#include <krb5.h>
#include <ldap.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "harness/jvm/api.h"
#include "winhost/control.h"
#include "winhost/token.h"

namespace {

const std::string kHost = "QUENTREL-SYSTEM";  // quentrel-system-host cut to 15 characters

std::string Local(const std::string& name) { return kHost + "\\" + name; }

jvm::JString W(const std::string& utf8) { return winhost::Wide(utf8); }

// The bytes of a SID such as S-1-5-32-544 (authority below 2^32).
std::vector<uint8_t> SidBytes(const std::string& text) {
  std::vector<uint32_t> fields;
  for (size_t at = 2; at < text.size();) {
    size_t end = text.find('-', at);
    if (end == std::string::npos) end = text.size();
    fields.push_back(static_cast<uint32_t>(std::stoul(text.substr(at, end - at))));
    at = end + 1;
  }
  std::vector<uint8_t> sid(8 + 4 * (fields.size() - 2));
  sid[0] = static_cast<uint8_t>(fields[0]);
  sid[1] = static_cast<uint8_t>(fields.size() - 2);
  sid[7] = static_cast<uint8_t>(fields[1]);
  for (size_t i = 2; i < fields.size(); ++i) std::memcpy(&sid[8 + 4 * (i - 2)], &fields[i], 4);
  return sid;
}

std::string Folder() {
  const char* folder = std::getenv("QUENTREL_SYSTEM_TEST_DIR");
  return folder != nullptr ? folder : ".";
}

// Writes a file of the test's own into the build folder and returns its path.
std::string WriteFile(const std::string& name, const std::string& content) {
  std::string path = Folder() + "/" + name;
  std::ofstream(path) << content;
  return path;
}

class SystemWorldTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    jvm::PackageClass("UserAuth");  // the library is loaded before what it holds is counted
    held = winhost::LiveCounts();
    ASSERT_EQ(winhost::CurrentWorld(), winhost::World::System);
    unsetenv("QUENTREL_ADMIN_GROUPS");
    setenv("KRB5_CONFIG", "/dev/null", 1);
    unsetenv("RESOLV_WRAPPER_HOSTS");
  }
  void TearDown() override {
    // Whatever a test did, it holds nothing more of the host's than before.
    EXPECT_EQ(winhost::LiveCounts(), held);
    JvmTest::TearDown();
  }
  std::map<std::string, int> held;

  // "yes", "no", or the exception of creating the context or of asking.
  static std::string Member(const std::string& account, const std::string& group) {
    auto created = api::userauth::CreateUserContext(W(account));
    if (!created.ok()) return created.Failure();
    auto member = api::userauth::IsGroupMember(created.value, W(group));
    api::userauth::FreeHandle(created.value);
    if (!member.ok()) return member.Failure();
    return member.value ? "yes" : "no";
  }

  static void UseRealm(const std::string& realm) {
    std::string config = realm.empty() ? "[libdefaults]\n  dns_lookup_kdc = false\n"
                                       : "[libdefaults]\n  default_realm = " + realm + "\n";
    setenv("KRB5_CONFIG", WriteFile("krb5.conf", config).c_str(), 1);
  }
};

TEST_F(SystemWorldTest, NamesComeFromTheHostNameAndTheResolver) {
  EXPECT_EQ(Utf8(api::winutil::GetComputerNameNetBIOS().value), kHost);
  EXPECT_EQ(Utf8(api::winutil::GetFullyQualifiedDnsName().value), "quentrel-system-host.example.test");
  // A resolver that cannot answer leaves the host name; one out of memory leaves nothing.
  winhost::Fail("getaddrinfo", static_cast<uint32_t>(EAI_AGAIN));
  EXPECT_EQ(Utf8(api::winutil::GetFullyQualifiedDnsName().value), "quentrel-system-host");
  winhost::Fail("getaddrinfo", static_cast<uint32_t>(EAI_MEMORY));
  EXPECT_EQ(Utf8(api::winutil::GetFullyQualifiedDnsName().value), "<null>");
  // The Windows function's own fault works in this world too.
  winhost::Fail("GetComputerNameExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Utf8(api::winutil::GetComputerNameNetBIOS().value), "<null>");
}

TEST_F(SystemWorldTest, AccountNamesGiveUnixAndWindowsSids) {
  UseRealm("EXAMPLE.COM");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Local("alice"), "S-1-22-1-1000"},
      {"alice", "S-1-22-1-1000"},
      {"\\alice", "S-1-22-1-1000"},
      {"quentrel-system\\alice", "S-1-22-1-1000"},  // the qualifier's letter case does not count
      {Local("j\xC3\xB3zef"), "S-1-22-1-1002"},
      {Local("longgecos"), "S-1-22-1-1003"},  // its entry needs a larger buffer than the first
      {Local("root"), "S-1-22-1-0"},
      {Local("ops"), "S-1-22-2-3000"},
      {kHost, "S-1-22-1"},  // the computer's own domain, that of its users
      {"BUILTIN", "S-1-5-32"},
      {"BUILTIN\\Administrators", "S-1-5-32-544"},
      {"Users", "S-1-5-32-545"},
      {"Everyone", "S-1-1-0"},
      {"NT AUTHORITY\\Authenticated Users", "S-1-5-11"},
      {"EXAMPLE\\carol", "S-1-22-1-200001"},
      {"carol@example.com", "S-1-22-1-200001"},
      {"EXAMPLE\\domain users", "S-1-22-2-200513"},
      {Local("nobody-here"), "<null>"},
      {Local("carol@example.com"), "<null>"},  // a domain's account is no local one
      {"OTHER\\alice", "<null>"},
      {Local("J\xC3\x93ZEF"), "<null>"},  // NSS's files match names exactly
      {"", "<null>"},
  };
  for (const auto& [name, sid] : cases) {
    auto result = api::userauth::GetUserSID(W(name));
    EXPECT_TRUE(result.ok()) << name;
    EXPECT_EQ(Utf8(result.value), sid) << name;
  }
}

TEST_F(SystemWorldTest, GroupsAreNssGroupsAndTheAliasesTheyFallIn) {
  UseRealm("EXAMPLE.COM");
  struct Case {
    std::string account, group, expected;
    const char* adminGroups;
  };
  const std::vector<Case> cases = {
      {Local("alice"), "BUILTIN\\Users", "yes", nullptr},
      {Local("alice"), "BUILTIN\\Administrators", "no", nullptr},
      {Local("alice"), Local("ops"), "yes", nullptr},
      {Local("alice"), Local("dev"), "yes", nullptr},
      {Local("alice"), Local("sudo"), "no", nullptr},
      {Local("alice"), Local("alice"), "GroupNotFoundException: ", nullptr},  // the name means the user
      // Unqualified names are held to the DNS host name, which the NetBIOS name is not here.
      {Local("alice"), "ops", "GroupNotFoundException: ", nullptr},
      {Local("alice"), "Everyone", "GroupNotFoundException: ", nullptr},
      {Local("alice"), Local("no-such-group"), "GroupNotFoundException: ", nullptr},
      // An administrative group makes its members administrators, nested one level down.
      {Local("alice"), "Administrators", "yes", "ops"},
      {Local("alice"), "Administrators", "no", "wheel, admin"},
      {Local("alice"), "Administrators", "yes", " , ops ,"},
      {Local("bob"), "BUILTIN\\Administrators", "yes", nullptr},
      {Local("root"), "BUILTIN\\Administrators", "yes", ""},
      {Local("j\xC3\xB3zef"), "BUILTIN\\Users", "yes", nullptr},
      {"EXAMPLE\\carol", "EXAMPLE\\domain users", "yes", nullptr},
      {"EXAMPLE\\carol", "BUILTIN\\Administrators", "no", nullptr},
      {Local("nobody-here"), "BUILTIN\\Users", "UserNotFoundException: ", nullptr},
      // A group is no subject of a context made without a logon: ERROR_NO_SUCH_USER.
      {Local("ops"), "BUILTIN\\Users", "WinAuthException: Platform error: 00000525", nullptr},
  };
  for (const Case& c : cases) {
    if (c.adminGroups != nullptr) {
      setenv("QUENTREL_ADMIN_GROUPS", c.adminGroups, 1);
    } else {
      unsetenv("QUENTREL_ADMIN_GROUPS");
    }
    EXPECT_EQ(Member(c.account, c.group), c.expected) << c.account << " in " << c.group;
  }
}

TEST_F(SystemWorldTest, NssFailuresEndInWindowsCodes) {
  struct Case {
    const char* function;
    int error;
    std::string sid, created;
  };
  const std::vector<Case> cases = {
      {"getpwnam_r", ENOMEM, "<null>", "WinAuthException: Platform error: 00000008"},
      {"getpwnam_r", EMFILE, "<null>", "WinAuthException: Platform error: 00000004"},
      {"getpwnam_r", EIO, "<null>", "WinAuthException: Platform error: 000006ba"},
      // No user of that name: the name is its user-private group's, which no context is made for.
      {"getpwnam_r", ENOENT, "S-1-22-2-1000", "WinAuthException: Platform error: 00000525"},
      // The context's groups come after the SID: only the context fails, and holds nothing.
      {"getgrouplist", ENOMEM, "S-1-22-1-1000", "WinAuthException: Platform error: 00000008"},
      {"getpwuid_r", EAGAIN, "S-1-22-1-1000", "WinAuthException: Platform error: 000006ba"},
  };
  for (const Case& c : cases) {
    winhost::Fail(c.function, static_cast<uint32_t>(c.error), 0, true);
    EXPECT_EQ(Utf8(api::userauth::GetUserSID(W(Local("alice"))).value), c.sid) << c.function << " " << c.error;
    auto created = api::userauth::CreateUserContext(W(Local("alice")));
    EXPECT_EQ(created.Failure(), c.created) << c.function << " " << c.error;
    if (created.ok()) api::userauth::FreeHandle(created.value);
    EXPECT_EQ(winhost::LiveCount("authz-context"), 0) << c.function;
    winhost::ClearFaults();
  }
}

// A realm user NSS knows by no domain name is the account krb5's auth_to_local rules (here the
// default one: the default realm's one-part principals keep their name) map it to.
TEST_F(SystemWorldTest, ARealmUserIsTheAccountItsPrincipalMapsTo) {
  UseRealm("EXAMPLE.COM");
  const std::vector<std::tuple<uint32_t, std::string, std::string>> cases = {
      {0, "S-1-22-1-1001", ""},
      {static_cast<uint32_t>(KRB5_LNAME_NOTRANS), "<null>", "UserNotFoundException: "},  // as an unknown name,
      {ENOMEM, "<null>", "WinAuthException: Platform error: 00000008"},
      {static_cast<uint32_t>(KRB5_CONFIG_BADFORMAT), "<null>", "WinAuthException: Platform error: 000006ba"},
  };
  for (const auto& [fault, sid, created] : cases) {
    if (fault != 0) winhost::Fail("krb5_aname_to_localname", fault, 0, true);
    EXPECT_EQ(Utf8(api::userauth::GetUserSID(W("example\\bob")).value), sid) << fault;
    auto context = api::userauth::CreateUserContext(W("EXAMPLE\\bob"));
    EXPECT_EQ(context.Failure(), created) << fault;
    if (context.ok()) api::userauth::FreeHandle(context.value);
    winhost::ClearFaults();
  }
  EXPECT_EQ(winhost::JournalOf("krb5_aname_to_localname").back().Arg("principal"), "bob@EXAMPLE.COM");
  // Two-part principals and names of no account map to none; another domain is not asked about.
  for (const char* name : {"EXAMPLE\\host/web", "EXAMPLE\\nobody-here", "EXAMPLE\\a@b", "OTHER\\bob"})
    EXPECT_EQ(Utf8(api::userauth::GetUserSID(W(name)).value), "<null>") << name;
  EXPECT_EQ(winhost::JournalOf("krb5_aname_to_localname").back().Arg("principal"), "a@b@EXAMPLE.COM");
}

// The way back from a realm user's Windows name to the account its principal maps to, under the
// settings that give realms domain names and allow system accounts: DOMAIN\user for a realm of a
// domain name, user@REALM for any realm; no account for a domain two realms want, for a system
// account the site has not allowed, nor for a name no text can be.
TEST_F(SystemWorldTest, RealmNamesMapBackToTheAccountsTheirPrincipalsHave) {
  const std::string config =
      "[libdefaults]\n  default_realm = EXAMPLE.COM\n[realms]\n  EXAMPLE.COM = {\n"
      "    auth_to_local = RULE:[1:$1@$0](.*@PARTNER\\.TEST)s/@.*//\n    auth_to_local = DEFAULT\n  }\n";
  setenv("KRB5_CONFIG", WriteFile("krb5.conf", config).c_str(), 1);
  struct Case {
    const char* domains;  // QUENTREL_REALM_DOMAINS, or null
    const char* allowed;  // QUENTREL_ALLOW_SYSTEM_ACCOUNTS, or null
    std::u16string name;
    std::string sid;
  };
  const Case cases[] = {
      {nullptr, nullptr, u"EXAMPLE\\bob", "S-1-22-1-1001"},
      {nullptr, nullptr, u"bob@EXAMPLE.COM", "S-1-22-1-1001"},
      {nullptr, nullptr, u"j\u00f3zef@EXAMPLE.COM", "S-1-22-1-1002"},
      {nullptr, nullptr, u"EXAMPLE\\root", "<null>"},  // uid 0: no client's account by default
      {nullptr, "root", u"EXAMPLE\\root", "S-1-22-1-0"},
      {nullptr, "svc, root", u"root@EXAMPLE.COM", "S-1-22-1-0"},
      {nullptr, "svc", u"EXAMPLE\\root", "<null>"},
      {nullptr, nullptr, u"bob@PARTNER.TEST", "S-1-22-1-1001"},
      {nullptr, nullptr, u"PARTNER\\bob", "<null>"},  // a realm of no domain name
      {"PARTNER.TEST=PARTNER", nullptr, u"partner\\bob", "S-1-22-1-1001"},
      {"PARTNER.TEST=PARTNER", nullptr, u"PARTNER\\root", "<null>"},
      {"PARTNER.TEST=EXAMPLE", nullptr, u"EXAMPLE\\bob", "<null>"},  // two realms want EXAMPLE: neither has it
      {"PARTNER.TEST=EXAMPLE", nullptr, u"bob@EXAMPLE.COM", "S-1-22-1-1001"},
      {"EXAMPLE.COM=CORP", nullptr, u"CORP\\bob", "S-1-22-1-1001"},  // the default realm's own, set
      {"EXAMPLE.COM=CORP", nullptr, u"EXAMPLE\\bob", "<null>"},
      {"PARTNER.TEST=BUILTIN, EXAMPLE.COM=EX.AMPLE", nullptr, u"EXAMPLE\\bob", "<null>"},  // neither fit
      {nullptr, nullptr, std::u16string(u"EXAMPLE\\bob") + char16_t(0xD800), "<null>"},
  };
  for (const Case& c : cases) {
    c.domains ? setenv("QUENTREL_REALM_DOMAINS", c.domains, 1) : unsetenv("QUENTREL_REALM_DOMAINS");
    c.allowed ? setenv("QUENTREL_ALLOW_SYSTEM_ACCOUNTS", c.allowed, 1) : unsetenv("QUENTREL_ALLOW_SYSTEM_ACCOUNTS");
    const std::string label = Utf8(c.name) + " with " + (c.domains ? c.domains : "-") + ", " + (c.allowed ? c.allowed : "-");
    EXPECT_EQ(Utf8(api::userauth::GetUserSID(c.name).value), c.sid) << label;
    // A user context of a qualified name is the same account's, or none (user@REALM is no
    // qualified name: user contexts refuse it as they refuse every unqualified one).
    if (c.name.find(u'\\') == std::u16string::npos) continue;
    auto context = api::userauth::CreateUserContext(c.name);
    EXPECT_EQ(context.ok(), c.sid != "<null>") << label << ": " << context.Failure();
    if (context.ok()) api::userauth::FreeHandle(context.value);
  }
  unsetenv("QUENTREL_REALM_DOMAINS");
  unsetenv("QUENTREL_ALLOW_SYSTEM_ACCOUNTS");
}

// Out of memory at each NSS call in turn, as far as a membership question reaches: every answer is
// either the right one or ERROR_NOT_ENOUGH_MEMORY, never a wrong one, and nothing stays held.
TEST_F(SystemWorldTest, OutOfMemoryAtAnyNssCallGivesTheRightAnswerOrItsCode) {
  const std::string outOfMemory = "WinAuthException: Platform error: 00000008";
  for (const char* function : {"getpwnam_r", "getgrnam_r", "getgrgid_r", "getgrouplist"}) {
    int failures = 0;
    for (int skip = 0; skip < 12; ++skip) {
      for (const auto& [group, answer] : std::vector<std::pair<std::string, std::string>>{
               {Local("dev"), "yes"}, {"BUILTIN\\Administrators", "yes"}, {Local("ops"), "no"}}) {
        winhost::Fail(function, ENOMEM, skip);
        std::string result = Member(Local("bob"), group);
        winhost::ClearFaults();
        if (result == outOfMemory) {
          ++failures;
        } else {
          EXPECT_EQ(result, answer) << function << " failing after " << skip << " calls, " << group;
        }
      }
    }
    EXPECT_GT(failures, 0) << function << " was never reached";
  }
}

TEST_F(SystemWorldTest, ABufferTooSmallIsGrownAndTheLookupRetried) {
  winhost::Fail("getpwnam_r", ERANGE);
  EXPECT_EQ(Utf8(api::userauth::GetUserSID(W(Local("alice"))).value), "S-1-22-1-1000");
  std::vector<std::string> sizes;
  for (const auto& call : winhost::JournalOf("getpwnam_r")) sizes.push_back(call.Arg("bufferSize"));
  // Two lookups (the size query and the real one), the first of them retried once.
  EXPECT_EQ(sizes, (std::vector<std::string>{"1024", "2048", "1024"}));

  winhost::ClearJournal();
  EXPECT_EQ(Utf8(api::userauth::GetUserSID(W(Local("longgecos"))).value), "S-1-22-1-1003");
  sizes.clear();
  for (const auto& call : winhost::JournalOf("getpwnam_r")) sizes.push_back(call.Arg("bufferSize"));
  EXPECT_EQ(sizes.front(), "1024");
  EXPECT_EQ(sizes.at(3), "8192");
}

TEST_F(SystemWorldTest, TheProcessIsTheRealUserWithItsRealGroups) {
  ASSERT_EQ(geteuid(), 0u) << "uid_wrapper makes the test root";
  EXPECT_EQ(winhost::ProcessUserQualifiedName(), Local("root"));
  // Without a token and without impersonation, the process's own token answers.
  for (const auto& [sid, expected] : std::vector<std::pair<std::string, BOOL>>{
           {"S-1-5-32-544", TRUE}, {"S-1-22-1-0", TRUE}, {"S-1-22-2-0", TRUE}, {"S-1-5-11", TRUE}, {"S-1-22-2-3000", FALSE}}) {
    auto bytes = SidBytes(sid);
    BOOL member = !expected;
    ASSERT_TRUE(CheckTokenMembership(nullptr, bytes.data(), &member)) << sid;
    EXPECT_EQ(member, expected) << sid;
  }

  // The security packages are the machine's GSSAPI: on a machine with no realm, no ticket and no
  // keytab they have no credentials, as Windows has none for a process with no logon. (The client
  // token of an authenticated principal is tested inside a realm: see kerberos-identity.)
  for (bool client : {false, true}) {
    auto created = api::sspi::CreateContext(client, 0, W("Negotiate"), W("HTTP/localhost"));
    EXPECT_EQ(created.Failure(), "WinAuthException: Platform error: 8009030e") << client;
  }
}

TEST_F(SystemWorldTest, TheJournalOfALongRunningProcessKeepsItsRecentCalls) {
  auto everyone = SidBytes("S-1-1-0");
  auto users = SidBytes("S-1-5-32-545");
  for (int i = 0; i < 30000; ++i) EqualSid(everyone.data(), everyone.data());
  EqualSid(everyone.data(), users.data());
  auto journal = winhost::Journal();
  EXPECT_LE(journal.size(), 20000u);
  EXPECT_GE(journal.size(), 10000u);
  EXPECT_EQ(journal.back().ToString(), "EqualSid(first=S-1-1-0, second=S-1-5-32-545)");
}

// A domain controller of the test's own on the loopback: it accepts each connection, takes the
// request, answers with `reply` (in two pieces when `split`), then closes it, or keeps it open
// and silent when `hold`.
class FakeController {
 public:
  FakeController() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      ADD_FAILURE() << "no listening socket: " << std::strerror(errno);
    port_ = ntohs(address.sin_port);
    server_ = std::thread([this] { Serve(); });
  }
  ~FakeController() {
    stop_ = true;
    server_.join();
    for (int fd : held_) close(fd);
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void Answer(const std::string& reply, bool split, bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = reply, split_ = split, hold_ = hold;
  }
  std::string LastRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (poll(&waiting, 1, 50) <= 0) continue;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      pollfd reading{fd, POLLIN, 0};
      char buffer[512];
      ssize_t got = poll(&reading, 1, 2000) > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
      request_.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
      const size_t first = split_ ? reply_.size() / 2 : reply_.size();
      send(fd, reply_.data(), first, MSG_NOSIGNAL);
      if (split_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send(fd, reply_.data() + first, reply_.size() - first, MSG_NOSIGNAL);
      }
      if (hold_) {
        held_.push_back(fd);
      } else {
        close(fd);
      }
    }
  }
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread server_;
  std::mutex mutex_;
  std::string reply_, request_;
  bool split_ = false, hold_ = false;
  std::vector<int> held_;
};

// LDAP replies to the rootDSE search (message 1): a SearchResultEntry of no attributes, and a
// SearchResultDone with a result code.
std::string LdapEntry(char id = 1) { return std::string("\x30\x09\x02\x01", 4) + id + std::string("\x64\x04\x04\x00\x30\x00", 6); }
std::string LdapDone(char code) { return std::string("\x30\x0c\x02\x01\x01\x65\x07\x0a\x01", 9) + code + std::string("\x04\x00\x04\x00", 4); }

// DNS of the test's own for the fake controller, which the hosts file names dc1.example.com and
// kdc.kdc-only.test.
void ListControllersAt(uint16_t port) {
  const std::string records =
      "SRV _ldap._tcp.dc._msdcs.example.com dc1.example.com " + std::to_string(port) + "\n"
      "SRV _kerberos._tcp.kdc-only.test kdc.kdc-only.test " + std::to_string(port) + "\n"
      "SRV _kerberos._tcp.withdrawn.test . 88\n";
  setenv("RESOLV_WRAPPER_HOSTS", WriteFile("dns-records", records).c_str(), 1);
}

TEST_F(SystemWorldTest, TheDomainControllerIsFoundInDnsForTheDefaultRealm) {
  FakeController controller;
  controller.Answer(LdapEntry(), false, false);
  ListControllersAt(controller.port());
  struct Case {
    std::string realm;
    int code;
    std::vector<std::string> queried;
  };
  const std::vector<Case> cases = {
      {"", ERROR_NO_SUCH_DOMAIN, {}},
      {"EXAMPLE.COM", NERR_Success, {"_ldap._tcp.dc._msdcs.example.com"}},
      {"KDC-ONLY.TEST", NERR_Success, {"_ldap._tcp.dc._msdcs.kdc-only.test", "_kerberos._tcp.kdc-only.test"}},
      {"WITHDRAWN.TEST", ERROR_NO_LOGON_SERVERS, {"_ldap._tcp.dc._msdcs.withdrawn.test", "_kerberos._tcp.withdrawn.test"}},
      {"NONE.TEST", ERROR_NO_LOGON_SERVERS, {"_ldap._tcp.dc._msdcs.none.test", "_kerberos._tcp.none.test"}},
  };
  for (const Case& c : cases) {
    UseRealm(c.realm);
    winhost::ClearJournal();
    EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, c.code) << c.realm;
    std::vector<std::string> queried;
    for (const auto& call : winhost::JournalOf("res_nquery")) queried.push_back(call.Arg("name"));
    EXPECT_EQ(queried, c.queried) << c.realm;
  }
}

// A listed controller counts once it answers: an LDAP answer to the rootDSE search for a
// directory's, an accepted connection for a realm's KDC. Anything else is silence.
TEST_F(SystemWorldTest, OnlyAListedControllerThatAnswersCounts) {
  struct Case {
    std::string what;
    std::string realm;
    std::string reply;
    bool split, hold;
    std::string fault;  // a probe's call that fails
    int code;
  };
  const std::string longForm = std::string("\x30\x84\x00\x00\x00\x09", 6) + LdapEntry().substr(2);
  const std::vector<Case> cases = {
      {"an entry", "EXAMPLE.COM", LdapEntry(), false, false, "", NERR_Success},
      {"an entry in two pieces", "EXAMPLE.COM", LdapEntry(), true, false, "", NERR_Success},
      {"an entry, long-form length", "EXAMPLE.COM", longForm, false, false, "", NERR_Success},
      {"done: success", "EXAMPLE.COM", LdapDone(0), false, false, "", NERR_Success},
      {"done: unwilling to perform", "EXAMPLE.COM", LdapDone(53), false, false, "", ERROR_NO_LOGON_SERVERS},
      {"the answer to another message", "EXAMPLE.COM", LdapEntry(2), false, false, "", ERROR_NO_LOGON_SERVERS},
      {"an entry cut short", "EXAMPLE.COM", LdapEntry().substr(0, 7), false, false, "", ERROR_NO_LOGON_SERVERS},
      {"not LDAP", "EXAMPLE.COM", "HTTP/1.1 400 Bad Request\r\n\r\n", false, false, "", ERROR_NO_LOGON_SERVERS},
      {"closed at once", "EXAMPLE.COM", "", false, false, "", ERROR_NO_LOGON_SERVERS},
      {"silent", "EXAMPLE.COM", "", false, true, "", ERROR_NO_LOGON_SERVERS},
      {"no address", "EXAMPLE.COM", LdapEntry(), false, false, "getaddrinfo", ERROR_NO_LOGON_SERVERS},
      {"the search fails", "EXAMPLE.COM", LdapEntry(), false, false, "ldap_search_rootdse", ERROR_NO_LOGON_SERVERS},
      {"a KDC that accepts", "KDC-ONLY.TEST", "", false, false, "", NERR_Success},
      {"a KDC unreachable", "KDC-ONLY.TEST", "", false, false, "connect", ERROR_NO_LOGON_SERVERS},
  };
  FakeController controller;
  ListControllersAt(controller.port());
  for (const Case& c : cases) {
    UseRealm(c.realm);
    controller.Answer(c.reply, c.split, c.hold);
    if (!c.fault.empty()) winhost::Fail(c.fault, static_cast<uint32_t>(c.fault == "getaddrinfo" ? EAI_NONAME : ECONNREFUSED));
    EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, c.code) << c.what;
    winhost::ClearFaults();
  }
  // What the directory was asked: a search (message 1, [APPLICATION 3]) of the empty base.
  controller.Answer(LdapEntry(), false, false);
  UseRealm("EXAMPLE.COM");
  ASSERT_EQ(api::winutil::GetDCCheckResultCode().value, NERR_Success);
  const std::string request = controller.LastRequest();
  EXPECT_EQ(request.substr(0, 8), std::string("\x30\x32\x02\x01\x01\x63\x2d\x04", 8));
  EXPECT_NE(request.find("objectClass"), std::string::npos);
  // Nobody listening at all: the port of a socket since closed.
  const uint16_t closed = [] {
    FakeController gone;
    return gone.port();
  }();
  ListControllersAt(closed);
  EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, ERROR_NO_LOGON_SERVERS);
}

TEST_F(SystemWorldTest, ResolverFailuresEndInTheLocatorsCodes) {
  UseRealm("EXAMPLE.COM");
  // DNS that says the domain's names do not exist: no such domain; one that cannot answer in
  // time: no logon server; a failed Windows call: its own code.
  const std::vector<std::pair<std::string, std::pair<uint32_t, int>>> cases = {
      {"res_nquery", {HOST_NOT_FOUND, ERROR_NO_SUCH_DOMAIN}},
      {"res_nquery", {TRY_AGAIN, ERROR_NO_LOGON_SERVERS}},
      {"res_nquery", {NO_RECOVERY, ERROR_NO_LOGON_SERVERS}},
      {"krb5_get_default_realm", {ENOMEM, ERROR_NOT_ENOUGH_MEMORY}},
      {"NetGetAnyDCName", {ERROR_NO_TRUST_SAM_ACCOUNT, ERROR_NO_TRUST_SAM_ACCOUNT}},
  };
  for (const auto& [function, fault] : cases) {
    winhost::Fail(function, fault.first, 0, true);
    EXPECT_EQ(api::winutil::GetDCCheckResultCode().value, fault.second) << function << " " << fault.first;
    winhost::ClearFaults();
  }
}

// ---- beside an AD domain ---------------------------------------------------------------------
// Run under tests/ad/with-domain.sh as a member server that has only the service's keytab
// (tests/ad/keytab-host.sh): the controller's directory names the domain's accounts. Skipped
// elsewhere.
class DomainWorldTest : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    if (std::getenv("AD_REALM") == nullptr) GTEST_SKIP() << "needs the domain of tests/ad/with-domain.sh";
    winhost::Reset();
  }

  struct Named {
    DWORD error = 0;
    std::vector<uint8_t> sid;
    std::string domain, name;
    SID_NAME_USE use = SidTypeUnknown;
  };

  // LookupAccountNameW as the library calls it: the sizes, then the answer.
  static Named ByName(const std::string& name) {
    const std::u16string wide = winhost::Wide(name);
    Named named;
    DWORD sidSize = 0, domainSize = 0;
    if (LookupAccountNameW(nullptr, wide.c_str(), nullptr, &sidSize, nullptr, &domainSize, &named.use) ||
        (named.error = GetLastError()) != ERROR_INSUFFICIENT_BUFFER)
      return named;
    named.sid.resize(sidSize);
    std::u16string domain(domainSize, u'\0');
    named.error = LookupAccountNameW(nullptr, wide.c_str(), named.sid.data(), &sidSize, domain.data(), &domainSize,
                                     &named.use)
                      ? 0
                      : GetLastError();
    named.domain = winhost::Narrow(domain.substr(0, domainSize));
    return named;
  }

  static Named BySid(std::vector<uint8_t> sid) {
    Named named;
    WCHAR name[260], domain[260];
    DWORD nameSize = 260, domainSize = 260;
    named.error = LookupAccountSidW(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &named.use)
                      ? 0
                      : GetLastError();
    if (named.error == 0) {
      named.name = winhost::Narrow(std::u16string(name, nameSize));
      named.domain = winhost::Narrow(std::u16string(domain, domainSize));
    }
    named.sid = std::move(sid);
    return named;
  }

  static std::vector<uint8_t> WithRid(std::vector<uint8_t> domain, uint32_t rid) {
    domain[1]++;
    domain.resize(domain.size() + 4);
    std::memcpy(&domain[domain.size() - 4], &rid, 4);
    return domain;
  }
};

TEST_F(DomainWorldTest, SidsNameTheDomainsAccounts) {
  const Named alice = ByName("SAMDOM\\alice");
  ASSERT_EQ(alice.error, 0u);
  EXPECT_EQ(alice.domain, "SAMDOM");
  EXPECT_EQ(alice.use, SidTypeUser);
  std::vector<uint8_t> domain(alice.sid.begin(), alice.sid.end() - 4);
  domain[1]--;
  struct Case {
    std::vector<uint8_t> sid;
    DWORD error;
    std::string domain, name;
    SID_NAME_USE use;
  };
  const std::vector<Case> cases = {
      {alice.sid, 0, "SAMDOM", "alice", SidTypeUser},
      {ByName("SAMDOM\\Engineers").sid, 0, "SAMDOM", "Engineers", SidTypeGroup},
      {ByName("SAMDOM\\Printers").sid, 0, "SAMDOM", "Printers", SidTypeAlias},  // domain-local
      {WithRid(domain, 512), 0, "SAMDOM", "Domain Admins", SidTypeGroup},
      {domain, 0, "SAMDOM", "SAMDOM", SidTypeDomain},
      {WithRid(domain, 999999), ERROR_NONE_MAPPED, "", "", SidTypeUnknown},
      {SidBytes("S-1-5-21-1-2-3-1000"), ERROR_NONE_MAPPED, "", "", SidTypeUnknown},  // another domain's
  };
  for (const Case& c : cases) {
    const Named named = BySid(c.sid);
    EXPECT_EQ(named.error, c.error) << c.name;
    if (c.error != 0) continue;
    EXPECT_EQ(named.domain + "\\" + named.name, c.domain + "\\" + c.name);
    EXPECT_EQ(named.use, c.use) << c.name;
  }
}

// The network is asked once per name; a membership test of a name asked for before asks no
// directory, not even NSS.
TEST_F(DomainWorldTest, AMembershipTestOfANameAskedBeforeMakesNoNetworkCall) {
  auto context = api::userauth::CreateUserContext(W("SAMDOM\\alice"));
  ASSERT_TRUE(context.ok()) << context.Failure();
  auto network = [] {
    std::vector<std::string> calls;
    for (const std::string& function : winhost::JournalFunctions())
      for (const char* prefix : {"ldap_", "wbc", "res_", "krb5_", "gss_", "getpw", "getgr"})
        if (function.rfind(prefix, 0) == 0) calls.push_back(function);
    return calls;
  };
  winhost::ClearJournal();
  EXPECT_TRUE(api::userauth::IsGroupMember(context.value, W("SAMDOM\\Staff")).value);
  EXPECT_FALSE(network().empty()) << "the first test of a name asks the directory";
  for (const char* group : {"SAMDOM\\Staff", "samdom\\STAFF", "SAMDOM\\Staff"}) {
    winhost::ClearJournal();
    EXPECT_TRUE(api::userauth::IsGroupMember(context.value, W(group)).value) << group;
    EXPECT_EQ(network(), std::vector<std::string>{}) << group;
  }
  api::userauth::FreeHandle(context.value);
}

// A context's groups are those of the PAC in an S4U2Self ticket for the user; where the KDC gives
// none, the controller's tokenGroups, which agree with it.
TEST_F(DomainWorldTest, AContextsGroupsAreAnS4U2SelfTicketsElseTokenGroups) {
  const std::vector<std::pair<const char*, bool>> groups = {{"SAMDOM\\Engineers", true},   {"SAMDOM\\Staff", true},
                                                            {"SAMDOM\\Printers", true},    {"BUILTIN\\Users", true},
                                                            {"SAMDOM\\Domain Admins", false}, {"BUILTIN\\Administrators", false}};
  for (const char* failing : {"", "gss_acquire_cred_impersonate_name", "gss_get_name_attribute"}) {
    winhost::Reset();
    if (*failing != 0) winhost::Fail(failing, 0x000d0000u, 0, true);  // GSS_S_FAILURE
    auto context = api::userauth::CreateUserContext(W("SAMDOM\\alice"));
    ASSERT_TRUE(context.ok()) << failing << ": " << context.Failure();
    bool readTokenGroups = false;
    for (const auto& call : winhost::JournalOf("ldap_search_ext_s"))
      readTokenGroups = readTokenGroups || call.Arg("base").rfind("CN=alice,", 0) == 0;
    EXPECT_EQ(readTokenGroups, *failing != 0) << failing;
    EXPECT_EQ(winhost::JournalOf("gss_acquire_cred_impersonate_name").size(), 1u) << failing;
    for (const auto& [group, member] : groups)
      EXPECT_EQ(api::userauth::IsGroupMember(context.value, W(group)).value, member) << failing << ": " << group;
    winhost::ClearFaults();
    api::userauth::FreeHandle(context.value);
  }
}

// Lookups use the directory's connections again: one bind serves a run of lookups; threads looking
// up at once each get their answer, on no more connections than there are threads; a kept
// connection the controller dropped gives way to a new one unnoticed; a fresh world binds anew.
TEST_F(DomainWorldTest, LookupsKeepTheirConnectionsForTheNextAndRunAtOnce) {
  auto binds = [] { return winhost::JournalOf("ldap_sasl_interactive_bind_s").size(); };
  ASSERT_EQ(ByName("SAMDOM\\alice").error, 0u);
  EXPECT_EQ(binds(), 1u);
  winhost::ClearJournal();
  for (const char* name : {"SAMDOM\\nobody1", "SAMDOM\\nobody2", "SAMDOM\\nobody3"})
    EXPECT_EQ(ByName(name).error, static_cast<DWORD>(ERROR_NONE_MAPPED)) << name;
  EXPECT_GE(winhost::JournalOf("ldap_search_ext_s").size(), 3u);
  EXPECT_EQ(binds(), 0u) << "a lookup after another binds again";

  winhost::ClearJournal();
  constexpr int kThreads = 4;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 6; ++i) {
        const std::string missing = "SAMDOM\\absent" + std::to_string(t) + "x" + std::to_string(i);
        const char* known = (i + t) % 2 ? "SAMDOM\\bob" : "SAMDOM\\carol";
        wrong += ByName(missing).error != ERROR_NONE_MAPPED;
        wrong += ByName(known).error != 0;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(binds(), static_cast<size_t>(kThreads));

  winhost::ClearJournal();
  winhost::Fail("ldap_search_ext_s", static_cast<uint32_t>(LDAP_SERVER_DOWN));
  EXPECT_EQ(ByName("SAMDOM\\dave").error, 0u);
  EXPECT_EQ(binds(), 1u) << "the dropped connection is made again, once";

  winhost::Reset();
  EXPECT_EQ(ByName("SAMDOM\\alice").error, 0u);
  EXPECT_EQ(binds(), 1u) << "a fresh world uses no connection of the old one";
}

TEST_F(DomainWorldTest, DirectoryFailuresEndInWindowsCodes) {
  struct Case {
    const char* function;
    int code;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"ldap_search_ext_s", LDAP_SERVER_DOWN, 1722},  // RPC_S_SERVER_UNAVAILABLE
      {"ldap_search_ext_s", LDAP_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {"ldap_sasl_interactive_bind_s", LDAP_LOCAL_ERROR, ERROR_NO_LOGON_SERVERS},  // no ticket for it
      {"ldap_sasl_interactive_bind_s", LDAP_SERVER_DOWN, ERROR_NO_LOGON_SERVERS},  // every DC silent
      {"ldap_initialize", LDAP_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {"krb5_get_init_creds_keytab", KRB5_KDC_UNREACH, ERROR_NO_LOGON_SERVERS},
      {"krb5_get_init_creds_keytab", KRB5KDC_ERR_PREAUTH_FAILED, ERROR_NO_LOGON_SERVERS},  // a stale key
      // DNS that cannot answer leaves a realm without a directory: the name is no account.
      {"res_nquery", TRY_AGAIN, ERROR_NONE_MAPPED},
  };
  for (const Case& c : cases) {
    winhost::Reset();
    winhost::Fail(c.function, static_cast<uint32_t>(c.code), 0, true);
    EXPECT_EQ(ByName("SAMDOM\\bob").error, c.error) << c.function << " " << c.code;
    winhost::ClearFaults();
    // Nothing of the failure is kept: the next question is answered.
    EXPECT_EQ(ByName("SAMDOM\\bob").error, 0u) << "after " << c.function;
  }
}

}  // namespace
