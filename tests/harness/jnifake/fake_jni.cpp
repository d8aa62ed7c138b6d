#include "harness/jnifake/fake_jni.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace fakejni {

struct FakeJvm::Object {
  enum Kind { kString, kByteArray, kCharArray, kClass, kThrowable } kind;
  std::u16string text;        // kString, kCharArray
  std::vector<jbyte> bytes;   // kByteArray
  std::string name;           // kClass: the class; kThrowable: the throwable's class
  std::string message;        // kThrowable
};

// Characters or elements handed out by a Get... function, to be given back by its Release....
struct FakeJvm::Held {
  enum Kind { kChars, kUtfChars, kByteElements, kCritical } kind;
  Object* owner;
  std::vector<jchar> chars;
  std::string utf;
  std::vector<jbyte> bytes;
};

struct FakeJvm::Env {
  JNIEnv jni;
  FakeJvm* owner;
};

namespace {

void DefaultFailure(const std::string& what) {
  std::fprintf(stderr, "fake JNI: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

FailureHandler failureHandler = DefaultFailure;

// The names of the function table's slots after its four reserved ones, in the order of jni.h.
const char kSlotNames[] =
    "GetVersion DefineClass FindClass FromReflectedMethod FromReflectedField ToReflectedMethod "
    "GetSuperclass IsAssignableFrom ToReflectedField Throw ThrowNew ExceptionOccurred "
    "ExceptionDescribe ExceptionClear FatalError PushLocalFrame PopLocalFrame NewGlobalRef "
    "DeleteGlobalRef DeleteLocalRef IsSameObject NewLocalRef EnsureLocalCapacity AllocObject "
    "NewObject NewObjectV NewObjectA GetObjectClass IsInstanceOf GetMethodID CallObjectMethod "
    "CallObjectMethodV CallObjectMethodA CallBooleanMethod CallBooleanMethodV CallBooleanMethodA "
    "CallByteMethod CallByteMethodV CallByteMethodA CallCharMethod CallCharMethodV CallCharMethodA "
    "CallShortMethod CallShortMethodV CallShortMethodA CallIntMethod CallIntMethodV CallIntMethodA "
    "CallLongMethod CallLongMethodV CallLongMethodA CallFloatMethod CallFloatMethodV "
    "CallFloatMethodA CallDoubleMethod CallDoubleMethodV CallDoubleMethodA CallVoidMethod "
    "CallVoidMethodV CallVoidMethodA CallNonvirtualObjectMethod CallNonvirtualObjectMethodV "
    "CallNonvirtualObjectMethodA CallNonvirtualBooleanMethod CallNonvirtualBooleanMethodV "
    "CallNonvirtualBooleanMethodA CallNonvirtualByteMethod CallNonvirtualByteMethodV "
    "CallNonvirtualByteMethodA CallNonvirtualCharMethod CallNonvirtualCharMethodV "
    "CallNonvirtualCharMethodA CallNonvirtualShortMethod CallNonvirtualShortMethodV "
    "CallNonvirtualShortMethodA CallNonvirtualIntMethod CallNonvirtualIntMethodV "
    "CallNonvirtualIntMethodA CallNonvirtualLongMethod CallNonvirtualLongMethodV "
    "CallNonvirtualLongMethodA CallNonvirtualFloatMethod CallNonvirtualFloatMethodV "
    "CallNonvirtualFloatMethodA CallNonvirtualDoubleMethod CallNonvirtualDoubleMethodV "
    "CallNonvirtualDoubleMethodA CallNonvirtualVoidMethod CallNonvirtualVoidMethodV "
    "CallNonvirtualVoidMethodA GetFieldID GetObjectField GetBooleanField GetByteField GetCharField "
    "GetShortField GetIntField GetLongField GetFloatField GetDoubleField SetObjectField "
    "SetBooleanField SetByteField SetCharField SetShortField SetIntField SetLongField SetFloatField "
    "SetDoubleField GetStaticMethodID CallStaticObjectMethod CallStaticObjectMethodV "
    "CallStaticObjectMethodA CallStaticBooleanMethod CallStaticBooleanMethodV "
    "CallStaticBooleanMethodA CallStaticByteMethod CallStaticByteMethodV CallStaticByteMethodA "
    "CallStaticCharMethod CallStaticCharMethodV CallStaticCharMethodA CallStaticShortMethod "
    "CallStaticShortMethodV CallStaticShortMethodA CallStaticIntMethod CallStaticIntMethodV "
    "CallStaticIntMethodA CallStaticLongMethod CallStaticLongMethodV CallStaticLongMethodA "
    "CallStaticFloatMethod CallStaticFloatMethodV CallStaticFloatMethodA CallStaticDoubleMethod "
    "CallStaticDoubleMethodV CallStaticDoubleMethodA CallStaticVoidMethod CallStaticVoidMethodV "
    "CallStaticVoidMethodA GetStaticFieldID GetStaticObjectField GetStaticBooleanField "
    "GetStaticByteField GetStaticCharField GetStaticShortField GetStaticIntField GetStaticLongField "
    "GetStaticFloatField GetStaticDoubleField SetStaticObjectField SetStaticBooleanField "
    "SetStaticByteField SetStaticCharField SetStaticShortField SetStaticIntField SetStaticLongField "
    "SetStaticFloatField SetStaticDoubleField NewString GetStringLength GetStringChars "
    "ReleaseStringChars NewStringUTF GetStringUTFLength GetStringUTFChars ReleaseStringUTFChars "
    "GetArrayLength NewObjectArray GetObjectArrayElement SetObjectArrayElement NewBooleanArray "
    "NewByteArray NewCharArray NewShortArray NewIntArray NewLongArray NewFloatArray NewDoubleArray "
    "GetBooleanArrayElements GetByteArrayElements GetCharArrayElements GetShortArrayElements "
    "GetIntArrayElements GetLongArrayElements GetFloatArrayElements GetDoubleArrayElements "
    "ReleaseBooleanArrayElements ReleaseByteArrayElements ReleaseCharArrayElements "
    "ReleaseShortArrayElements ReleaseIntArrayElements ReleaseLongArrayElements "
    "ReleaseFloatArrayElements ReleaseDoubleArrayElements GetBooleanArrayRegion GetByteArrayRegion "
    "GetCharArrayRegion GetShortArrayRegion GetIntArrayRegion GetLongArrayRegion GetFloatArrayRegion "
    "GetDoubleArrayRegion SetBooleanArrayRegion SetByteArrayRegion SetCharArrayRegion "
    "SetShortArrayRegion SetIntArrayRegion SetLongArrayRegion SetFloatArrayRegion "
    "SetDoubleArrayRegion RegisterNatives UnregisterNatives MonitorEnter MonitorExit GetJavaVM "
    "GetStringRegion GetStringUTFRegion GetPrimitiveArrayCritical ReleasePrimitiveArrayCritical "
    "GetStringCritical ReleaseStringCritical NewWeakGlobalRef DeleteWeakGlobalRef ExceptionCheck "
    "NewDirectByteBuffer GetDirectBufferAddress GetDirectBufferCapacity GetObjectRefType GetModule";

constexpr size_t kReservedSlots = 4;
constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);

std::string SlotName(size_t slot) {
  size_t index = slot - kReservedSlots;
  const char* name = kSlotNames;
  while (index > 0 && *name != '\0') {
    name = std::strchr(name, ' ');
    if (name == nullptr) return "slot " + std::to_string(slot);
    ++name;
    --index;
  }
  const char* end = std::strchr(name, ' ');
  return end == nullptr ? std::string(name) : std::string(name, end);
}

template <size_t Slot>
void* JNICALL Unprovided(JNIEnv*) {
  failureHandler("the library called " + SlotName(Slot) + ", which this test environment does not provide");
  return nullptr;
}

template <size_t... Slots>
void FillWithTraps(void** slots, std::index_sequence<Slots...>) {
  ((slots[Slots] = Slots < kReservedSlots ? nullptr : reinterpret_cast<void*>(&Unprovided<Slots>)), ...);
}

// ---- modified UTF-8, as the JVM reads and writes it ---------------------------------------------

std::string ToModifiedUtf8(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit != 0 && unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

bool FromModifiedUtf8(const char* text, std::u16string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    if (*p < 0x80) {
      out += static_cast<char16_t>(*p++);
    } else if ((*p & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
      out += static_cast<char16_t>(((*p & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if ((*p & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
      out += static_cast<char16_t>(((*p & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
      p += 3;
    } else {
      return false;
    }
  }
  return true;
}

// ---- the provided functions ---------------------------------------------------------------------

using Object = FakeJvm::Object;
using Held = FakeJvm::Held;

FakeJvm& Jvm(JNIEnv* env) { return *reinterpret_cast<FakeJvm::Env*>(env)->owner; }

// The environment of a call that a JVM refuses while an exception is pending.
FakeJvm& Call(JNIEnv* env, const char* function) {
  FakeJvm& jvm = Jvm(env);
  if (jvm.pending()) jvm.Violation(std::string(function) + " called with an exception pending");
  return jvm;
}

Object* As(FakeJvm& jvm, jobject reference, Object::Kind kind, const char* function) {
  Object* object = jvm.Resolve(reference, function);
  if (object != nullptr && object->kind != kind) {
    jvm.Violation(std::string(function) + " given a reference of the wrong kind");
    return nullptr;
  }
  return object;
}

jint JNICALL GetVersion(JNIEnv* env) {
  Call(env, "GetVersion");
  return JNI_VERSION_1_8;
}

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
  FakeJvm& jvm = Call(env, "FindClass");
  if (jvm.ShouldFail("FindClass")) return nullptr;
  if (name == nullptr || !jvm.Knows(name)) {
    jvm.Throw("java/lang/NoClassDefFoundError", name == nullptr ? "" : name);
    return nullptr;
  }
  auto object = std::make_unique<Object>();
  object->kind = Object::kClass;
  object->name = name;
  return static_cast<jclass>(jvm.Register(std::move(object)));
}

jint JNICALL Throw(JNIEnv* env, jthrowable throwable) {
  FakeJvm& jvm = Call(env, "Throw");
  Object* object = As(jvm, throwable, Object::kThrowable, "Throw");
  if (object == nullptr) return JNI_ERR;
  jvm.pending() = std::make_unique<Object>(*object);
  return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass type, const char* message) {
  FakeJvm& jvm = Call(env, "ThrowNew");
  Object* object = As(jvm, type, Object::kClass, "ThrowNew");
  if (object == nullptr) return JNI_ERR;
  jvm.Throw(object->name, message == nullptr ? "" : message);
  return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
  FakeJvm& jvm = Jvm(env);
  if (!jvm.pending()) return nullptr;
  return static_cast<jthrowable>(jvm.Register(std::make_unique<Object>(*jvm.pending())));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
  FakeJvm& jvm = Jvm(env);
  if (!jvm.pending()) return;
  std::fprintf(stderr, "%s: %s\n", jvm.pending()->name.c_str(), jvm.pending()->message.c_str());
  jvm.pending().reset();
}

void JNICALL ExceptionClear(JNIEnv* env) { Jvm(env).pending().reset(); }

jboolean JNICALL ExceptionCheck(JNIEnv* env) { return Jvm(env).pending() ? JNI_TRUE : JNI_FALSE; }

void JNICALL FatalError(JNIEnv*, const char* message) {
  failureHandler(std::string("the library called FatalError: ") + (message == nullptr ? "" : message));
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject reference) {
  if (reference == nullptr) return;
  FakeJvm& jvm = Jvm(env);
  if (jvm.Resolve(reference, "DeleteLocalRef") != nullptr) jvm.Forget(reference);
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject reference) {
  FakeJvm& jvm = Call(env, "NewLocalRef");
  if (reference == nullptr) return nullptr;
  Object* object = jvm.Resolve(reference, "NewLocalRef");
  return object == nullptr ? nullptr : jvm.Register(std::make_unique<Object>(*object));
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint) {
  Call(env, "EnsureLocalCapacity");
  return JNI_OK;
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject first, jobject second) {
  Call(env, "IsSameObject");
  return first == second ? JNI_TRUE : JNI_FALSE;
}

jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length) {
  FakeJvm& jvm = Call(env, "NewString");
  if (length < 0 || (chars == nullptr && length > 0)) {
    jvm.Violation("NewString given " + std::to_string(length) + " characters at " + (chars ? "an address" : "null"));
    return nullptr;
  }
  if (jvm.ShouldFail("NewString")) return nullptr;
  return jvm.String(std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length)));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring text) {
  FakeJvm& jvm = Call(env, "GetStringLength");
  Object* object = As(jvm, text, Object::kString, "GetStringLength");
  return object == nullptr ? 0 : static_cast<jsize>(object->text.size());
}

// The characters are a copy of exactly the string's length with no terminator after them, so
// code that reads past the end or relies on a NUL is not helped by luck.
const jchar* JNICALL GetStringChars(JNIEnv* env, jstring text, jboolean* isCopy) {
  FakeJvm& jvm = Call(env, "GetStringChars");
  Object* object = As(jvm, text, Object::kString, "GetStringChars");
  if (object == nullptr || jvm.ShouldFail("GetStringChars")) return nullptr;
  auto held = std::make_unique<Held>();
  held->kind = Held::kChars;
  held->owner = object;
  held->chars.assign(object->text.begin(), object->text.end());
  held->chars.reserve(1);  // a valid pointer even for the empty string
  const jchar* result = held->chars.data();
  jvm.held()[result] = std::move(held);
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  return result;
}

// Gives back what a Get... function handed out; `kind` and the owner must match.
Held* Reclaim(FakeJvm& jvm, jobject reference, const void* pointer, Held::Kind kind, const char* function) {
  Object* object = jvm.Resolve(reference, function);
  auto it = jvm.held().find(pointer);
  if (it == jvm.held().end() || it->second->kind != kind || it->second->owner != object) {
    jvm.Violation(std::string(function) + " given a pointer it did not hand out, or one released already");
    return nullptr;
  }
  return it->second.get();
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring text, const jchar* chars) {
  FakeJvm& jvm = Jvm(env);
  if (Reclaim(jvm, text, chars, Held::kChars, "ReleaseStringChars") != nullptr) jvm.held().erase(chars);
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
  FakeJvm& jvm = Call(env, "NewStringUTF");
  if (utf == nullptr) return nullptr;
  std::u16string text;
  if (!FromModifiedUtf8(utf, text)) jvm.Violation("NewStringUTF given text that is not modified UTF-8");
  if (jvm.ShouldFail("NewStringUTF")) return nullptr;
  return jvm.String(text);
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring text) {
  FakeJvm& jvm = Call(env, "GetStringUTFLength");
  Object* object = As(jvm, text, Object::kString, "GetStringUTFLength");
  return object == nullptr ? 0 : static_cast<jsize>(ToModifiedUtf8(object->text).size());
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring text, jboolean* isCopy) {
  FakeJvm& jvm = Call(env, "GetStringUTFChars");
  Object* object = As(jvm, text, Object::kString, "GetStringUTFChars");
  if (object == nullptr || jvm.ShouldFail("GetStringUTFChars")) return nullptr;
  auto held = std::make_unique<Held>();
  held->kind = Held::kUtfChars;
  held->owner = object;
  held->utf = ToModifiedUtf8(object->text);
  const char* result = held->utf.c_str();
  jvm.held()[result] = std::move(held);
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  return result;
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring text, const char* utf) {
  FakeJvm& jvm = Jvm(env);
  if (Reclaim(jvm, text, utf, Held::kUtfChars, "ReleaseStringUTFChars") != nullptr) jvm.held().erase(utf);
}

void JNICALL GetStringRegion(JNIEnv* env, jstring text, jsize start, jsize length, jchar* out) {
  FakeJvm& jvm = Call(env, "GetStringRegion");
  Object* object = As(jvm, text, Object::kString, "GetStringRegion");
  if (object == nullptr) return;
  if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > object->text.size()) {
    jvm.Throw("java/lang/StringIndexOutOfBoundsException", "");
    return;
  }
  std::memcpy(out, object->text.data() + start, static_cast<size_t>(length) * sizeof(jchar));
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
  FakeJvm& jvm = Call(env, "GetArrayLength");
  Object* object = jvm.Resolve(array, "GetArrayLength");
  if (object != nullptr && object->kind == Object::kCharArray) return static_cast<jsize>(object->text.size());
  object = As(jvm, array, Object::kByteArray, "GetArrayLength");
  return object == nullptr ? 0 : static_cast<jsize>(object->bytes.size());
}

void JNICALL GetCharArrayRegion(JNIEnv* env, jcharArray array, jsize start, jsize length, jchar* out) {
  FakeJvm& jvm = Call(env, "GetCharArrayRegion");
  Object* object = As(jvm, array, Object::kCharArray, "GetCharArrayRegion");
  if (object == nullptr) return;
  if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > object->text.size()) {
    jvm.Throw("java/lang/ArrayIndexOutOfBoundsException", "");
    return;
  }
  std::memcpy(out, object->text.data() + start, static_cast<size_t>(length) * sizeof(jchar));
}

jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length) {
  FakeJvm& jvm = Call(env, "NewByteArray");
  if (length < 0) {
    jvm.Throw("java/lang/NegativeArraySizeException", std::to_string(length));
    return nullptr;
  }
  if (jvm.ShouldFail("NewByteArray")) return nullptr;
  return jvm.Bytes(std::vector<uint8_t>(static_cast<size_t>(length)));
}

jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
  FakeJvm& jvm = Call(env, "GetByteArrayElements");
  Object* object = As(jvm, array, Object::kByteArray, "GetByteArrayElements");
  if (object == nullptr || jvm.ShouldFail("GetByteArrayElements")) return nullptr;
  auto held = std::make_unique<Held>();
  held->kind = Held::kByteElements;
  held->owner = object;
  held->bytes = object->bytes;
  held->bytes.reserve(1);
  jbyte* result = held->bytes.data();
  jvm.held()[result] = std::move(held);
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  return result;
}

void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
  FakeJvm& jvm = Jvm(env);
  Held* held = Reclaim(jvm, array, elements, Held::kByteElements, "ReleaseByteArrayElements");
  if (held == nullptr) return;
  if (mode != JNI_ABORT) held->owner->bytes = held->bytes;
  if (mode != JNI_COMMIT) jvm.held().erase(elements);
}

bool InRange(FakeJvm& jvm, const Object& array, jsize start, jsize length) {
  if (start >= 0 && length >= 0 && static_cast<size_t>(start) + static_cast<size_t>(length) <= array.bytes.size()) {
    return true;
  }
  jvm.Throw("java/lang/ArrayIndexOutOfBoundsException", "");
  return false;
}

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, jbyte* out) {
  FakeJvm& jvm = Call(env, "GetByteArrayRegion");
  Object* object = As(jvm, array, Object::kByteArray, "GetByteArrayRegion");
  if (object == nullptr || !InRange(jvm, *object, start, length)) return;
  std::memcpy(out, object->bytes.data() + start, static_cast<size_t>(length));
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, const jbyte* in) {
  FakeJvm& jvm = Call(env, "SetByteArrayRegion");
  Object* object = As(jvm, array, Object::kByteArray, "SetByteArrayRegion");
  if (object == nullptr || !InRange(jvm, *object, start, length)) return;
  std::memcpy(object->bytes.data() + start, in, static_cast<size_t>(length));
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
  FakeJvm& jvm = Call(env, "GetPrimitiveArrayCritical");
  Object* object = As(jvm, array, Object::kByteArray, "GetPrimitiveArrayCritical");
  if (object == nullptr) return nullptr;
  auto held = std::make_unique<Held>();
  held->kind = Held::kCritical;
  held->owner = object;
  held->bytes = object->bytes;
  held->bytes.reserve(1);
  void* result = held->bytes.data();
  jvm.held()[result] = std::move(held);
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  return result;
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray array, void* elements, jint mode) {
  FakeJvm& jvm = Jvm(env);
  Held* held = Reclaim(jvm, array, elements, Held::kCritical, "ReleasePrimitiveArrayCritical");
  if (held == nullptr) return;
  if (mode != JNI_ABORT) held->owner->bytes = held->bytes;
  if (mode != JNI_COMMIT) jvm.held().erase(elements);
}

const JNINativeInterface_& FunctionTable() {
  static const JNINativeInterface_ table = [] {
    JNINativeInterface_ functions;
    void* slots[kSlots];
    FillWithTraps(slots, std::make_index_sequence<kSlots>());
    std::memcpy(&functions, slots, sizeof functions);
    functions.GetVersion = GetVersion;
    functions.FindClass = FindClass;
    functions.Throw = Throw;
    functions.ThrowNew = ThrowNew;
    functions.ExceptionOccurred = ExceptionOccurred;
    functions.ExceptionDescribe = ExceptionDescribe;
    functions.ExceptionClear = ExceptionClear;
    functions.ExceptionCheck = ExceptionCheck;
    functions.FatalError = FatalError;
    functions.DeleteLocalRef = DeleteLocalRef;
    functions.NewLocalRef = NewLocalRef;
    functions.EnsureLocalCapacity = EnsureLocalCapacity;
    functions.IsSameObject = IsSameObject;
    functions.NewString = NewString;
    functions.GetStringLength = GetStringLength;
    functions.GetStringChars = GetStringChars;
    functions.ReleaseStringChars = ReleaseStringChars;
    functions.NewStringUTF = NewStringUTF;
    functions.GetStringUTFLength = GetStringUTFLength;
    functions.GetStringUTFChars = GetStringUTFChars;
    functions.ReleaseStringUTFChars = ReleaseStringUTFChars;
    functions.GetStringRegion = GetStringRegion;
    functions.GetArrayLength = GetArrayLength;
    functions.NewByteArray = NewByteArray;
    functions.GetByteArrayElements = GetByteArrayElements;
    functions.ReleaseByteArrayElements = ReleaseByteArrayElements;
    functions.GetByteArrayRegion = GetByteArrayRegion;
    functions.GetCharArrayRegion = GetCharArrayRegion;
    functions.SetByteArrayRegion = SetByteArrayRegion;
    functions.GetPrimitiveArrayCritical = GetPrimitiveArrayCritical;
    functions.ReleasePrimitiveArrayCritical = ReleasePrimitiveArrayCritical;
    return functions;
  }();
  return table;
}

}  // namespace

