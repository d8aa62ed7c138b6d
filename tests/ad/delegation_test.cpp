// The second hop in the throwaway domain (tests/ad/with-domain.sh), through the Java classes on a
// real JVM and the system world's packages over MIT's GSSAPI: alice authenticates to a service A
// of this process, and A authenticates onward to a back end B, impersonating her or not, with the
// ticket she forwarded or through constrained delegation. B is another server context of this
// process, with the back end's keytab; for HTTP, the tool's own server in a process of its own.
// Runs as root, which may act as another account.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "harness/jvm/api.h"
#include "winhost/control.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

jvm::JString W(const std::string& utf8) { return winhost::Wide(utf8); }

int Shell(const std::string& command) { return std::system(command.c_str()); }

// The JDK resolves the domain's host names from the domain's hosts file; set before the JVM starts.
const bool kHostsFile = [] {
  return setenv("QUENTREL_TEST_JVM_OPTION", ("-Djdk.net.hosts.file=" + Env("AD_HOSTS")).c_str(), 0) == 0;
}();

// A's service as alice names it, and A's keytab.
struct Service {
  const char* target;
  std::string keytab;
};
// The environment's keytab, before any test changes it.
const std::string kWebKeytab = Env("KRB5_KTNAME");
Service Web() { return {"HTTP/localhost", kWebKeytab}; }
Service Proxy() { return {"HTTP/proxy.samdom.test", Env("AD_PROXY_KEYTAB")}; }

// The keytab of a service the second hop goes to.
std::string KeytabOf(const std::string& target) {
  if (target == "HTTP/backend.samdom.test") return Env("AD_BACKEND_KEYTAB");
  return target == Proxy().target ? Proxy().keytab : Web().keytab;
}

const int kMutual = ISC_REQ_MUTUAL_AUTH;
const int kDelegate = ISC_REQ_DELEGATE | ISC_REQ_MUTUAL_AUTH;

int Delegated() {
  auto live = winhost::LiveCounts();
  auto it = live.find("delegated-credential");
  return it == live.end() ? 0 : it->second;
}

// Files that hold tickets: none may appear for what a client delegated.
std::set<std::string> TicketFiles() {
  std::set<std::string> files;
  for (const std::string& folder : {std::string("/tmp"), Env("AD_DIR")})
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.path().filename().string().rfind("krb5cc", 0) == 0) files.insert(entry.path().string());
  return files;
}

class Delegation : public JvmTest {
 protected:
  static void SetUpTestSuite() {
    aliceCache = Env("KRB5CCNAME");
    // The process's own identity is the web service's account, with a ticket from its keytab.
    ownCache = "FILE:" + Env("AD_DIR") + "/own-ccache";
    ASSERT_EQ(Shell("kinit -k -t " + Env("KRB5_KTNAME") + " -c " + ownCache + " websvc"), 0);
    setenv("KRB5CCNAME", ownCache.c_str(), 1);
  }
  void SetUp() override {
    JvmTest::SetUp();
    jvm::PackageClass("SSPI");  // the library is loaded before what it holds is counted
    held = winhost::LiveCounts();
    files = TicketFiles();
  }
  void TearDown() override {
    setenv("KRB5CCNAME", ownCache.c_str(), 1);
    setenv("KRB5_KTNAME", Web().keytab.c_str(), 1);
    unsetenv("QUENTREL_DELEGATION");
    EXPECT_EQ(winhost::LiveCounts(), held);
    EXPECT_EQ(TicketFiles(), files);
    JvmTest::TearDown();
  }

  // The first token of alice's client context for `service`, from her own cache.
  static Outcome<int> AliceTo(const Service& service, const std::string& package, int flags,
                              const std::string& cache = aliceCache) {
    setenv("KRB5CCNAME", cache.c_str(), 1);
    auto client = api::sspi::CreateContext(true, flags, W(package), W(service.target));
    setenv("KRB5CCNAME", ownCache.c_str(), 1);
    return client;
  }

