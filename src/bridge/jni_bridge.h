// Conversions between Java and native values, and the package's exceptions.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "bridge/platform.h"

// Raised inside an entry point when a JNI call failed and left the JVM's own error pending; the
// entry point's edge turns it into the neutral result without touching anything the JVM gave back.
struct JvmErrorPending {};

// Makes an exception of `className` pending with `message`. When the class cannot be found, the
// error FindClass left pending is what the caller sees.
void ThrowJavaException(JNIEnv* env, const char* className, const char* message);

// Makes a WinAuthException pending with a fixed text.
void ThrowWinAuthException(JNIEnv* env, const char* message);

// Makes a WinAuthException "Platform error: %08x" pending for an SSPI status or Windows error.
void ThrowPlatformError(JNIEnv* env, uint32_t code);

// A Java string as UTF-16 text up to its first U+0000; null gives the empty string.
// Raises JvmErrorPending when the JVM cannot supply the characters.
WideString JavaStringToWide(JNIEnv* env, jstring text);

// An account or group name as UTF-16 text with every unit, U+0000 included, so that the name
// lookups refuse it whole instead of reading the account named in front of the NUL; null gives
// the empty string. Raises JvmErrorPending as JavaStringToWide does.
WideString JavaNameToWide(JNIEnv* env, jstring text);

// A new Java string holding every unit of `text`, embedded zeros included; null with the JVM's
// error pending when it cannot be made.
jstring WideToJavaString(JNIEnv* env, const WideString& text);

// Bytes held natively, not owned.
struct ByteSpan {
  const uint8_t* data;
  size_t size;
};

// A new Java byte array holding the spans one after the other, each written once with
// SetByteArrayRegion (length 0 when all are empty, never null unless the JVM failed, in which case
// its error is pending).
jbyteArray NewJavaByteArray(JNIEnv* env, std::initializer_list<ByteSpan> parts);
inline jbyteArray NewJavaByteArray(JNIEnv* env, const uint8_t* bytes, size_t count) {
  return NewJavaByteArray(env, {ByteSpan{bytes, count}});
}
inline jbyteArray NewJavaByteArray(JNIEnv* env, const std::vector<uint8_t>& bytes) {
  return NewJavaByteArray(env, bytes.data(), bytes.size());
}

// Memory for native copies of Java arrays, kept from call to call by its owner. Memory that is
// new to the process costs a page fault for every page the copy touches, far more than the copy
// itself, and a large block handed back to the system after each call comes back new each time.
class MessageBuffer {
 public:
  MessageBuffer() = default;
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Room for `size` bytes, with whatever they held before; null for 0.
  uint8_t* Reserve(size_t size);
  // Gives the memory back if it grew beyond what is worth keeping.
  void Trim();

 private:
  // At most this much is kept between calls; larger messages get memory of their own.
  static constexpr size_t kKeptSize = size_t{4} << 20;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
};

// Reads the array with one GetByteArrayRegion straight into `buffer`, which is therefore not
// cleared first, and returns where the bytes are and how many. `array` must not be null. Raises
// JvmErrorPending if the read raised.
struct MutableBytes {
  uint8_t* data;
  size_t size;
};
MutableBytes CopyJavaBytes(JNIEnv* env, jbyteArray array, MessageBuffer& buffer);

// The elements of a Java byte array that the library only reads. They are released with
// JNI_ABORT (nothing is copied back) by Release() or, at the latest, by the destructor.
class ByteArrayReader {
 public:
  // Raises JvmErrorPending when the JVM cannot supply the elements. `array` must not be null.
  ByteArrayReader(JNIEnv* env, jbyteArray array);
  ~ByteArrayReader();
  ByteArrayReader(const ByteArrayReader&) = delete;
  ByteArrayReader& operator=(const ByteArrayReader&) = delete;

  uint8_t* data() const { return reinterpret_cast<uint8_t*>(elements_); }
  size_t size() const { return length_; }
  void Release();

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jbyte* elements_;
  size_t length_;
};
