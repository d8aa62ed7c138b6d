// Server sign-ons through the library's entry points against the same sign-ons made with GSSAPI
// alone, native only (no JVM): the client's tokens are made first by GSSAPI directly (one fresh
// context each, so that the replay cache takes every one), then each is accepted as a server does
// it: create the server context, accept the token, ask the client's name, free.
//
//   signon_profile PACKAGE compare [N] [groups]
//                                        alternating batches of N sign-ons of the library and of
//                                        GSSAPI; the median CPU time of each step of both. With
//                                        "groups" each sign-on also asks whether the client is in
//                                        three groups, as a server declares them: the library
//                                        through its client's token, GSSAPI as a C server finds a
//                                        client's groups once (gss_localname, then NSS's account
//                                        and group list)
//   signon_profile PACKAGE threads [N]   sign-ons of 1, 2 and 4 threads at once, N a round over all
//                                        threads, each thread on tokens of its own: the library's
//                                        and GSSAPI's in alternating rounds; the medians of the
//                                        rate (wall clock), the rate per core and the CPU time of
//                                        all threads a sign-on; then the rate of krb5 contexts
//                                        made and freed on as many threads, which bounds both
//   signon_profile PACKAGE library [N]   N sign-ons of the library alone, for a profiler
//   signon_profile PACKAGE direct [N]    N sign-ons of GSSAPI alone, for a profiler
//
// PACKAGE is Kerberos (raw krb5 tokens) or Negotiate (SPNEGO ones). For a profiler, only the
// measured sign-ons run inside Measured(), after one that makes what is made once per process:
//
//   valgrind --tool=callgrind --toggle-collect=*Measured* signon_profile Negotiate library 200
//
// The GSSAPI sign-ons are those of a C server that keeps its acceptor credential and a krb5
// context open (as the library does; krb5 then parses its configuration once for the contexts
// GSSAPI makes in its calls). Run inside a Kerberos realm whose keytab holds HTTP/localhost
// (tests/kdc/with-realm.sh). It runs the shipped host, as a server does: no journal, no fault table.
#include <grp.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <pwd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/jnifake/fake_jni.h"

extern "C" {
JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv*, jclass, jboolean, jint, jstring, jstring);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Accept(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_IsGroupMember(JNIEnv*, jclass, jint, jstring);
}

namespace {

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

// The steps of a sign-on, timed apart: create, accept, name, group (when asked), free.
using Steps = std::array<double, 5>;
const char* const kStepNames[] = {"create", "accept", "name", "groups", "free"};
bool askGroup = false;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "signon_profile: %s\n", what.c_str());
  std::exit(1);
}

// A clock's time in microseconds: the wall clock, the process's or the calling thread's CPU time.
double Micros(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double ThreadMicros() { return Micros(CLOCK_THREAD_CPUTIME_ID); }

// One client token for HTTP@localhost from the default credentials, its context thrown away.
std::vector<uint8_t> ClientToken(gss_OID mechanism) {
  OM_uint32 minor = 0;
  gss_buffer_desc text = {14, const_cast<char*>("HTTP@localhost")};
  gss_name_t target = GSS_C_NO_NAME;
  if (GSS_ERROR(gss_import_name(&minor, &text, GSS_C_NT_HOSTBASED_SERVICE, &target))) Die("gss_import_name");
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc token = GSS_C_EMPTY_BUFFER;
  const OM_uint32 major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, target, mechanism, 0, 0,
                                               GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &token, nullptr,
                                               nullptr);
  if (GSS_ERROR(major)) Die("gss_init_sec_context: no ticket for HTTP/localhost?");
  std::vector<uint8_t> bytes(static_cast<const uint8_t*>(token.value),
                             static_cast<const uint8_t*>(token.value) + token.length);
  gss_release_buffer(&minor, &token);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  gss_release_name(&minor, &target);
  return bytes;
}

// The library's side: its entry points through the fake JNI.
struct Library {
  fakejni::FakeJvm* jvm = new fakejni::FakeJvm();  // left to the process, as the library's tables are
  jstring package;
  jstring groups[3] = {jvm->String(u"BUILTIN\\Users"), jvm->String(u"BUILTIN\\Administrators"),
                       jvm->String(u"nogroup")};

  explicit Library(const std::string& name) : package(jvm->String(std::u16string(name.begin(), name.end()))) {}