  // A server context of `keytab` that has accepted the client's first token; the client takes
  // the server's answer when it needs one.
  static int Accepted(int client, const std::string& package, const std::string& keytab) {
    setenv("KRB5_KTNAME", keytab.c_str(), 1);
    auto server = api::sspi::CreateContext(false, 0, W(package), std::nullopt);
    EXPECT_TRUE(server.ok()) << server;
    auto done = api::sspi::Accept(server.value, api::sspi::GetChallengeToken(client).value);
    EXPECT_TRUE(done.ok() && done.value) << done;
    if (!api::sspi::GetNegotiatedAttributes(client).ok()) {
      EXPECT_TRUE(api::sspi::Initialize(client, api::sspi::GetChallengeToken(server.value).value).ok());
    }
    setenv("KRB5_KTNAME", Web().keytab.c_str(), 1);
    return server.value;
  }

  // B's name for the client of a second-hop context, or the failure of making it.
  static std::string AtTheBackEnd(const Outcome<int>& hop, const std::string& package, const std::string& target) {
    if (!hop.ok()) return hop.Failure();
    const int backend = Accepted(hop.value, package, KeytabOf(target));
    const std::string name = Utf8(api::sspi::GetClientUserName(backend).value);
    api::sspi::FreeHandle(backend);
    return name;
  }

  static std::string aliceCache, ownCache;
  std::map<std::string, int> held;
  std::set<std::string> files;
};
std::string Delegation::aliceCache, Delegation::ownCache;

struct Hop {
  const char* what;
  const char* package;
  Service service;    // A
  int flags;          // alice's request
  bool forwards;      // whether her ticket-granting ticket reaches A
  bool kept;          // whether A keeps a credential of hers
  bool impersonate;   // whether A acts as alice for the second hop
  const char* target;
  const char* want;   // B's name for the second hop's client, or the failure
};

TEST_F(Delegation, TheSecondHopGoesAsTheClientWhenSheDelegatedOrTheServiceMayDelegate) {
  const char* backend = "HTTP/backend.samdom.test";
  const Hop hops[] = {
      {"forwarded ticket", "Kerberos", Web(), kDelegate, true, true, true, backend, "SAMDOM\\alice"},
      {"forwarded ticket, Negotiate", "Negotiate", Web(), kDelegate, true, true, true, backend, "SAMDOM\\alice"},
      {"forwarded ticket, to another service", "Negotiate", Web(), kDelegate, true, true, true, "HTTP/proxy.samdom.test",
       "SAMDOM\\alice"},
      {"without impersonation, the process", "Kerberos", Web(), kDelegate, true, true, false, backend, "SAMDOM\\websvc"},
      // The web service may delegate her forwarded ticket, but constrained delegation to nothing.
      {"no forwarded ticket, no constrained delegation", "Kerberos", Web(), kMutual, false, true, true, backend,
       "WinAuthException: Platform error: 8009035e"},
      {"constrained delegation", "Kerberos", Proxy(), kMutual, false, true, true, backend, "SAMDOM\\alice"},
      {"constrained delegation, Negotiate", "Negotiate", Proxy(), kMutual, false, true, true, backend, "SAMDOM\\alice"},
      // Asking to delegate changes nothing where the KDC does not mark the service ok-as-delegate.
      {"constrained delegation, delegation asked", "Kerberos", Proxy(), kDelegate, false, true, true, backend,
       "SAMDOM\\alice"},
      {"constrained delegation, a target not allowed", "Kerberos", Proxy(), kMutual, false, true, true,
       "HTTP/web.samdom.test", "WinAuthException: Platform error: 8009035e"},
      {"constrained delegation, without impersonation", "Kerberos", Proxy(), kMutual, false, true, false, backend,
       "SAMDOM\\websvc"},
  };
  for (const Hop& hop : hops) {
    SCOPED_TRACE(hop.what);
    auto alice = AliceTo(hop.service, hop.package, hop.flags);
    ASSERT_TRUE(alice.ok()) << alice;
    const int a = Accepted(alice.value, hop.package, hop.service.keytab);
    EXPECT_EQ(Utf8(api::sspi::GetClientUserName(a).value), "SAMDOM\\alice");
    EXPECT_EQ((api::sspi::GetNegotiatedAttributes(alice.value).value & ISC_RET_DELEGATE) != 0, hop.forwards);
    EXPECT_EQ((api::sspi::GetNegotiatedAttributes(a).value & ASC_RET_DELEGATE) != 0, hop.forwards);
    EXPECT_EQ(Delegated(), hop.kept ? 1 : 0);
    if (hop.impersonate) {
      ASSERT_TRUE(api::sspi::StartImpersonating(a).ok());
    }
    auto second = api::sspi::CreateContext(true, kMutual, W(hop.package), W(hop.target));
    if (hop.impersonate) {
      ASSERT_TRUE(api::sspi::StopImpersonating(a).ok());
    }
    EXPECT_EQ(AtTheBackEnd(second, hop.package, hop.target), hop.want);
    if (second.ok()) api::sspi::FreeHandle(second.value);
    api::sspi::FreeHandle(alice.value);
    api::sspi::FreeHandle(a);
    EXPECT_EQ(Delegated(), 0) << "released at FreeHandle";
  }
}

