// The fault sweep. For every operation, a good run's journal lists the platform calls it makes;
// then, for each call and each of its occurrences, a run in which that one call fails, and for each
// native allocation the library makes, a run in which that one allocation fails. Every run must
// end in a documented result with both family locks free, no Java array or string left pinned, no
// JNI misuse, the thread's identity its own, and nothing held once the operation's fixtures are
// freed, except the one object whose release was made to fail.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>
#include <krb5.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "harness/native/session.h"
#include "winhost/control.h"
#include "winhost/control_host.h"
#include "winhost/control_tokens.h"

extern "C" long quentrel_test_FailAllocation(long nth);
extern "C" BOOL quentrel_test_DllMain(DWORD reason);

namespace {

using native::Outcome;
using native::Session;

// What an operation starts from: the handles its set-up made, all freed after the run.
struct Fixture {
  int client = 0;
  int server = 0;
  int user = 0;
  std::vector<uint8_t> token;
  std::vector<int> made;  // handles the operation itself created
};

enum class Family { Sspi, UserAuth, WinUtil, Load };

struct Operation {
  const char* name;
  Family family;
  std::function<void(Session&, Fixture&)> setUp;
  std::function<Outcome(Session&, Fixture&)> run;
  bool needsRealm = false;  // a client whose ticket is forwardable: only a realm gives one
};

// The account and group each world knows: the simulated world's process user, or a user and
// group of the system tests' NSS files.
bool SystemWorld() { return winhost::CurrentWorld() == winhost::World::System; }
// Beside a throwaway AD domain (tests/ad/with-domain.sh) the accounts are the domain's, named by
// its directories: winbind where QUENTREL_SWEEP_DOMAIN says "winbind", else its controllers over
// LDAP with the service's key.
std::string DomainSweep() {
  const char* domain = std::getenv("QUENTREL_SWEEP_DOMAIN");
  return SystemWorld() && domain != nullptr ? domain : "";
}
bool InDomain() { return !DomainSweep().empty(); }
std::u16string Account() {
  if (InDomain()) return u"SAMDOM\\alice";
  return SystemWorld() ? u"QUENTREL-SYSTEM\\alice" : u"WINHOST\\appuser";
}
std::u16string Group() {
  if (InDomain()) return u"SAMDOM\\Staff";
  return SystemWorld() ? u"QUENTREL-SYSTEM\\ops" : u"BUILTIN\\Users";
}
// Inside a Kerberos realm (tests/kdc/with-realm.sh) the system world's packages run over the
// machine's GSSAPI, with alice's ticket and a keytab for HTTP/localhost.
bool InRealm() {
  const char* realm = std::getenv("QUENTREL_SWEEP_REALM");
  return SystemWorld() && realm != nullptr && *realm != 0;
}
std::u16string Target() { return InRealm() ? u"HTTP/localhost" : u"HTTP/web"; }

const std::u16string kKey = u"SOFTWARE\\Tarvex\\Sweep";
const std::u16string kProductKey = u"SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane";

void Pair(Session& s, Fixture& f) {
  ASSERT_TRUE(s.Handshake(u"Negotiate", ISC_REQ_CONFIDENTIALITY, f.client, f.server, Target()));
}
void Nothing(Session&, Fixture&) {}
std::vector<uint8_t> Bindings() {
  const std::string data = "tls-server-end-point:sweep";
  return std::vector<uint8_t>(data.begin(), data.end());
}

// A client whose ticket is forwardable, from a cache of the sweep's own: its server context keeps
// the ticket as evidence, and a thread impersonating it authenticates to the service itself with it.
void WithForwardableTicket(const std::function<void()>& make) {
  static const std::string cache = [] {
    // Impersonating, the thread may act as nobody, who reads the realm's krb5.conf as anyone reads
    // /etc/krb5.conf.
    std::system("chmod a+rx \"$QTEST_REALM_DIR\" && chmod a+r \"$KRB5_CONFIG\"");
    const std::string path = std::string(std::getenv("QTEST_REALM_DIR")) + "/forwardable-ccache";
    const std::string kinit = "echo \"$QTEST_PASSWORD\" | kinit -f -c FILE:" + path + " alice >/dev/null";
    return std::system(kinit.c_str()) == 0 ? "FILE:" + path : std::string();
  }();
  ASSERT_FALSE(cache.empty()) << "kinit -f alice failed";
  const std::string own = std::getenv("KRB5CCNAME");
  setenv("KRB5CCNAME", cache.c_str(), 1);
  make();
  setenv("KRB5CCNAME", own.c_str(), 1);
}
void ImpersonatingADelegatingClient(Session& s, Fixture& f) {
  WithForwardableTicket([&] { ASSERT_TRUE(s.Handshake(u"Kerberos", 0, f.client, f.server, Target())); });
  s.StartImpersonating(f.server);
}
// Alice's password in the realm, as HTTP Basic hands it over.
std::u16string Password() {
  const char* password = std::getenv("QTEST_PASSWORD");
  const std::string text = password == nullptr ? "" : password;
  return std::u16string(text.begin(), text.end());
}
Outcome Created(Fixture& f, Outcome created) {
  if (created.handle != 0) f.made.push_back(created.handle);
  if (created.ok()) created.text = created.handle > 0 ? "ok:handle" : "ok:0";
  return created;
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"CreateContext client", Family::Sspi, Nothing,
       [](Session& s, Fixture& f) { return Created(f, s.CreateContext(true, ISC_REQ_CONFIDENTIALITY, u"Negotiate", Target())); }},
      {"CreateContext server", Family::Sspi, Nothing,
       [](Session& s, Fixture& f) { return Created(f, s.CreateContext(false, 0, std::nullopt, std::nullopt)); }},
      {"CreateContext Kerberos client without target", Family::Sspi, Nothing,
       [](Session& s, Fixture& f) { return Created(f, s.CreateContext(true, 0, u"Kerberos", std::nullopt)); }},
      {"Accept first", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateContext(false, 0, u"Negotiate", std::nullopt).handle;
         f.client = s.CreateContext(true, 0, u"Negotiate", Target()).handle;
         f.token = s.GetChallengeToken(f.client).bytes;
       },
       [](Session& s, Fixture& f) { return s.Accept(f.server, f.token); }},
      {"Initialize", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateContext(false, 0, u"Negotiate", std::nullopt).handle;
         f.client = s.CreateContext(true, 0, u"Negotiate", Target()).handle;
         s.Accept(f.server, s.GetChallengeToken(f.client).bytes);
         f.token = s.GetChallengeToken(f.server).bytes;
       },
       [](Session& s, Fixture& f) { return s.Initialize(f.client, f.token); }},
      {"Accept last", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateContext(false, 0, u"Negotiate", std::nullopt).handle;
         f.client = s.CreateContext(true, 0, u"Negotiate", Target()).handle;
         s.Accept(f.server, s.GetChallengeToken(f.client).bytes);
         s.Initialize(f.client, s.GetChallengeToken(f.server).bytes);
         f.token = s.GetChallengeToken(f.client).bytes;
       },
       [](Session& s, Fixture& f) { return s.Accept(f.server, f.token); }},
      {"Accept first, a forwardable ticket", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateContext(false, 0, u"Kerberos", std::nullopt).handle;
         WithForwardableTicket([&] { f.client = s.CreateContext(true, 0, u"Kerberos", Target()).handle; });
         f.token = s.GetChallengeToken(f.client).bytes;
       },
       [](Session& s, Fixture& f) { return s.Accept(f.server, f.token); }, true},
      {"CreateContext client impersonating", Family::Sspi, ImpersonatingADelegatingClient,
       [](Session& s, Fixture& f) {
         Outcome created = Created(f, s.CreateContext(true, 0, u"Kerberos", Target()));
         Outcome stopped = s.StopImpersonating(f.server);
         return stopped.ok() ? created : stopped;
       }, true},
      // A bound client's first token, taken by a server bound to the same channel.
      {"Accept first, both bound", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateBoundContext(false, 0, u"Negotiate", std::nullopt, Bindings()).handle;
         f.client = s.CreateBoundContext(true, 0, u"Negotiate", Target(), Bindings()).handle;
         f.token = s.GetChallengeToken(f.client).bytes;
       },
       [](Session& s, Fixture& f) { return s.Accept(f.server, f.token); }},
      // A password's client context: the KDC is asked at once, and its ticket is for the service.
      {"CreatePasswordContext", Family::Sspi, Nothing,
       [](Session& s, Fixture& f) {
         return Created(f, s.CreatePasswordContext(u"Kerberos", Target(), u"alice", Password()));
       }, true},
      {"Accept first, a password's ticket", Family::Sspi,
       [](Session& s, Fixture& f) {
         f.server = s.CreateContext(false, 0, u"Negotiate", std::nullopt).handle;
         f.client = s.CreatePasswordContext(u"Kerberos", Target(), u"alice", Password()).handle;
         f.token = s.GetChallengeToken(f.client).bytes;
       },
       [](Session& s, Fixture& f) { return s.Accept(f.server, f.token); }, true},
      {"CreateBoundContext client", Family::Sspi, Nothing,
       [](Session& s, Fixture& f) { return Created(f, s.CreateBoundContext(true, 0, u"Kerberos", Target(), Bindings())); }},
      {"GetContextExpiry", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.GetContextExpiry(f.server); }},
      {"GetDelegationLimit", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.GetDelegationLimit(f.server); }},
      {"GetChallengeToken", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.GetChallengeToken(f.client); }},
      {"GetNegotiatedAttributes", Family::Sspi, Pair,
       [](Session& s, Fixture& f) { return s.GetNegotiatedAttributes(f.server); }},
      {"GetMaxTokenSize", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.GetMaxTokenSize(f.client); }},
      {"Wrap", Family::Sspi, Pair,
       [](Session& s, Fixture& f) { return s.Wrap(f.client, std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}); }},
      {"Unwrap", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         f.token = s.Wrap(f.client, std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}).bytes;
       },
       [](Session& s, Fixture& f) { return s.Unwrap(f.server, f.token); }},
      {"GetClientUserName", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.GetClientUserName(f.server); }},
      {"StartImpersonating", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.StartImpersonating(f.server); }},
      {"StopImpersonating", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         s.StartImpersonating(f.server);
       },
       [](Session& s, Fixture& f) { return s.StopImpersonating(f.server); }},
      {"IsGroupMember", Family::Sspi, Pair,
       [](Session& s, Fixture& f) { return s.IsGroupMember(f.server, u"BUILTIN\\Users"); }},
      {"IsGroupMember again", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         s.IsGroupMember(f.server, u"BUILTIN\\Users");
       },
       [](Session& s, Fixture& f) { return s.IsGroupMember(f.server, u"BUILTIN\\Administrators"); }},
      {"GetContextInformation", Family::Sspi, Pair,
       [](Session& s, Fixture& f) { return s.GetContextInformation(f.server); }},
      {"FreeHandle", Family::Sspi, Pair, [](Session& s, Fixture& f) { return s.FreeHandle(f.server); }},
      {"FreeHandle impersonating", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         s.StartImpersonating(f.server);
       },
       [](Session& s, Fixture& f) { return s.FreeHandle(f.server); }},
      // Another thread frees the context this one impersonates through; this thread's next call
      // gives it its own identity back before anything else.
      {"FreeHandle from another thread", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         s.StartImpersonating(f.server);
       },
       [](Session& s, Fixture& f) {
         Outcome freed;
         std::thread([&] {
           Session other;
           freed = other.FreeHandle(f.server);
         }).join();
         if (!freed.ok()) return freed;
         return s.GetNegotiatedAttributes(f.client);
       }},
      // The test's own impersonation ends with the thread's own identity, whatever it was before.
      {"IsGroupMember impersonating", Family::Sspi,
       [](Session& s, Fixture& f) {
         Pair(s, f);
         s.StartImpersonating(f.server);
       },
       [](Session& s, Fixture& f) { return s.IsGroupMember(f.server, u"BUILTIN\\Users"); }},
      {"CreateUserContext", Family::UserAuth, Nothing,
       [](Session& s, Fixture& f) {
         Outcome created = s.CreateUserContext(Account());
         f.user = created.handle;
         if (created.ok()) created.text = "ok:handle";
         return created;
       }},
      {"UserAuth.IsGroupMember", Family::UserAuth,
       [](Session& s, Fixture& f) { f.user = s.CreateUserContext(Account()).handle; },
       [](Session& s, Fixture& f) { return s.IsUserGroupMember(f.user, Group()); }},
      {"UserAuth.FreeHandle", Family::UserAuth,
       [](Session& s, Fixture& f) { f.user = s.CreateUserContext(Account()).handle; },
       [](Session& s, Fixture& f) { return s.FreeUserHandle(f.user); }},
      {"GetUserSID", Family::WinUtil, Nothing, [](Session& s, Fixture&) { return s.GetUserSID(Account()); }},
      {"GetHKLMStringRegValue", Family::WinUtil,
       [](Session&, Fixture&) { winhost::SetRegistryString(winhost::View::k64, "SOFTWARE\\Tarvex\\Sweep", "Name", u"value"); },
       [](Session& s, Fixture&) { return s.GetHKLMStringRegValue(kKey, u"Name", true); }},
      {"SetHKLMStringRegValue", Family::WinUtil,
       [](Session&, Fixture&) { winhost::CreateRegistryKey(winhost::View::k64, "SOFTWARE\\Tarvex\\Sweep"); },
       [](Session& s, Fixture&) { return s.SetHKLMStringRegValue(kKey, u"Name", u"text", true); }},
      {"SetHKLMIntRegValue", Family::WinUtil,
       [](Session&, Fixture&) { winhost::CreateRegistryKey(winhost::View::k64, "SOFTWARE\\Tarvex\\Sweep"); },
       [](Session& s, Fixture&) { return s.SetHKLMIntRegValue(kKey, u"Number", 42, false); }},
      {"GetProductInstallPath", Family::WinUtil,
       [](Session&, Fixture&) {
         winhost::SetRegistryString(winhost::View::k64, "SOFTWARE\\Tarvex, Inc.\\Tarvex Quorvane", "InstallPath",
                                    u"/opt/tarvex/quorvane/");
       },
       [](Session& s, Fixture&) { return s.GetProductInstallPath(); }},
      {"GetCommonAppDataFilePath", Family::WinUtil, Nothing,
       [](Session& s, Fixture&) { return s.GetCommonAppDataFilePath(u"sweep.log"); }},
      {"GetDCCheckResultCode", Family::WinUtil, [](Session&, Fixture&) { winhost::SetDomainControllerStatus(0); },
       [](Session& s, Fixture&) { return s.GetDCCheckResultCode(); }},
      {"GetFullyQualifiedDnsName", Family::WinUtil, Nothing, [](Session& s, Fixture&) { return s.GetFullyQualifiedDnsName(); }},
      {"GetComputerNameNetBIOS", Family::WinUtil, Nothing, [](Session& s, Fixture&) { return s.GetComputerNameNetBIOS(); }},
      // Unload with a user context still held, load again, then ask UserAuth for a context.
      {"Unload and load", Family::Load,
       [](Session& s, Fixture& f) { f.user = s.CreateUserContext(Account()).handle; },
       [](Session& s, Fixture& f) {
         quentrel_test_DllMain(DLL_PROCESS_DETACH);
         quentrel_test_DllMain(DLL_PROCESS_ATTACH);
         Outcome created = s.CreateUserContext(Account());
         f.made.push_back(-created.handle);
         if (created.ok()) created.text = "ok:handle";
         return created;
       }},
  };
  return operations;
}

