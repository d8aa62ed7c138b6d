#include "bridge/jni_bridge.h"

#include <cstdio>
#include <limits>
#include <stdexcept>

#include "bridge/messages.h"

void ThrowJavaException(JNIEnv* env, const char* className, const char* message) {
  jclass type = env->FindClass(className);
  if (type != nullptr) env->ThrowNew(type, message);
  env->DeleteLocalRef(type);
}

void ThrowWinAuthException(JNIEnv* env, const char* message) {
  ThrowJavaException(env, javaclass::kWinAuthException, message);
}

void ThrowPlatformError(JNIEnv* env, uint32_t code) {
  char text[80];
  std::snprintf(text, sizeof text, messages::kPlatformErrorFormat, static_cast<unsigned>(code));
  ThrowWinAuthException(env, text);
}

namespace {

WideString JavaChars(JNIEnv* env, jstring text, bool toFirstNul) {
  if (text == nullptr) return WideString();
  const jsize length = env->GetStringLength(text);
  const jchar* chars = env->GetStringChars(text, nullptr);
  if (chars == nullptr) throw JvmErrorPending{};
  jsize end = toFirstNul ? 0 : length;
  while (end < length && chars[end] != 0) ++end;
  WideString result;
  try {
    result.assign(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(end));
  } catch (...) {
    env->ReleaseStringChars(text, chars);
    throw;
  }
  env->ReleaseStringChars(text, chars);
  return result;
}

}  // namespace

WideString JavaStringToWide(JNIEnv* env, jstring text) { return JavaChars(env, text, true); }

WideString JavaNameToWide(JNIEnv* env, jstring text) { return JavaChars(env, text, false); }

jstring WideToJavaString(JNIEnv* env, const WideString& text) {
  if (text.size() > static_cast<size_t>(std::numeric_limits<jsize>::max())) throw std::length_error("string too long");
  return env->NewString(reinterpret_cast<const jchar*>(text.data()), static_cast<jsize>(text.size()));
}

jbyteArray NewJavaByteArray(JNIEnv* env, std::initializer_list<ByteSpan> parts) {
  size_t total = 0;
  for (const ByteSpan& part : parts) total += part.size;
  if (total > static_cast<size_t>(std::numeric_limits<jsize>::max())) throw std::length_error("array too long");
  jbyteArray array = env->NewByteArray(static_cast<jsize>(total));
  if (array == nullptr) return nullptr;
  jsize at = 0;
  for (const ByteSpan& part : parts) {
    if (part.size == 0) continue;
    env->SetByteArrayRegion(array, at, static_cast<jsize>(part.size), reinterpret_cast<const jbyte*>(part.data));
    at += static_cast<jsize>(part.size);
  }
  return array;
}

uint8_t* MessageBuffer::Reserve(size_t size) {
  if (size == 0) return nullptr;
  if (size > capacity_) {
    bytes_.reset();
    capacity_ = 0;
    bytes_.reset(new uint8_t[size]);
    capacity_ = size;
  }
  return bytes_.get();
}

void MessageBuffer::Trim() {
  if (capacity_ <= kKeptSize) return;
  bytes_.reset();
  capacity_ = 0;
}

MutableBytes CopyJavaBytes(JNIEnv* env, jbyteArray array, MessageBuffer& buffer) {
  const size_t size = static_cast<size_t>(env->GetArrayLength(array));
  uint8_t* bytes = buffer.Reserve(size);
  if (size == 0) return MutableBytes{nullptr, 0};
  env->GetByteArrayRegion(array, 0, static_cast<jsize>(size), reinterpret_cast<jbyte*>(bytes));
  // Only a range outside the array raises here, which the length just read rules out.
  if (env->ExceptionCheck()) throw JvmErrorPending{};
  return MutableBytes{bytes, size};
}

ByteArrayReader::ByteArrayReader(JNIEnv* env, jbyteArray array)
    : env_(env), array_(array), elements_(nullptr), length_(0) {
  length_ = static_cast<size_t>(env->GetArrayLength(array));
  elements_ = env->GetByteArrayElements(array, nullptr);
  if (elements_ == nullptr) throw JvmErrorPending{};
}

ByteArrayReader::~ByteArrayReader() { Release(); }

void ByteArrayReader::Release() {
  if (elements_ == nullptr) return;
  env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT);
  elements_ = nullptr;
}