// An account marked sensitive and cannot be delegated gets no forwardable ticket: a service it
// signs on to keeps nothing of it, whether it asked to delegate or the service may delegate by
// itself, and the second hop fails with the status of a client with no credentials.
TEST_F(Delegation, ASensitiveAccountGoesNoFurtherThanTheFirstService) {
  const std::string cache = "FILE:" + Env("AD_DIR") + "/bob-ccache";
  ASSERT_EQ(Shell("echo \"$AD_PASSWORD\" | kinit -f -c " + cache + " bob >/dev/null"), 0);
  for (const Service& service : {Web(), Proxy()}) {
    SCOPED_TRACE(service.target);
    auto bob = AliceTo(service, "Kerberos", kDelegate, cache);
    ASSERT_TRUE(bob.ok()) << bob;
    const int a = Accepted(bob.value, "Kerberos", service.keytab);
    EXPECT_EQ(Utf8(api::sspi::GetClientUserName(a).value), "SAMDOM\\bob");
    EXPECT_EQ(api::sspi::GetNegotiatedAttributes(a).value & ASC_RET_DELEGATE, 0);
    EXPECT_EQ(Delegated(), 0) << "a sensitive account's ticket kept";
    ASSERT_TRUE(api::sspi::StartImpersonating(a).ok());
    auto second = api::sspi::CreateContext(true, kMutual, W("Kerberos"), W("HTTP/backend.samdom.test"));
    ASSERT_TRUE(api::sspi::StopImpersonating(a).ok());
    EXPECT_EQ(second.Failure(), "WinAuthException: Platform error: 8009030e");
    if (second.ok()) api::sspi::FreeHandle(second.value);
    api::sspi::FreeHandle(bob.value);
    api::sspi::FreeHandle(a);
  }
  Shell("kdestroy -c " + cache);
}

