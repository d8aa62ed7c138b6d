// A JNI environment without a JVM: the part of the JNI function table that the library uses
// (strings, byte arrays, FindClass, exceptions, local references), so that its entry points can be
// called directly by a native test program, under Wine or under sanitizers. Every other slot of the
// table fails loudly. Misuse that a JVM started with -Xcheck:jni would report (a JNI call with an
// exception pending, a reference used after DeleteLocalRef, elements released twice or never) is
// recorded as a violation for the test to inspect.
//
// One FakeJvm serves one thread at a time.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fakejni {

// Called when the library uses a JNI function this environment does not provide; the default
// prints the function's name to stderr and aborts. A handler that returns makes the call return
// zero or null.
using FailureHandler = void (*)(const std::string& what);
void SetFailureHandler(FailureHandler handler);

struct Thrown {
  std::string className;  // JNI form, e.g. "com/tarvex/pelk/quentrel/WinAuthException"
  std::string message;
};

class FakeJvm {
 public:
  FakeJvm();
  ~FakeJvm();
  FakeJvm(const FakeJvm&) = delete;
  FakeJvm& operator=(const FakeJvm&) = delete;

  JNIEnv* env();

  // Java values made by the test; each is a local reference until Delete.
  jstring String(const std::u16string& text);
  jbyteArray Bytes(const std::vector<uint8_t>& bytes);
  jcharArray Chars(const std::u16string& chars);
  // The contents of a live string or array (a result of the library, say).
  std::u16string TextOf(jstring text);
  std::vector<uint8_t> BytesOf(jbyteArray array);
  void Delete(jobject reference);

  // Classes FindClass finds: java/lang's usual exceptions and the package's four by default.
  void AddClass(const std::string& name);
  void RemoveClass(const std::string& name);

  // The pending exception, if any; Take also clears it.
  std::optional<Thrown> Pending() const;
  std::optional<Thrown> Take();

  // Makes the next call of `function` (NewString, NewStringUTF, NewByteArray, GetStringChars,
  // GetStringUTFChars, GetByteArrayElements, FindClass) fail as a JVM out of memory does: null
  // with an error pending.
  void FailNext(const std::string& function);

  // Local references alive (the test's own included) and elements or characters obtained and not
  // yet released.
  size_t LiveReferences() const { return objects_.size(); }
  size_t HeldElements() const { return held_.size(); }
  // Misuse seen since the last call, oldest first.
  std::vector<std::string> TakeViolations();

  // ---- used by the function table ----
  struct Env;
  struct Object;
  struct Held;
  Object* Resolve(jobject reference, const char* function);
  jobject Register(std::unique_ptr<Object> object);
  void Violation(const std::string& what) { violations_.push_back(what); }
  bool ShouldFail(const char* function);
  void Throw(const std::string& className, const std::string& message);
  bool Knows(const std::string& className) const { return classes_.count(className) != 0; }
  std::map<const void*, std::unique_ptr<Held>>& held() { return held_; }
  std::unique_ptr<Object>& pending() { return pending_; }
  void Forget(jobject reference);

 private:
  std::unique_ptr<Env> env_;
  // Keyed by reference value; values are never reused, so a deleted reference stays unknown.
  std::map<uintptr_t, std::unique_ptr<Object>> objects_;
  uintptr_t nextReference_ = 0x10000;
  std::map<const void*, std::unique_ptr<Held>> held_;
  std::unique_ptr<Object> pending_;
  std::set<std::string> classes_;
  std::set<std::string> failNext_;
  std::vector<std::string> violations_;
};

}  // namespace fakejni