void SetFailureHandler(FailureHandler handler) { failureHandler = handler != nullptr ? handler : DefaultFailure; }

FakeJvm::FakeJvm() : env_(new Env) {
  env_->jni.functions = &FunctionTable();
  env_->owner = this;
  for (const char* name : {"java/lang/Throwable", "java/lang/Error", "java/lang/OutOfMemoryError",
                           "java/lang/RuntimeException", "java/lang/NullPointerException",
                           "java/lang/IllegalArgumentException", "java/lang/IllegalStateException",
                           "com/tarvex/pelk/quentrel/WinAuthException", "com/tarvex/pelk/quentrel/UserNotFoundException",
                           "com/tarvex/pelk/quentrel/GroupNotFoundException", "com/tarvex/pelk/quentrel/WinException"}) {
    classes_.insert(name);
  }
}

FakeJvm::~FakeJvm() = default;

JNIEnv* FakeJvm::env() { return &env_->jni; }

jobject FakeJvm::Register(std::unique_ptr<Object> object) {
  const uintptr_t reference = nextReference_;
  nextReference_ += 16;
  objects_[reference] = std::move(object);
  return reinterpret_cast<jobject>(reference);
}

FakeJvm::Object* FakeJvm::Resolve(jobject reference, const char* function) {
  auto it = objects_.find(reinterpret_cast<uintptr_t>(reference));
  if (it != objects_.end()) return it->second.get();
  Violation(std::string(function) + (reference == nullptr ? " given null" : " given a deleted or unknown reference"));
  return nullptr;
}