// What a site's setting lets a server context keep: where it keeps nothing, the context does not
// report the delegation and the impersonating thread has no credentials, rather than the process's.
TEST_F(Delegation, TheSiteSettingDecidesWhatIsKept) {
  struct Case {
    const char* setting;
    Service service;
    int flags;
    bool kept;
    const char* want;
  } cases[] = {
      {"off", Web(), kDelegate, false, "WinAuthException: Platform error: 8009030e"},
      {"off", Proxy(), kMutual, false, "WinAuthException: Platform error: 8009030e"},
      {"forwarded", Web(), kDelegate, true, "SAMDOM\\alice"},
      {"forwarded", Proxy(), kMutual, false, "WinAuthException: Platform error: 8009030e"},
      {"on", Proxy(), kMutual, true, "SAMDOM\\alice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " " + c.service.target);
    setenv("QUENTREL_DELEGATION", c.setting, 1);
    auto alice = AliceTo(c.service, "Kerberos", c.flags);
    ASSERT_TRUE(alice.ok()) << alice;
    const int a = Accepted(alice.value, "Kerberos", c.service.keytab);
    EXPECT_EQ((api::sspi::GetNegotiatedAttributes(a).value & ASC_RET_DELEGATE) != 0, c.kept && c.flags == kDelegate);
    EXPECT_EQ(Delegated(), c.kept ? 1 : 0);
    ASSERT_TRUE(api::sspi::StartImpersonating(a).ok());
    auto second = api::sspi::CreateContext(true, kMutual, u"Kerberos", W("HTTP/backend.samdom.test"));
    ASSERT_TRUE(api::sspi::StopImpersonating(a).ok());
    EXPECT_EQ(AtTheBackEnd(second, "Kerberos", "HTTP/backend.samdom.test"), c.want);
    if (second.ok()) api::sspi::FreeHandle(second.value);
    api::sspi::FreeHandle(alice.value);
    api::sspi::FreeHandle(a);
  }
}

// A client context made while impersonating holds the credential it uses: the server context can
// go first, and the credential goes with the last of them.
TEST_F(Delegation, TheCredentialLivesAsLongAsItsLastUser) {
  for (const Service& service : {Web(), Proxy()}) {
    auto alice = AliceTo(service, "Kerberos", kDelegate);
    ASSERT_TRUE(alice.ok()) << alice;
    const int a = Accepted(alice.value, "Kerberos", service.keytab);
    ASSERT_TRUE(api::sspi::StartImpersonating(a).ok());
    auto second = api::sspi::CreateContext(true, kMutual, u"Kerberos", W("HTTP/backend.samdom.test"));
    ASSERT_TRUE(second.ok()) << second;
    // Freed while the thread still acts as alice: the thread comes back, the credential stays.
    api::sspi::FreeHandle(a);
    api::sspi::FreeHandle(alice.value);
    EXPECT_EQ(Delegated(), 1) << service.target;
    EXPECT_EQ(AtTheBackEnd(second, "Kerberos", "HTTP/backend.samdom.test"), "SAMDOM\\alice") << service.target;
    api::sspi::FreeHandle(second.value);
    EXPECT_EQ(Delegated(), 0) << service.target;
  }
}

// The tool's own server as the back end, in a process of its own with the back end's keytab.
class BackEnd {
 public:
  BackEnd() {
    int pipe[2];
    if (::pipe(pipe) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipe[1], 1);
      dup2(pipe[1], 2);
      close(pipe[0]);
      setenv("KRB5_KTNAME", Env("AD_BACKEND_KEYTAB").c_str(), 1);
      const std::string java = Env("QUENTREL_TOOL_JAVA"), jar = Env("QUENTREL_TOOL_JAR");
      execl(java.c_str(), java.c_str(), "-Xcheck:jni", "-jar", jar.c_str(), "serve", "--port", "0", nullptr);
      _exit(127);
    }
    close(pipe[1]);
    out_ = fdopen(pipe[0], "r");
    char line[4096];
    while (out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr) {
      log_ += line;
      const char* at = std::strstr(line, "listening on port ");
      if (at != nullptr) {
        port_ = std::atoi(at + std::strlen("listening on port "));
        break;
      }
    }
  }
  ~BackEnd() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ != nullptr) fclose(out_);
  }
  int port() const { return port_; }
  const std::string& log() const { return log_; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  int port_ = 0;
  std::string log_;
};

