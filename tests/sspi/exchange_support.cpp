#include "sspi/exchange_support.h"

using namespace api::sspi;

namespace exchange {

std::string Text(const jvm::JBytes& bytes) { return bytes ? std::string(bytes->begin(), bytes->end()) : "<null>"; }

std::string FirstWord(const jvm::JBytes& bytes) {
  const std::string text = Text(bytes);
  return text.substr(0, text.find(' '));
}

namespace {

// Carries tokens between two created contexts until both are established: "" then, or the first
// failure.
std::string Carry(Peers& peers) {
  // A client may be established by its first step already.
  bool clientDone = GetNegotiatedAttributes(peers.client).ok();
  bool serverDone = false;
  jvm::JBytes toServer = GetChallengeToken(peers.client).value;
  for (int round = 0; round < 4 && !(clientDone && serverDone); ++round) {
    if (!serverDone) {
      peers.legs.push_back("C>S " + FirstWord(toServer));
      auto accepted = Accept(peers.server, toServer);
      if (!accepted.ok()) return accepted.Failure();
      serverDone = accepted.value;
    }
    jvm::JBytes toClient = GetChallengeToken(peers.server).value;
    if (!toClient.has_value()) return "no token from the server";
    if (!clientDone) {
      if (toClient->empty()) return "the client waits for a token the server did not produce";
      peers.legs.push_back("S>C " + FirstWord(toClient));
      auto initialized = Initialize(peers.client, toClient);
      if (!initialized.ok()) return initialized.Failure();
      clientDone = initialized.value;
      toServer = GetChallengeToken(peers.client).value;
    }
  }
  return clientDone && serverDone ? "" : "the exchange did not finish";
}

}  // namespace

void Handshake(const std::u16string& package, int clientFlags, Peers& peers) {
  auto client = CreateContext(true, clientFlags, package, J(u"HTTP/web.example.test"));
  auto server = CreateContext(false, 0, package, std::nullopt);
  ASSERT_TRUE(client.ok()) << client;
  ASSERT_TRUE(server.ok()) << server;
  peers.client = client.value;
  peers.server = server.value;
  const std::string failure = Carry(peers);
  ASSERT_EQ(failure, "");
}

std::string BoundHandshake(const std::u16string& package, const Channel& channel, Peers& peers) {
  using api::extensions::CreateBoundContext;
  const jvm::JString target = J(u"HTTP/web.example.test");
  auto client = channel.client.has_value() ? CreateBoundContext(true, 0, package, target, channel.client)
                               : CreateContext(true, 0, package, target);
  auto server = channel.server.has_value() ? CreateBoundContext(false, channel.serverFlags, package, std::nullopt, channel.server)
                               : CreateContext(false, channel.serverFlags, package, std::nullopt);
  peers.client = client.value;
  peers.server = server.value;
  if (!client.ok()) return client.Failure();
  if (!server.ok()) return server.Failure();
  return Carry(peers);
}

std::vector<uint8_t> ArrayAfterCall(const char* method, const char* signature, int handle,
                                    const std::vector<uint8_t>& bytes) {
  JNIEnv* env = jvm::Env();
  static jclass sspi = jvm::PackageClass("SSPI");
  jmethodID id = env->GetStaticMethodID(sspi, method, signature);
  jbyteArray array = jvm::ToJava(env, bytes);
  const std::string returns(signature);
  if (returns.back() == 'Z') {
    env->CallStaticBooleanMethod(sspi, id, handle, array);
  } else {
    env->DeleteLocalRef(env->CallStaticObjectMethod(sspi, id, handle, array));
  }
  jvm::TakeException(env);
  std::vector<uint8_t> after = *jvm::FromJava(env, array);
  env->DeleteLocalRef(array);
  return after;
}

}  // namespace exchange
