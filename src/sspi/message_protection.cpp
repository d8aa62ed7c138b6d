// SSPI.Wrap and SSPI.Unwrap: messages protected under the keys of an established context.
//
// A wrapped message is the package's token, then the protected data, then the padding, laid end
// to end with nothing of the library's own; only the package knows where each part ends, so the
// receiving side hands the whole message to its package as one stream.
#include <cstring>
#include <limits>
#include <stdexcept>

#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

// Quality of protection when the context negotiated confidentiality: the package encrypts.
constexpr ULONG kEncrypt = 0;
// Message sequence number of every call: the packages keep their own count.
constexpr ULONG kSequenceNumber = 0;

// A buffer over `bytes`; an empty one points nowhere rather than past its end.
SecBuffer BufferOver(ULONG type, std::vector<uint8_t>& bytes) {
  SecBuffer buffer;
  buffer.cbBuffer = static_cast<ULONG>(bytes.size());
  buffer.BufferType = type;
  buffer.pvBuffer = bytes.empty() ? nullptr : bytes.data();
  return buffer;
}

// A copy of a Java array that the call owns and the package may work on in place.
std::vector<uint8_t> CopyOf(JNIEnv* env, jbyteArray array) {
  ByteArrayReader elements(env, array);
  std::vector<uint8_t> copy(elements.data(), elements.data() + elements.size());
  elements.Release();
  return copy;
}

// The bytes a buffer holds after the package's call; none when it points nowhere.
size_t LengthOf(const SecBuffer& buffer) { return buffer.pvBuffer == nullptr ? 0 : buffer.cbBuffer; }

// A new Java array holding the token, data and padding buffers one after the other.
jbyteArray Concatenate(JNIEnv* env, const SecBuffer (&parts)[3]) {
  size_t total = 0;
  for (const SecBuffer& part : parts) total += LengthOf(part);
  if (total > static_cast<size_t>(std::numeric_limits<jsize>::max())) throw std::length_error("message too long");
  jbyteArray result = env->NewByteArray(static_cast<jsize>(total));
  if (result == nullptr || total == 0) return result;
  jbyte* elements = env->GetByteArrayElements(result, nullptr);
  if (elements == nullptr) {
    env->DeleteLocalRef(result);
    return nullptr;
  }
  size_t at = 0;
  for (const SecBuffer& part : parts) {
    if (LengthOf(part) == 0) continue;
    std::memcpy(elements + at, part.pvBuffer, part.cbBuffer);
    at += part.cbBuffer;
  }
  env->ReleaseByteArrayElements(result, elements, 0);
  return result;
}

jbyteArray Wrap(JNIEnv* env, jint handle, jbyteArray message) {
  if (message == nullptr) {
    ThrowWinAuthException(env, messages::kMessageCannotBeNull);
    return nullptr;
  }
  LockGuard lock(LibraryLock);
  SecurityContextRecord* record = FindSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  if (record == nullptr) return nullptr;

  std::vector<uint8_t> data = CopyOf(env, message);
  SecBuffer buffers[3] = {
      BufferOver(SECBUFFER_TOKEN, record->trailerBuffer),
      BufferOver(SECBUFFER_DATA, data),
      BufferOver(SECBUFFER_PADDING, record->blockBuffer),
  };
  SecBufferDesc descriptor;
  descriptor.ulVersion = SECBUFFER_VERSION;
  descriptor.cBuffers = 3;
  descriptor.pBuffers = buffers;
  const ULONG quality = (record->negotiatedAttributes & ISC_RET_CONFIDENTIALITY) != 0 ? kEncrypt : SECQOP_WRAP_NO_ENCRYPT;

  SECURITY_STATUS status = EncryptMessage(record->context, quality, &descriptor, kSequenceNumber);
  if (status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return nullptr;
  }
  return Concatenate(env, buffers);
}

jbyteArray Unwrap(JNIEnv* env, jint handle, jbyteArray wrapped) {
  if (wrapped == nullptr) {
    ThrowWinAuthException(env, messages::kMessageCannotBeNull);
    return nullptr;
  }
  LockGuard lock(LibraryLock);
  SecurityContextRecord* record = FindSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  if (record == nullptr) return nullptr;

  std::vector<uint8_t> stream = CopyOf(env, wrapped);
  SecBuffer buffers[2] = {BufferOver(SECBUFFER_STREAM, stream), SecBuffer{0, SECBUFFER_DATA, nullptr}};
  SecBufferDesc descriptor;
  descriptor.ulVersion = SECBUFFER_VERSION;
  descriptor.cBuffers = 2;
  descriptor.pBuffers = buffers;

  SECURITY_STATUS status = DecryptMessage(record->context, &descriptor, kSequenceNumber, nullptr);
  if (status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return nullptr;
  }
  // The package points the data buffer at the plain message inside the stream copy.
  const SecBuffer& plain = buffers[1];
  return NewJavaByteArray(env, static_cast<const uint8_t*>(plain.pvBuffer), LengthOf(plain));
}

}  // namespace

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Wrap(JNIEnv* env, jclass, jint handle,
                                                                              jbyteArray message) {
  return GuardedEntry(env, jbyteArray{nullptr}, [&] { return Wrap(env, handle, message); });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Unwrap(JNIEnv* env, jclass, jint handle,
                                                                                jbyteArray wrapped) {
  return GuardedEntry(env, jbyteArray{nullptr}, [&] { return Unwrap(env, handle, wrapped); });
}