TEST_F(Delegation, NegotiateClientInsideImpersonateReachesTheBackEndAsTheClient) {
  BackEnd backend;
  ASSERT_NE(backend.port(), 0) << backend.log();
  const std::string url = "http://backend.samdom.test:" + std::to_string(backend.port()) + "/";
  JNIEnv* env = jvm::Env();
  jclass hop = env->FindClass("SecondHop");
  ASSERT_NE(hop, nullptr);
  jmethodID get = env->GetStaticMethodID(hop, "get", "(Ljava/lang/String;[BLjava/lang/String;Z)Ljava/lang/String;");
  ASSERT_NE(get, nullptr);
  struct Case {
    Service service;
    int flags;
    bool impersonate;
    const char* want;
  } cases[] = {
      {Web(), kDelegate, true, "\"name\":\"SAMDOM\\\\alice\""},
      {Proxy(), kMutual, true, "\"name\":\"SAMDOM\\\\alice\""},
      {Web(), kDelegate, false, "\"name\":\"SAMDOM\\\\websvc\""},
  };
  for (const Case& c : cases) {
    auto alice = AliceTo(c.service, "Negotiate", c.flags);
    ASSERT_TRUE(alice.ok()) << alice;
    auto token = api::sspi::GetChallengeToken(alice.value);
    setenv("KRB5_KTNAME", c.service.keytab.c_str(), 1);
    env->PushLocalFrame(8);
    auto answer = jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(
                                         hop, get, jvm::ToJava(env, W("Negotiate")), jvm::ToJava(env, token.value),
                                         jvm::ToJava(env, W(url)), c.impersonate ? JNI_TRUE : JNI_FALSE)));
    env->PopLocalFrame(nullptr);
    setenv("KRB5_KTNAME", Web().keytab.c_str(), 1);
    const std::string text = Utf8(answer);
    EXPECT_EQ(text.rfind("200 ", 0), 0u) << c.service.target << ": " << text;
    EXPECT_NE(text.find(c.want), std::string::npos) << c.service.target << ": " << text;
    api::sspi::FreeHandle(alice.value);
  }
  // A handler that left her scope open: the next request's hop is the service's, not hers.
  jmethodID afterLeak = env->GetStaticMethodID(hop, "afterLeak", "(Ljava/lang/String;[BLjava/lang/String;)Ljava/lang/String;");
  ASSERT_NE(afterLeak, nullptr);
  auto alice = AliceTo(Web(), "Negotiate", kDelegate);
  ASSERT_TRUE(alice.ok()) << alice;
  auto token = api::sspi::GetChallengeToken(alice.value);
  env->PushLocalFrame(8);
  auto answer = jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(
                                       hop, afterLeak, jvm::ToJava(env, W("Negotiate")), jvm::ToJava(env, token.value),
                                       jvm::ToJava(env, W(url)))));
  env->PopLocalFrame(nullptr);
  const std::string text = Utf8(answer);
  EXPECT_EQ(text.rfind("200 ", 0), 0u) << text;
  EXPECT_NE(text.find("\"name\":\"SAMDOM\\\\websvc\""), std::string::npos) << text;
  api::sspi::FreeHandle(alice.value);
  env->DeleteLocalRef(hop);
}