// The status a failing SSPI function answers with, GSSAPI's GSS_S_FAILURE for its calls, SQLITE_BUSY
// for SQLite's (the same 5 as ERROR_ACCESS_DENIED), or the error any other function gives.
uint32_t FaultCode(const std::string& function) {
  if (function.rfind("gss_", 0) == 0) return 0x000d0000u;
  if (function.rfind("wbc", 0) == 0) return 2;             // WBC_ERR_UNKNOWN_FAILURE
  if (function.rfind("ldap_", 0) == 0) return 0xffffffffu;  // LDAP_SERVER_DOWN
  if (function.rfind("krb5_", 0) == 0) return static_cast<uint32_t>(KRB5_KDC_UNREACH);
  static const std::set<std::string> sspi = {
      "AcquireCredentialsHandleW", "InitializeSecurityContextW", "AcceptSecurityContext", "CompleteAuthToken",
      "QueryContextAttributesW", "QueryCredentialsAttributesW", "EncryptMessage", "DecryptMessage",
      "QuerySecurityContextToken", "RevertSecurityContext", "DeleteSecurityContext", "FreeCredentialsHandle",
      "FreeContextBuffer"};
  return sspi.count(function) != 0 ? static_cast<uint32_t>(SEC_E_INTERNAL_ERROR) : static_cast<uint32_t>(ERROR_ACCESS_DENIED);
}

