// The library's own cost on its hot paths, measured against the platform in the same process:
// Wrap+Unwrap of a 1 KiB message through the JNI entry points against EncryptMessage+DecryptMessage
// called directly on the same contexts, and GetMaxTokenSize with a crowded context table against
// the same call with the context alone. Results are ratios, printed last; absolute times depend on
// the machine and mean little on their own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bridge/entry.h"
#include "harness/jnifake/fake_jni.h"
#include "sspi/context_table.h"
#include "winhost/control.h"

extern "C" {
JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv*, jclass, jboolean, jint, jstring, jstring);
JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Initialize(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Accept(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Wrap(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Unwrap(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetMaxTokenSize(JNIEnv*, jclass, jint);
}

namespace {

constexpr size_t kMessageSize = 1024;
// The stand-in journals every call; it is emptied this often so that long runs stay small.
constexpr int64_t kJournalEvery = 256;

fakejni::FakeJvm& Jvm() {
  static fakejni::FakeJvm* jvm = new fakejni::FakeJvm();
  return *jvm;
}

void Die(const std::string& what) {
  std::fprintf(stderr, "benchmark setup failed: %s\n", what.c_str());
  std::exit(1);
}

void CheckNothingPending(const char* step) {
  if (auto thrown = Jvm().Take()) Die(std::string(step) + ": " + thrown->className + " " + thrown->message);
}

// Clients ask for confidentiality, so that messages are sealed as well as signed.
jint Create(bool client) {
  jstring package = Jvm().String(u"Negotiate");
  const jint flags = client ? ISC_REQ_CONFIDENTIALITY : 0;
  const jint handle = Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(Jvm().env(), nullptr, client, flags, package, nullptr);
  Jvm().Delete(package);
  CheckNothingPending("CreateContext");
  return handle;
}

// What the library holds for an established context: its SSPI handle and message sizes.
struct Peeked {
  CtxtHandle* context;
  SecPkgContext_Sizes sizes;
  ULONG negotiatedAttributes;
};
Peeked Peek(jint handle) {
  LockGuard lock(LibraryLock);
  const SecurityContextRecord* record = FindSecurityContext(handle);
  if (record == nullptr) Die("no record for handle " + std::to_string(handle));
  return Peeked{record->context, record->sizes, record->negotiatedAttributes};
}

struct Pair {
  jint client;
  jint server;
};

// A loopback exchange through the entry points until both sides are established.
Pair Establish() {
  JNIEnv* env = Jvm().env();
  Pair pair{Create(true), Create(false)};
  bool clientDone = false, serverDone = false;
  for (int leg = 0; leg < 6 && !(clientDone && serverDone); ++leg) {
    const bool toServer = leg % 2 == 0;
    jbyteArray token = Java_com_tarvex_pelk_quentrel_SSPI_GetChallengeToken(env, nullptr, toServer ? pair.client : pair.server);
    CheckNothingPending("GetChallengeToken");
    if (toServer) {
      serverDone = Java_com_tarvex_pelk_quentrel_SSPI_Accept(env, nullptr, pair.server, token);
    } else if (!clientDone && !Jvm().BytesOf(token).empty()) {
      clientDone = Java_com_tarvex_pelk_quentrel_SSPI_Initialize(env, nullptr, pair.client, token);
    } else {
      clientDone = true;
    }
    Jvm().Delete(token);
    CheckNothingPending("exchange");
  }
  if (!clientDone || !serverDone) Die("the exchange did not complete");
  if ((Peek(pair.client).negotiatedAttributes & ISC_RET_CONFIDENTIALITY) == 0) Die("confidentiality was not negotiated");
  return pair;
}

void Free(jint handle) { Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(Jvm().env(), nullptr, handle); }

std::vector<uint8_t> Message() {
  std::vector<uint8_t> message(kMessageSize);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 31 + 7);
  return message;
}

void LibraryWrapUnwrap(benchmark::State& state) {
  JNIEnv* env = Jvm().env();
  const Pair pair = Establish();
  const std::vector<uint8_t> expected = Message();
  jbyteArray message = Jvm().Bytes(expected);
  int64_t round = 0;
  for (auto _ : state) {
    jbyteArray wrapped = Java_com_tarvex_pelk_quentrel_SSPI_Wrap(env, nullptr, pair.client, message);
    jbyteArray plain = Java_com_tarvex_pelk_quentrel_SSPI_Unwrap(env, nullptr, pair.server, wrapped);
    if (plain == nullptr || (round == 0 && Jvm().BytesOf(plain) != expected)) {
      state.SkipWithError("the message did not come back");
      break;
    }
    Jvm().Delete(wrapped);
    Jvm().Delete(plain);
    if (++round % kJournalEvery == 0) winhost::ClearJournal();
  }
  Jvm().Delete(message);
  Free(pair.client);
  Free(pair.server);
  winhost::ClearJournal();
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMessageSize));
}

// The same round on the same kind of contexts, straight on the platform: buffers laid out once,
// the message copied in, sealed, laid end to end as one stream and opened.
void PlatformEncryptDecrypt(benchmark::State& state) {
  const Pair pair = Establish();
  const Peeked client = Peek(pair.client);
  const Peeked server = Peek(pair.server);
  const std::vector<uint8_t> expected = Message();
  std::vector<uint8_t> token(client.sizes.cbSecurityTrailer), data(kMessageSize), padding(client.sizes.cbBlockSize);
  std::vector<uint8_t> stream(token.size() + data.size() + padding.size());
  const ULONG quality = (client.negotiatedAttributes & ISC_RET_CONFIDENTIALITY) != 0 ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  int64_t round = 0;
  for (auto _ : state) {
    std::memcpy(data.data(), expected.data(), kMessageSize);
    SecBuffer out[3] = {{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()},
                        {static_cast<ULONG>(data.size()), SECBUFFER_DATA, data.data()},
                        {static_cast<ULONG>(padding.size()), SECBUFFER_PADDING, padding.empty() ? nullptr : padding.data()}};
    SecBufferDesc sealed{SECBUFFER_VERSION, 3, out};
    if (EncryptMessage(client.context, quality, &sealed, 0) != SEC_E_OK) {
      state.SkipWithError("EncryptMessage failed");
      break;
    }
    size_t length = 0;
    for (const SecBuffer& part : out) {
      if (part.pvBuffer != nullptr && part.cbBuffer > 0) std::memcpy(stream.data() + length, part.pvBuffer, part.cbBuffer);
      length += part.pvBuffer == nullptr ? 0 : part.cbBuffer;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(length), SECBUFFER_STREAM, stream.data()}, {0, SECBUFFER_DATA, nullptr}};
    SecBufferDesc opened{SECBUFFER_VERSION, 2, in};
    if (DecryptMessage(server.context, &opened, 0, nullptr) != SEC_E_OK || in[1].cbBuffer != kMessageSize ||
        (round == 0 && std::memcmp(in[1].pvBuffer, expected.data(), kMessageSize) != 0)) {
      state.SkipWithError("the message did not come back");
      break;
    }
    benchmark::DoNotOptimize(in[1].pvBuffer);
    if (++round % kJournalEvery == 0) winhost::ClearJournal();
  }
  Free(pair.client);
  Free(pair.server);
  winhost::ClearJournal();
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMessageSize));
}