// A second hop that cannot be served fails with the Windows status, and the client helper's words
// say which reason applies, from what the client's token holds.
TEST_F(Delegation, TheClientHelperSaysWhyASecondHopCannotBeServed) {
  BackEnd backend;
  ASSERT_NE(backend.port(), 0) << backend.log();
  const std::string url = "http://backend.samdom.test:" + std::to_string(backend.port()) + "/";
  JNIEnv* env = jvm::Env();
  jclass hop = env->FindClass("SecondHop");
  ASSERT_NE(hop, nullptr);
  jmethodID get = env->GetStaticMethodID(hop, "get", "(Ljava/lang/String;[BLjava/lang/String;Z)Ljava/lang/String;");
  ASSERT_NE(get, nullptr);
  struct Case {
    const char* user;
    int flags;
    std::vector<const char*> wants;
    std::vector<const char*> never;
  } cases[] = {
      // bob's account is marked sensitive, so his ticket is not forwardable: nothing is kept of him,
      // and his domain says why, leaving no other reason open.
      {"bob", kDelegate, {"Platform error: 8009030e", "SAMDOM\\bob is sensitive and cannot be delegated"},
       {"Credential Guard", "Protected Users"}},
      // erin is in Protected Users: her tickets are not forwardable either, so nothing is kept of her.
      {"erin", kDelegate, {"Platform error: 8009030e", "SAMDOM\\erin is in Protected Users"}, {"sensitive"}},
      // alice forwarded nothing, so the web service tries constrained delegation, which it may not;
      // her account may be delegated, so that is the one reason.
      {"alice", kMutual, {"Platform error: 8009035e", "msDS-AllowedToDelegateTo"}, {"sensitive", "Protected Users"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    std::string cache = aliceCache;
    if (std::string(c.user) != "alice") {
      cache = "FILE:" + Env("AD_DIR") + "/" + c.user + "-ccache";
      ASSERT_EQ(Shell("echo \"$AD_PASSWORD\" | kinit -f -c " + cache + " " + c.user + " >/dev/null"), 0);
    }
    auto client = AliceTo(Web(), "Negotiate", c.flags, cache);
    ASSERT_TRUE(client.ok()) << client;
    auto token = api::sspi::GetChallengeToken(client.value);
    env->PushLocalFrame(8);
    auto answer = jvm::FromJava(env, static_cast<jstring>(env->CallStaticObjectMethod(
                                         hop, get, jvm::ToJava(env, W("Negotiate")), jvm::ToJava(env, token.value),
                                         jvm::ToJava(env, W(url)), JNI_TRUE)));
    env->PopLocalFrame(nullptr);
    const std::string text = Utf8(answer);
    EXPECT_EQ(text.rfind("NegotiateException: ", 0), 0u) << text;
    for (const char* want : c.wants) EXPECT_NE(text.find(want), std::string::npos) << want << " in " << text;
    for (const char* wrong : c.never) EXPECT_EQ(text.find(wrong), std::string::npos) << wrong << " in " << text;
    api::sspi::FreeHandle(client.value);
    if (cache != aliceCache) Shell("kdestroy -c " + cache);
  }
  env->DeleteLocalRef(hop);
}

// The doctor tells a service trusted for delegation from one that is not.
TEST_F(Delegation, TheDoctorSaysWhetherTheServiceIsTrustedForDelegation) {
  const std::string erinCache = "FILE:" + Env("AD_DIR") + "/erin-doctor-ccache";
  const std::string bobCache = "FILE:" + Env("AD_DIR") + "/bob-doctor-ccache";
  ASSERT_EQ(Shell("echo \"$AD_PASSWORD\" | kinit -f -c " + erinCache + " erin >/dev/null"), 0);
  ASSERT_EQ(Shell("echo \"$AD_PASSWORD\" | kinit -f -c " + bobCache + " bob >/dev/null"), 0);
  struct Case {
    std::string keytab;
    std::string cache;
    const char* want;
  } cases[] = {{Web().keytab, aliceCache, "trusted for delegation: yes"},
               {Proxy().keytab, aliceCache, "trusted for delegation: no"},
               // A client that never forwards says nothing of the service: the doctor tells why.
               {Web().keytab, erinCache, "this client, SAMDOM\\erin, is in Protected Users"},
               {Web().keytab, bobCache, "this client, SAMDOM\\bob, is sensitive and cannot be delegated"}};
  for (const Case& c : cases) {
    const std::string out = Env("AD_DIR") + "/doctor.out";
    Shell("KRB5CCNAME=" + c.cache + " KRB5_KTNAME=" + c.keytab + " " + Env("QUENTREL_TOOL_JAVA") +
        " -Xcheck:jni -jar " + Env("QUENTREL_TOOL_JAR") + " doctor >" + out + " 2>&1");
    std::ifstream file(out);
    const std::string report((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(report.find(c.want), std::string::npos) << report;
    EXPECT_NE(report.find("delegated credentials: kept with their server context, in memory, with evidence"), std::string::npos);
    EXPECT_EQ(report.find("WARNING"), std::string::npos) << report;
  }
  Shell("kdestroy -c " + erinCache);
  Shell("kdestroy -c " + bobCache);
}

}  // namespace