// The kind of object each release function gives back: when it fails, that object may stay live.
const std::map<std::string, std::string>& Releases() {
  static const std::map<std::string, std::string> releases = {
      {"FreeContextBuffer", "buffer"}, {"CloseHandle", "token"},           {"DeleteSecurityContext", "context"},
      {"FreeCredentialsHandle", "credential"}, {"LocalFree", "local"},     {"FreeSid", "sid"},
      {"AuthzFreeContext", "authz-context"},   {"AuthzFreeResourceManager", "resource-manager"},
      {"RegCloseKey", "key"},                  {"NetApiBufferFree", "net-buffer"}};
  return releases;
}

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", code);
  return text;
}

// The results the documentation allows when a platform call fails with `code`, besides the good one.
bool Documented(const Operation& op, const std::string& good, const std::string& got, uint32_t code) {
  if (got == good) return true;
  if (op.family == Family::WinUtil)
    return got == "ok:<null>" || got == "ok:" + std::to_string(code) ||
           got == "WinException: Failed to resolve common app data path";
  if (got == "WinAuthException: Platform error: " + Hex(code)) return true;
  if (op.family == Family::Load) return got == "WinAuthException: Not initialized";
  // A report shows a failed query in its text.
  return std::string(op.name) == "GetContextInformation" && got.rfind("ok:Type: server\nState: success\n", 0) == 0;
}