void FakeJvm::Forget(jobject reference) {
  auto it = objects_.find(reinterpret_cast<uintptr_t>(reference));
  if (it == objects_.end()) return;
  for (const auto& entry : held_) {
    if (entry.second->owner == it->second.get()) Violation("a reference was deleted while its elements were still held");
  }
  objects_.erase(it);
}

jstring FakeJvm::String(const std::u16string& text) {
  auto object = std::make_unique<Object>();
  object->kind = Object::kString;
  object->text = text;
  return static_cast<jstring>(Register(std::move(object)));
}

jbyteArray FakeJvm::Bytes(const std::vector<uint8_t>& bytes) {
  auto object = std::make_unique<Object>();
  object->kind = Object::kByteArray;
  object->bytes.assign(bytes.begin(), bytes.end());
  return static_cast<jbyteArray>(Register(std::move(object)));
}

jcharArray FakeJvm::Chars(const std::u16string& chars) {
  auto object = std::make_unique<Object>();
  object->kind = Object::kCharArray;
  object->text = chars;
  return static_cast<jcharArray>(Register(std::move(object)));
}

std::u16string FakeJvm::TextOf(jstring text) {
  Object* object = Resolve(text, "TextOf");
  return object == nullptr || object->kind != Object::kString ? std::u16string() : object->text;
}