  // The tokens as Java arrays, made before a batch as the JVM has them before a request.
  std::vector<jbyteArray> Arrays(const std::vector<std::vector<uint8_t>>& tokens) {
    std::vector<jbyteArray> arrays;
    for (const std::vector<uint8_t>& bytes : tokens) arrays.push_back(jvm->Bytes(bytes));
    return arrays;
  }

  // Sign-ons on the tokens, each array deleted after; `steps` gets each step's time when given.
  // Returns the names' length.
  size_t SignOns(const std::vector<jbyteArray>& tokens, Steps* steps) {
    JNIEnv* env = jvm->env();
    size_t named = 0;
    for (jbyteArray token : tokens) {
      double t[6];
      t[0] = steps ? ThreadMicros() : 0;
      const jint handle = Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(env, nullptr, JNI_FALSE, 0, package, nullptr);
      t[1] = steps ? ThreadMicros() : 0;
      if (Java_com_tarvex_pelk_quentrel_SSPI_Accept(env, nullptr, handle, token) == JNI_FALSE) Die("not accepted");
      t[2] = steps ? ThreadMicros() : 0;
      jstring name = Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(env, nullptr, handle);
      if (name != nullptr) named += jvm->TextOf(name).size();
      jvm->Delete(name);
      t[3] = steps ? ThreadMicros() : 0;
      if (askGroup)
        for (jstring group : groups) named += Java_com_tarvex_pelk_quentrel_SSPI_IsGroupMember(env, nullptr, handle, group);
      t[4] = steps ? ThreadMicros() : 0;
      Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(env, nullptr, handle);
      t[5] = steps ? ThreadMicros() : 0;
      jvm->Delete(token);
      if (auto thrown = jvm->Take()) Die(thrown->className + ": " + thrown->message);
      if (steps)
        for (size_t i = 0; i < 5; ++i) (*steps)[i] += t[i + 1] - t[i];
    }
    return named;
  }
};

// The client's local account and its groups, as a C server finds them: krb5's mapping of the
// principal, then NSS. Returns the number of groups.
size_t Groups(gss_name_t peer) {
  OM_uint32 minor = 0;
  gss_buffer_desc local = GSS_C_EMPTY_BUFFER;
  if (GSS_ERROR(gss_localname(&minor, peer, const_cast<gss_OID>(gss_mech_krb5), &local))) Die("gss_localname");
  const std::string account(static_cast<const char*>(local.value), local.length);
  gss_release_buffer(&minor, &local);
  passwd entry, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    Die("getpwnam_r " + account);
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) Die("getgrouplist");
  return static_cast<size_t>(count);
}

// GSSAPI's side: accept, display the name, delete, on a credential acquired once.
struct Direct {
  krb5_context open = nullptr;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;

  explicit Direct(gss_OID mechanism) {
    if (krb5_init_context(&open) != 0) Die("krb5_init_context");
    gss_OID_set_desc mechanisms = {1, mechanism};
    OM_uint32 minor = 0;
    if (GSS_ERROR(gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_ACCEPT, &cred, nullptr,
                                   nullptr)))
      Die("gss_acquire_cred");
  }

  size_t SignOns(const std::vector<std::vector<uint8_t>>& tokens, Steps* steps) {
    size_t named = 0;
    for (const std::vector<uint8_t>& bytes : tokens) {
      OM_uint32 minor = 0;
      gss_ctx_id_t context = GSS_C_NO_CONTEXT;
      gss_buffer_desc in = {bytes.size(), const_cast<uint8_t*>(bytes.data())};
      gss_buffer_desc out = GSS_C_EMPTY_BUFFER, text = GSS_C_EMPTY_BUFFER;
      gss_name_t peer = GSS_C_NO_NAME;
      double t[5];
      t[0] = steps ? ThreadMicros() : 0;
      if (GSS_ERROR(gss_accept_sec_context(&minor, &context, cred, &in, GSS_C_NO_CHANNEL_BINDINGS, &peer, nullptr,
                                           &out, nullptr, nullptr, nullptr)))
        Die("gss_accept_sec_context");
      t[1] = steps ? ThreadMicros() : 0;
      if (!GSS_ERROR(gss_display_name(&minor, peer, &text, nullptr))) named += text.length;
      t[2] = steps ? ThreadMicros() : 0;
      if (askGroup) named += Groups(peer);
      t[3] = steps ? ThreadMicros() : 0;
      gss_release_buffer(&minor, &text);
      gss_release_buffer(&minor, &out);
      gss_release_name(&minor, &peer);
      gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
      t[4] = steps ? ThreadMicros() : 0;
      if (steps)
        for (size_t i = 0; i < 4; ++i) (*steps)[i + 1] += t[i + 1] - t[i];
    }
    return named;
  }
};