// True when `lock` can be taken by another thread within a few seconds: probed with the family's
// FreeHandle of a handle that names nothing, which takes the lock and touches nothing else.
bool LockFree(void (*freeHandle)(JNIEnv*, jclass, jint)) {
  auto probe = std::make_shared<std::promise<void>>();
  std::future<void> done = probe->get_future();
  std::thread([probe, freeHandle] {
    freeHandle(nullptr, nullptr, 0);
    probe->set_value();
  }).detach();
  return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

std::map<std::string, int> Difference(const std::map<std::string, int>& before, const std::map<std::string, int>& after) {
  std::map<std::string, int> difference = after;
  for (const auto& [kind, count] : before) difference[kind] -= count;
  for (auto it = difference.begin(); it != difference.end();) it = it->second == 0 ? difference.erase(it) : std::next(it);
  return difference;
}

// One run of `op`: set-up on a fresh world, then `arm` just before the operation and `disarm`
// just after it. Returns the outcome after checking everything but its value.
struct SweepRun {
  Outcome outcome;
  std::vector<winhost::Call> journal;
  long allocations = 0;
};

// The calling thread's effective uid as the kernel has it (identity switches are per thread).
uid_t EffectiveUid() {
  uid_t real, effective, saved;
  syscall(SYS_getresuid, &real, &effective, &saved);
  return effective;
}
const uid_t ownUid = EffectiveUid();

SweepRun RunOnce(const Operation& op, const std::function<void()>& arm, const std::function<void()>& disarm,
            const std::string& label, const std::string& mayLeak, bool mayStayClient) {
  winhost::Reset();
  const std::map<std::string, int> before = winhost::LiveCounts();
  Session session;
  Fixture fixture;
  op.setUp(session, fixture);
  // A membership test that stops before its own impersonation leaves one begun before it as it was.
  const bool keepsImpersonation = std::string(op.name) == "IsGroupMember impersonating" && winhost::ThreadIdentity();
  winhost::ClearJournal();
  SweepRun run;
  const long allocationsBefore = quentrel_test_FailAllocation(0);
  arm();
  run.outcome = op.run(session, fixture);
  disarm();
  run.allocations = quentrel_test_FailAllocation(0) - allocationsBefore;
  run.journal = winhost::Journal();
  winhost::ClearFaults();

  EXPECT_EQ(session.jvm().HeldElements(), 0u) << label << ": a Java array or string was left pinned";
  const std::vector<std::string> misuse = session.jvm().TakeViolations();
  EXPECT_TRUE(misuse.empty()) << label << ": " << misuse.front();
  EXPECT_FALSE(session.jvm().Pending().has_value()) << label;
  EXPECT_TRUE(LockFree(Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle)) << label << ": the SSPI lock is held";
  EXPECT_TRUE(LockFree(Java_com_tarvex_pelk_quentrel_UserAuth_FreeHandle)) << label << ": the UserAuth lock is held";
  // Only a started impersonation may outlast its call, and a revert that failed and said so.
  const bool reportedRevert = mayStayClient && run.outcome.text.find("Platform error") != std::string::npos;
  // The kernel agrees with the host: a thread the host counts as itself has its own ids.
  if (!winhost::ThreadIdentity()) {
    EXPECT_EQ(EffectiveUid(), ownUid) << label << ": the thread's ids are not its own with " << run.outcome.text;
  }
  if (winhost::ThreadIdentity()) {
    EXPECT_TRUE(reportedRevert || keepsImpersonation || (std::string(op.name) == "StartImpersonating" && run.outcome.ok()))
        << label << ": the thread was left as " << *winhost::ThreadIdentity() << " with " << run.outcome.text;
  }

  for (int handle : {fixture.client, fixture.server}) session.FreeHandle(handle);
  session.FreeUserHandle(fixture.user);
  for (int handle : fixture.made) handle > 0 ? session.FreeHandle(handle) : session.FreeUserHandle(-handle);
  EXPECT_EQ(session.jvm().LiveReferences(), 0u) << label;
  // Freeing an impersonating server context reverts the thread.
  if (!winhost::ThreadIdentity()) {
    EXPECT_EQ(EffectiveUid(), ownUid) << label << ": ids not its own after everything was freed";
  }
  if (winhost::ThreadIdentity()) {
    EXPECT_TRUE(reportedRevert) << label << ": still " << *winhost::ThreadIdentity() << " after everything was freed";
    RevertToSelf();
  }
  // A load whose set-up failed has no resource manager: a clean unload and load puts back the
  // state every run starts from.
  if (op.family == Family::Load) {
    quentrel_test_DllMain(DLL_PROCESS_DETACH);
    quentrel_test_DllMain(DLL_PROCESS_ATTACH);
  }
  std::map<std::string, int> leaked = Difference(before, winhost::LiveCounts());
  if (!mayLeak.empty() && leaked[mayLeak] == 1) leaked.erase(mayLeak);
  leaked.erase(mayLeak);
  EXPECT_TRUE(leaked.empty()) << label << ": still held: " << leaked.begin()->first << " " << leaked.begin()->second;
  return run;
}

void NoChange() {}

// What the sweep did, checked and reported once every operation has run.
struct Totals {
  int operations = 0;
  int platformRuns = 0;
  int allocationRuns = 0;
  std::set<std::string> failed;
} totals;

class SweepReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (totals.platformRuns == 0) return;  // a filtered run
    std::printf("sweep: %d operations, %d runs with a platform call failing (%zu functions), %d with a native "
                "allocation failing\n",
                totals.operations, totals.platformRuns, totals.failed.size(), totals.allocationRuns);
    // The calls that once went untested, and the machine's own services under each world's
    // operations: each must have been made to fail somewhere.
    const std::vector<const char*> simulated = {
        "FreeContextBuffer", "CloseHandle", "RevertToSelf", "RevertSecurityContext", "DeleteSecurityContext",
        "FreeCredentialsHandle", "LocalFree", "EqualSid", "AuthzFreeContext", "IsWow64Process", "GetProcAddress",
        "RegQueryValueExW", "RegSetValueExW", "_waccess", "_wstat", "NetApiBufferFree", "FreeSid",
        "AuthzFreeResourceManager", "AuthzInitializeResourceManager"};
    const std::vector<const char*> realm = {
        "gss_acquire_cred", "gss_import_name", "gss_init_sec_context", "gss_accept_sec_context", "gss_wrap_iov",
        "krb5_rd_req", "krb5_k_decrypt_iov", "gss_inquire_cred", "gss_display_name", "krb5_aname_to_localname",
        "gss_get_name_attribute", "gss_acquire_cred_from", "krb5_cc_store_cred",
        "gss_acquire_cred_with_password"};
    const std::vector<const char*> machine = {"getpwnam_r", "sqlite3_open_v2", "sqlite3_exec", "sqlite3_step"};
    const std::vector<const char*> controllers = {
        "res_nquery", "krb5_get_init_creds_keytab", "ldap_initialize", "ldap_sasl_interactive_bind_s",
        "ldap_search_ext_s", "gss_acquire_cred_from", "gss_acquire_cred_impersonate_name", "gss_get_name_attribute"};
    const std::vector<const char*> winbind = {"wbcCtxDomainInfo", "wbcCtxLookupName", "wbcCtxLookupSid",
                                              "wbcCtxLookupUserSids"};
    const std::vector<const char*>& expected = !SystemWorld()              ? simulated
                                               : DomainSweep() == "winbind" ? winbind
                                               : InDomain()                 ? controllers
                                               : InRealm()                  ? realm
                                                                            : machine;
    for (const char* function : expected)
      EXPECT_EQ(totals.failed.count(function), 1u) << function << " was never made to fail";
  }
};
const auto* const report = ::testing::AddGlobalTestEnvironment(new SweepReport);