// GetMaxTokenSize of an established context that sits last behind range(0) - 1 others.
void MaxTokenSizeLookup(benchmark::State& state) {
  JNIEnv* env = Jvm().env();
  std::vector<jint> others;
  for (int64_t i = 1; i < state.range(0); ++i) others.push_back(Create(false));
  const Pair pair = Establish();
  Free(pair.server);
  const jint expected = static_cast<jint>(Peek(pair.client).sizes.cbMaxToken);
  for (auto _ : state) {
    const jint size = Java_com_tarvex_pelk_quentrel_SSPI_GetMaxTokenSize(env, nullptr, pair.client);
    if (size != expected || size == 0) {
      state.SkipWithError("GetMaxTokenSize gave the wrong size");
      break;
    }
  }
  Free(pair.client);
  for (jint handle : others) Free(handle);
  winhost::ClearJournal();
  state.counters["contexts"] = static_cast<double>(state.range(0));
}

BENCHMARK(LibraryWrapUnwrap);
BENCHMARK(PlatformEncryptDecrypt);
BENCHMARK(MaxTokenSizeLookup)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000);

// The console output as usual, and each benchmark's mean real time per iteration kept by name.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) failed = true;
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      Mean& mean = means[run.benchmark_name()];
      mean.total += run.GetAdjustedRealTime();
      mean.count += 1;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Zero when the benchmark did not run (filtered out, say).
  double Time(const std::string& name) const {
    auto it = means.find(name);
    return it == means.end() ? 0 : it->second.total / it->second.count;
  }
  bool failed = false;

 private:
  struct Mean {
    double total = 0;
    int count = 0;
  };
  std::map<std::string, Mean> means;
};

void PrintRatio(const char* label, double measured, double baseline) {
  if (measured > 0 && baseline > 0) std::printf("%s: %.2f\n", label, measured / baseline);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double lookupOne = reporter.Time("MaxTokenSizeLookup/1");
  PrintRatio("handle lookup ratio, 100 contexts / 1", reporter.Time("MaxTokenSizeLookup/100"), lookupOne);
  PrintRatio("handle lookup ratio, 1000 contexts / 1", reporter.Time("MaxTokenSizeLookup/1000"), lookupOne);
  PrintRatio("handle lookup ratio, 10000 contexts / 1", reporter.Time("MaxTokenSizeLookup/10000"), lookupOne);
  PrintRatio("wrap+unwrap overhead ratio", reporter.Time("LibraryWrapUnwrap"), reporter.Time("PlatformEncryptDecrypt"));
  return reporter.failed ? 1 : 0;
}
