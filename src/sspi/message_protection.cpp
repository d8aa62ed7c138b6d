// SSPI.Wrap and SSPI.Unwrap: messages protected under the keys of an established context.
//
// A wrapped message is the package's token, then the protected data, then the padding, laid end
// to end with nothing of the library's own; only the package knows where each part ends, so the
// receiving side hands the whole message to its package as one stream.
#include <memory>
#include <new>
#include <vector>

#include "bridge/entry.h"
#include "sspi/context_table.h"

namespace {

// Quality of protection when the context negotiated confidentiality: the package encrypts.
constexpr ULONG kEncrypt = 0;
// Message sequence number of every call: the packages keep their own count.
constexpr ULONG kSequenceNumber = 0;

// A buffer over `bytes`; an empty one points nowhere rather than past its end.
SecBuffer BufferOver(ULONG type, uint8_t* bytes, size_t size) {
  SecBuffer buffer;
  buffer.cbBuffer = static_cast<ULONG>(size);
  buffer.BufferType = type;
  buffer.pvBuffer = size == 0 ? nullptr : bytes;
  return buffer;
}
SecBuffer BufferOver(ULONG type, std::vector<uint8_t>& bytes) { return BufferOver(type, bytes.data(), bytes.size()); }
SecBuffer BufferOver(ULONG type, MutableBytes copy) { return BufferOver(type, copy.data, copy.size); }

// The bytes a buffer holds after the package's call; none when it points nowhere.
ByteSpan BytesOf(const SecBuffer& buffer) {
  if (buffer.pvBuffer == nullptr) return ByteSpan{nullptr, 0};
  return ByteSpan{static_cast<const uint8_t*>(buffer.pvBuffer), buffer.cbBuffer};
}

// Each message is copied once on the way in, straight from the Java array into a message buffer,
// where the package works on it in place, and once on the way out, from the package's buffers
// straight into the new Java array. A call borrows a buffer from a shared stock and gives it back
// as it leaves, trimmed if it grew too large to keep: a server holding a context per connection
// keeps about one buffer per thread protecting messages at the same moment, not one per connection.
class BorrowedBuffer {
 public:
  BorrowedBuffer() {
    {
      SlimGuard guard(stockLock_);
      if (!stock_.empty()) {
        buffer_ = std::move(stock_.back());
        stock_.pop_back();
        return;
      }
    }
    buffer_ = std::make_unique<MessageBuffer>();
  }
  ~BorrowedBuffer() {
    buffer_->Trim();
    SlimGuard guard(stockLock_);
    // With no room to keep it, the buffer is simply freed.
    try {
      stock_.push_back(std::move(buffer_));
    } catch (const std::bad_alloc&) {
    }
  }
  BorrowedBuffer(const BorrowedBuffer&) = delete;
  BorrowedBuffer& operator=(const BorrowedBuffer&) = delete;

  MessageBuffer& get() { return *buffer_; }

 private:
  // Holds a slim lock for one scope.
  class SlimGuard {
   public:
    explicit SlimGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SlimGuard() { ReleaseSRWLockExclusive(&lock_); }
    SlimGuard(const SlimGuard&) = delete;
    SlimGuard& operator=(const SlimGuard&) = delete;

   private:
    SRWLOCK& lock_;
  };

  // Made on first use and never destroyed, so that no static destructor runs after unload.
  static inline SRWLOCK stockLock_ = SRWLOCK_INIT;
  static inline std::vector<std::unique_ptr<MessageBuffer>>& stock_ = *new std::vector<std::unique_ptr<MessageBuffer>>();

  std::unique_ptr<MessageBuffer> buffer_;
};

jbyteArray Wrap(JNIEnv* env, jint handle, jbyteArray message) {
  if (message == nullptr) {
    ThrowWinAuthException(env, messages::kMessageCannotBeNull);
    return nullptr;
  }
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  if (!record) return nullptr;

  BorrowedBuffer buffer;
  const MutableBytes data = CopyJavaBytes(env, message, buffer.get());
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
  return NewJavaByteArray(env, {BytesOf(buffers[0]), BytesOf(buffers[1]), BytesOf(buffers[2])});
}

jbyteArray Unwrap(JNIEnv* env, jint handle, jbyteArray wrapped) {
  if (wrapped == nullptr) {
    ThrowWinAuthException(env, messages::kMessageCannotBeNull);
    return nullptr;
  }
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Either, {kStateSuccess});
  if (!record) return nullptr;

  BorrowedBuffer buffer;
  const MutableBytes stream = CopyJavaBytes(env, wrapped, buffer.get());
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
  return NewJavaByteArray(env, {BytesOf(buffers[1])});
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