// The system world's registry store and application data folder, in a folder of the sweep's own
// that goes away afterwards, unless the environment names others.
class ScratchStore : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!SystemWorld()) return;
    std::string folder = (std::filesystem::temp_directory_path() / "quentrel-sweep-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    folder_ = folder;
    setenv("QUENTREL_REGISTRY", (folder_ / "registry.db").c_str(), 0);
    setenv("QUENTREL_COMMON_APPDATA", (folder_ / "ProgramData").c_str(), 0);
    std::filesystem::create_directory(folder_ / "ProgramData");
  }
  void TearDown() override {
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

 private:
  std::filesystem::path folder_;
};
const auto* const scratch = ::testing::AddGlobalTestEnvironment(new ScratchStore);

// On the machine's own services, SSPI needs a realm, and the accounts and groups come from the
// system tests' NSS files, which a realm's process goes without: inside a realm the sweep runs the
// security packages, outside it everything else.
// Kerberos ends its exchange in two legs: the client has no third token for an "Accept last".
bool RunsHere(const Operation& op) {
  if (InDomain()) return op.family == Family::UserAuth || std::string(op.name) == "GetUserSID";
  if (InRealm() && std::string(op.name) == "Accept last") return false;
  if (op.needsRealm && !InRealm()) return false;
  return !SystemWorld() || (op.family == Family::Sspi) == InRealm();
}

