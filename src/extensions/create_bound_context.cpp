// Extensions.CreateBoundContext: a security context whose every step carries the bindings of the
// channel it runs over (for HTTPS, the server certificate's tls-server-end-point value), so that a
// token relayed from another channel is refused.
#include <cstring>

#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/create_context.h"

namespace {

// A SEC_CHANNEL_BINDINGS block with no addresses and `application` as its application data, which
// follows the structure.
std::vector<uint8_t> ChannelBindingsBlock(const uint8_t* application, size_t length) {
  SEC_CHANNEL_BINDINGS header;
  std::memset(&header, 0, sizeof header);
  header.cbApplicationDataLength = static_cast<decltype(header.cbApplicationDataLength)>(length);
  header.dwApplicationDataOffset = sizeof header;
  std::vector<uint8_t> block(sizeof header + length);
  std::memcpy(block.data(), &header, sizeof header);
  if (length > 0) std::memcpy(block.data() + sizeof header, application, length);
  return block;
}

jint CreateBoundContext(JNIEnv* env, jboolean client, jint flags, jstring package, jstring target,
                        jbyteArray applicationData) {
  if (applicationData == nullptr) {
    ThrowWinAuthException(env, messages::kChannelBindingsCannotBeNull);
    return 0;
  }
  // A channel's bindings are a digest and a label; no package takes a block as large as a token.
  if (env->GetArrayLength(applicationData) > static_cast<jsize>(TokenBufferSize)) {
    ThrowWinAuthException(env, messages::kChannelBindingsTooLong);
    return 0;
  }
  std::vector<uint8_t> block;
  {
    ByteArrayReader bytes(env, applicationData);
    block = ChannelBindingsBlock(bytes.data(), bytes.size());
  }
  return CreateSecurityContext(env, client, flags, package, target, std::move(block));
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_Extensions_CreateBoundContext(
    JNIEnv* env, jclass, jboolean client, jint flags, jstring package, jstring target, jbyteArray applicationData) {
  return GuardedEntry(env, jint{0},
                      [&] { return CreateBoundContext(env, client, flags, package, target, applicationData); });
}