// The measured run, apart from the warm-up, for a profiler to collect.
template <typename Run>
__attribute__((noinline)) size_t Measured(Run&& run) {
  return run();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<std::vector<uint8_t>> Tokens(gss_OID mechanism, int count) {
  std::vector<std::vector<uint8_t>> tokens;
  for (int i = 0; i < count; ++i) tokens.push_back(ClientToken(mechanism));
  return tokens;
}

// One round of `threads` threads at once, each signing on `each` tokens of its own, of the library
// (one fake JVM a thread: each serves one thread) or of GSSAPI on the credential all share. The
// tokens and arrays are made before the threads start; the process's other threads are idle.
struct Round {
  double wall = 0, cpu = 0;  // microseconds a sign-on: over all threads, and CPU of all threads
};

Round Parallel(int side, int threads, int each, gss_OID mechanism, std::vector<std::unique_ptr<Library>>& libraries,
               Direct& direct) {
  std::vector<std::vector<std::vector<uint8_t>>> tokens(threads);
  std::vector<std::vector<jbyteArray>> arrays(threads);
  for (int t = 0; t < threads; ++t) {
    tokens[t] = Tokens(mechanism, each);
    if (side == 0) arrays[t] = libraries[t]->Arrays(tokens[t]);
  }
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      side == 0 ? libraries[t]->SignOns(arrays[t], nullptr) : direct.SignOns(tokens[t], nullptr);
    });
  while (ready.load() < threads) std::this_thread::yield();
  const double wall = Micros(CLOCK_MONOTONIC), cpu = Micros(CLOCK_PROCESS_CPUTIME_ID);
  go.store(true);
  for (std::thread& thread : running) thread.join();
  const double signOns = static_cast<double>(threads) * each;
  return {(Micros(CLOCK_MONOTONIC) - wall) / signOns, (Micros(CLOCK_PROCESS_CPUTIME_ID) - cpu) / signOns};
}

// Microseconds of wall clock per krb5 context made and freed, `each` of them on each of `threads`
// threads at once: what GSSAPI does in most of its calls, several times a sign-on. MIT krb5 looks
// at its configuration's files for each new context under a lock of the whole process.
double ContextsRound(int threads, int each) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < each; ++i) {
        krb5_context context = nullptr;
        if (krb5_init_context(&context) != 0) Die("krb5_init_context");
        krb5_free_context(context);
      }
    });
  while (ready.load() < threads) std::this_thread::yield();
  const double wall = Micros(CLOCK_MONOTONIC);
  go.store(true);
  for (std::thread& thread : running) thread.join();
  return (Micros(CLOCK_MONOTONIC) - wall) / (static_cast<double>(threads) * each);
}