// The world is the host the driver is linked with: quentrel_sweep the simulated one,
// quentrel_sweep_system the system world's test host.
class FaultSweep : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    if (!RunsHere(op()))
      GTEST_SKIP() << (InDomain() ? "runs outside the domain" : InRealm() ? "runs outside the realm" : "needs a Kerberos realm");
  }
  const Operation& op() const { return Operations()[GetParam()]; }
};

// Each call of the good run's journal, at each of its occurrences, made to fail once.
TEST_P(FaultSweep, EachPlatformCallFailing) {
  const SweepRun good = RunOnce(op(), NoChange, NoChange, std::string(op().name) + " (good run)", "", false);
  ASSERT_TRUE(good.outcome.ok()) << op().name << ": " << good.outcome.text;
  ++totals.operations;
  std::map<std::string, int> seen;
  for (const winhost::Call& call : good.journal) {
    const int occurrence = seen[call.function]++;
    const uint32_t code = FaultCode(call.function);
    const std::string label = std::string(op().name) + " with " + call.function + " #" + std::to_string(occurrence + 1) +
                              " failing";
    auto release = Releases().find(call.function);
    const bool reverting = call.function == "RevertToSelf" || call.function == "RevertSecurityContext";
    const SweepRun run = RunOnce(
        op(), [&] { winhost::Fail(call.function, code, occurrence); }, NoChange, label,
        release == Releases().end() ? "" : release->second, reverting);
    // A call of the machine's own services (getpwnam_r, getaddrinfo, gss_*: lower-case names) fails
    // with an errno or a status of its own, which the system world maps to Windows' code for the
    // same failure, or answers around as the platform would; any such result is the world's.
    const bool machineCall = std::islower(static_cast<unsigned char>(call.function[0])) != 0;
    const std::string& got = run.outcome.text;
    const bool mapped = machineCall && (run.outcome.ok() || got.rfind("WinAuthException: Platform error: ", 0) == 0 ||
                                        got == "UserNotFoundException: " || got == "GroupNotFoundException: ");
    EXPECT_TRUE(mapped || Documented(op(), good.outcome.text, got, code)) << label << " gave " << got;
    ++totals.platformRuns;
    totals.failed.insert(call.function);
  }
}

