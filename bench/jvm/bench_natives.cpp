// The native half of the JVM benchmark: an empty static native method (the floor of any JNI call),
// the package's own EncryptMessage and DecryptMessage called from C++ on the library's contexts,
// and memcpy of the same sizes. Each native runs a whole batch, so that the JNI call is not part
// of the baseline it measures.
#include <jni.h>

#include <cstring>
#include <vector>

#include <windows.h>

#include "winhost/control.h"

extern "C" CtxtHandle* quentrel_test_ContextOf(jint handle, SecPkgContext_Sizes* sizes, ULONG* attributes);

namespace {

// One side's view of an established context, as the library queried it.
struct Context {
  CtxtHandle* handle = nullptr;
  SecPkgContext_Sizes sizes = {0, 0, 0, 0};
  ULONG attributes = 0;
};

bool Lookup(jint handle, Context& context) {
  context.handle = quentrel_test_ContextOf(handle, &context.sizes, &context.attributes);
  return context.handle != nullptr;
}

// Buffers of at least `size` bytes kept from batch to batch, so that no batch pays for new pages.
uint8_t* Scratch(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() < size + 1) buffer.resize(size + 1, 0x5a);
  return buffer.data();
}

void ThrowState(JNIEnv* env, const char* message) {
  jclass type = env->FindClass("java/lang/IllegalStateException");
  if (type != nullptr) env->ThrowNew(type, message);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_JvmBench_empty(JNIEnv*, jclass) {}

JNIEXPORT void JNICALL Java_JvmBench_clearJournal(JNIEnv*, jclass) { winhost::ClearJournal(); }

// The address of a library context's SSPI handle (for the JNA peer), 0 when there is none.
JNIEXPORT jlong JNICALL Java_JvmBench_contextAddress(JNIEnv*, jclass, jint handle) {
  Context context;
  return Lookup(handle, context) ? static_cast<jlong>(reinterpret_cast<uintptr_t>(context.handle)) : 0;
}

// `rounds` messages of `size` bytes from the client to the server through the package alone, done
// as a C++ caller must: the message copied into the buffer the package seals in place, the three
// parts laid end to end as one stream, the stream opened. Returns a byte of the last message.
JNIEXPORT jint JNICALL Java_JvmBench_packageRounds(JNIEnv* env, jclass, jint clientHandle, jint serverHandle,
                                                   jint size, jint rounds) {
  Context client, server;
  if (!Lookup(clientHandle, client) || !Lookup(serverHandle, server)) {
    ThrowState(env, "no such context");
    return 0;
  }
  thread_local std::vector<uint8_t> messageBuffer, dataBuffer, streamBuffer;
  const size_t length = static_cast<size_t>(size);
  const uint8_t* message = Scratch(messageBuffer, length);
  uint8_t* data = Scratch(dataBuffer, length);
  std::vector<uint8_t> token(client.sizes.cbSecurityTrailer), padding(client.sizes.cbBlockSize);
  uint8_t* stream = Scratch(streamBuffer, token.size() + length + padding.size());
  const ULONG quality = (client.attributes & ISC_RET_CONFIDENTIALITY) != 0 ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  jint last = 0;
  for (jint round = 0; round < rounds; ++round) {
    std::memcpy(data, message, length);
    SecBuffer out[3] = {{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()},
                        {static_cast<ULONG>(length), SECBUFFER_DATA, data},
                        {static_cast<ULONG>(padding.size()), SECBUFFER_PADDING, padding.empty() ? nullptr : padding.data()}};
    SecBufferDesc sealed{SECBUFFER_VERSION, 3, out};
    if (EncryptMessage(client.handle, quality, &sealed, 0) != SEC_E_OK) {
      ThrowState(env, "EncryptMessage failed");
      return 0;
    }
    size_t at = 0;
    for (const SecBuffer& part : out) {
      if (part.pvBuffer == nullptr || part.cbBuffer == 0) continue;
      std::memcpy(stream + at, part.pvBuffer, part.cbBuffer);
      at += part.cbBuffer;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(at), SECBUFFER_STREAM, stream}, {0, SECBUFFER_DATA, nullptr}};
    SecBufferDesc opened{SECBUFFER_VERSION, 2, in};
    if (DecryptMessage(server.handle, &opened, 0, nullptr) != SEC_E_OK || in[1].cbBuffer != length) {
      ThrowState(env, "DecryptMessage failed");
      return 0;
    }
    if (length > 0) last = static_cast<const uint8_t*>(in[1].pvBuffer)[length - 1];
  }
  return last;
}

// `rounds` copies of `size` bytes between two buffers. Returns a byte of the copy.
JNIEXPORT jint JNICALL Java_JvmBench_copyRounds(JNIEnv*, jclass, jint size, jint rounds) {
  thread_local std::vector<uint8_t> fromBuffer, toBuffer;
  const size_t length = static_cast<size_t>(size) + 1;
  uint8_t* from = Scratch(fromBuffer, length);
  uint8_t* to = Scratch(toBuffer, length);
  jint sum = 0;
  for (jint round = 0; round < rounds; ++round) {
    from[static_cast<size_t>(round) % length] = static_cast<uint8_t>(round);
    std::memcpy(to, from, length);
    sum += to[static_cast<size_t>(round) % length];
  }
  return sum;
}

}  // extern "C"