std::vector<uint8_t> FakeJvm::BytesOf(jbyteArray array) {
  Object* object = Resolve(array, "BytesOf");
  if (object == nullptr || object->kind != Object::kByteArray) return {};
  return std::vector<uint8_t>(object->bytes.begin(), object->bytes.end());
}

void FakeJvm::Delete(jobject reference) {
  if (reference == nullptr) return;
  if (Resolve(reference, "Delete") != nullptr) Forget(reference);
}

void FakeJvm::AddClass(const std::string& name) { classes_.insert(name); }
void FakeJvm::RemoveClass(const std::string& name) { classes_.erase(name); }

std::optional<Thrown> FakeJvm::Pending() const {
  if (!pending_) return std::nullopt;
  return Thrown{pending_->name, pending_->message};
}

std::optional<Thrown> FakeJvm::Take() {
  std::optional<Thrown> thrown = Pending();
  pending_.reset();
  return thrown;
}

void FakeJvm::FailNext(const std::string& function) { failNext_.insert(function); }

bool FakeJvm::ShouldFail(const char* function) {
  if (failNext_.erase(function) == 0) return false;
  Throw("java/lang/OutOfMemoryError", std::string(function) + " failed");
  return true;
}

void FakeJvm::Throw(const std::string& className, const std::string& message) {
  pending_ = std::make_unique<Object>();
  pending_->kind = Object::kThrowable;
  pending_->name = className;
  pending_->message = message;
}

std::vector<std::string> FakeJvm::TakeViolations() { return std::exchange(violations_, {}); }

}  // namespace fakejni