// Each native allocation of the good run made to fail once: OutOfMemoryError and nothing held.
TEST_P(FaultSweep, EachNativeAllocationFailing) {
  const SweepRun good = RunOnce(op(), NoChange, NoChange, std::string(op().name) + " (good run)", "", false);
  ASSERT_TRUE(good.outcome.ok()) << op().name << ": " << good.outcome.text;
  for (long nth = 1; nth <= good.allocations; ++nth) {
    const std::string label = std::string(op().name) + " with allocation " + std::to_string(nth) + " failing";
    const SweepRun run = RunOnce(
        op(), [nth] { quentrel_test_FailAllocation(nth); }, [] { quentrel_test_FailAllocation(0); }, label, "", false);
    const std::string& got = run.outcome.text;
    // The count varies a little from run to run (the table keeps its capacity), so the failure
    // may not come; then the call must simply work.
    const bool fired = run.allocations >= nth;
    const bool documented = (!fired && got == good.outcome.text) || got == "OutOfMemoryError: Native memory exhausted" ||
                            (op().family == Family::Load && (got == good.outcome.text || got == "WinAuthException: Not initialized")) ||
                            (std::string(op().name) == "GetHKLMStringRegValue" && got == "ok:<null>");
    EXPECT_TRUE(documented) << label << " gave " << got;
    ++totals.allocationRuns;
  }
}

