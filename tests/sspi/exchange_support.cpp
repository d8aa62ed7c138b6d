#include "sspi/exchange_support.h"

using namespace api::sspi;

namespace exchange {

std::string Text(const jvm::JBytes& bytes) { return bytes ? std::string(bytes->begin(), bytes->end()) : "<null>"; }

std::string FirstWord(const jvm::JBytes& bytes) {
  const std::string text = Text(bytes);
  return text.substr(0, text.find(' '));
}

void Handshake(const std::u16string& package, int clientFlags, Peers& peers) {
  auto client = CreateContext(true, clientFlags, package, J(u"HTTP/web.example.test"));
  auto server = CreateContext(false, 0, package, std::nullopt);
  ASSERT_TRUE(client.ok()) << client;
  ASSERT_TRUE(server.ok()) << server;
  peers.client = client.value;
  peers.server = server.value;

  // A client may be established by its first step already.
  bool clientDone = GetNegotiatedAttributes(peers.client).ok();
  bool serverDone = false;
  jvm::JBytes toServer = GetChallengeToken(peers.client).value;
  for (int round = 0; round < 4 && !(clientDone && serverDone); ++round) {
    if (!serverDone) {
      peers.legs.push_back("C>S " + FirstWord(toServer));
      auto accepted = Accept(peers.server, toServer);
      ASSERT_TRUE(accepted.ok()) << accepted;
      serverDone = accepted.value;
    }
    jvm::JBytes toClient = GetChallengeToken(peers.server).value;
    ASSERT_TRUE(toClient.has_value());
    if (!clientDone) {
      ASSERT_FALSE(toClient->empty()) << "the client waits for a token the server did not produce";
      peers.legs.push_back("S>C " + FirstWord(toClient));
      auto initialized = Initialize(peers.client, toClient);
      ASSERT_TRUE(initialized.ok()) << initialized;
      clientDone = initialized.value;
      toServer = GetChallengeToken(peers.client).value;
    }
  }
  ASSERT_TRUE(clientDone && serverDone) << "the exchange did not finish";
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