// The threads mode: for 1, 2 and 4 threads, nine rounds of each side in turn after two to warm up.
int Threads(const std::string& packageName, gss_OID mechanism, int count, Direct& direct) {
  constexpr int kRounds = 9;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::unique_ptr<Library>> libraries;
  for (int t = 0; t < 4; ++t) libraries.push_back(std::make_unique<Library>(packageName));
  std::printf("%s sign-ons on several threads, %d a round, medians of %d alternating rounds (%d cores):\n",
              packageName.c_str(), count, kRounds, cores);
  std::printf("  %-7s %12s %12s %6s %14s %14s %12s %12s\n", "threads", "library/s", "GSSAPI/s", "ratio",
              "library/s/core", "GSSAPI/s/core", "library CPU", "GSSAPI CPU");
  for (int threads : {1, 2, 4}) {
    std::vector<double> wall[2], cpu[2];
    for (int round = -2; round < kRounds; ++round)
      for (int k = 0; k < 2; ++k) {
        const int side = (round & 1) == 0 ? k : 1 - k;
        const Round measured = Parallel(side, threads, std::max(1, count / threads), mechanism, libraries, direct);
        if (round < 0) continue;
        wall[side].push_back(measured.wall);
        cpu[side].push_back(measured.cpu);
      }
    const double ours = 1e6 / Median(wall[0]), theirs = 1e6 / Median(wall[1]);
    const int busy = std::min(threads, cores);
    std::printf("  %-7d %12.0f %12.0f %6.2f %14.0f %14.0f %9.1f us %9.1f us\n", threads, ours, theirs, ours / theirs,
                ours / busy, theirs / busy, Median(cpu[0]), Median(cpu[1]));
  }
  // What bounds both sides' rate on more threads (a krb5 context kept open, as both sides keep one).
  krb5_context kept = nullptr;
  if (krb5_init_context(&kept) != 0) Die("krb5_init_context");
  std::printf("  krb5 contexts made and freed a second, as GSSAPI makes them in its calls:");
  double one = 0;
  for (int threads : {1, 2, 4}) {
    std::vector<double> wall;
    for (int round = -2; round < kRounds; ++round) {
      const double measured = ContextsRound(threads, std::max(1, 4 * count / threads));
      if (round >= 0) wall.push_back(measured);
    }
    const double rate = 1e6 / Median(wall);
    if (threads == 1) one = rate;
    std::printf(" %d thread%s %.0f (%.2f)", threads, threads == 1 ? "" : "s", rate, rate / one);
  }
  std::printf("\n");
  krb5_free_context(kept);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string packageName = argc > 1 ? argv[1] : "";
  const std::string mode = argc > 2 ? argv[2] : "";
  const int count = argc > 3 ? std::atoi(argv[3]) : mode == "compare" ? 200 : 100;
  askGroup = argc > 4 && std::strcmp(argv[4], "groups") == 0;
  if (packageName != "Kerberos" && packageName != "Negotiate") Die("the package is Kerberos or Negotiate");
  if (mode != "compare" && mode != "library" && mode != "direct" && mode != "threads")
    Die("the mode is compare, threads, library or direct");
  if (count < 1) Die("at least one sign-on");
  gss_OID mechanism = packageName == "Kerberos" ? const_cast<gss_OID>(gss_mech_krb5) : &kSpnego;
  Library library(packageName);
  Direct direct(mechanism);
  library.SignOns(library.Arrays(Tokens(mechanism, 1)), nullptr);
  direct.SignOns(Tokens(mechanism, 1), nullptr);
  if (mode == "threads") return Threads(packageName, mechanism, count, direct);
  // One batch of one side with its steps timed or not; the CPU time of a sign-on.
  auto batch = [&](int side, Steps* steps) {
    const auto tokens = Tokens(mechanism, count);
    const auto arrays = side == 0 ? library.Arrays(tokens) : std::vector<jbyteArray>();
    const double start = ThreadMicros();
    side == 0 ? library.SignOns(arrays, steps) : direct.SignOns(tokens, steps);
    return (ThreadMicros() - start) / count;
  };

  if (mode != "compare") {
    const auto tokens = Tokens(mechanism, count);
    const auto arrays = mode == "library" ? library.Arrays(tokens) : std::vector<jbyteArray>();
    const double start = ThreadMicros();
    const size_t named = Measured([&] { return mode == "library" ? library.SignOns(arrays, nullptr)
                                                                 : direct.SignOns(tokens, nullptr); });
    std::printf("%s: %d sign-ons, %.1f us of CPU each (names: %zu characters)\n", mode.c_str(), count,
                (ThreadMicros() - start) / count, named);
    return 0;
  }
  // Nine rounds of a batch each, in turn (the order flips every round), after two to warm up.
  constexpr int kRounds = 9;
  std::vector<double> totals[2];
  std::vector<double> steps[2][5];
  for (int round = -2; round < kRounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const int side = (round & 1) == 0 ? k : 1 - k;
      const double total = batch(side, nullptr);
      // The same once more with each step timed (the timer's own cost is in these, not in the totals).
      Steps times = {0, 0, 0, 0, 0};
      batch(side, &times);
      if (round < 0) continue;
      totals[side].push_back(total);
      for (size_t i = 0; i < times.size(); ++i) steps[side][i].push_back(times[i] / count);
    }
  }
  std::printf("%s sign-on, medians of %d alternating batches of %d, CPU time in us:\n", packageName.c_str(), kRounds,
              count);
  std::printf("  %-8s %9s %9s %9s\n", "", "library", "GSSAPI", "ratio");
  for (size_t i = 0; i < 5; ++i)
    if (i != 3 || askGroup) std::printf("  %-8s %9.1f %9.1f\n", kStepNames[i], Median(steps[0][i]), Median(steps[1][i]));
  const double ours = Median(totals[0]), floor = Median(totals[1]);
  std::printf("  %-8s %9.1f %9.1f %9.2f\n", "whole", ours, floor, ours / floor);
  return 0;
}