// A server context's client token is made on the context's first request and serves every later
// one, as a context's token is made once at logon: a mapping that fails afterwards changes nothing
// for it, and a new context makes a token of its own.
TEST(ClientToken, IsMadeOnceForItsContext) {
  if (!InRealm()) GTEST_SKIP() << "needs a Kerberos realm";
  Session s;
  Fixture first, second;
  Pair(s, first);
  Pair(s, second);
  winhost::ClearJournal();
  const std::string member = s.IsGroupMember(first.server, u"BUILTIN\\Users").text;
  ASSERT_EQ(member, "ok:true") << "alice maps to an account of this machine";
  const size_t lookups = winhost::JournalOf("getpwnam_r").size();
  EXPECT_GT(lookups, 0u) << "the token names the client's account";
  winhost::Fail("krb5_aname_to_localname", 1, 0, true);  // any krb5 error: no local account
  EXPECT_EQ(s.IsGroupMember(first.server, u"BUILTIN\\Users").text, member);
  EXPECT_EQ(s.StartImpersonating(first.server).text, "ok:");
  EXPECT_EQ(s.StopImpersonating(first.server).text, "ok:");
  EXPECT_EQ(winhost::JournalOf("krb5_aname_to_localname").size(), 1u);
  EXPECT_EQ(winhost::JournalOf("getpwnam_r").size(), lookups) << "NSS asked again for the same client";
  // Mapped to no account, the other context's client is in no local group.
  EXPECT_EQ(s.IsGroupMember(second.server, u"BUILTIN\\Users").text, "ok:false");
  EXPECT_EQ(winhost::JournalOf("krb5_aname_to_localname").size(), 2u);
  winhost::ClearFaults();
  for (int handle : {first.client, first.server, second.client, second.server}) s.FreeHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::Range<size_t>(0, Operations().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name;
                           for (char c : std::string(Operations()[info.param].name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

}  // namespace
