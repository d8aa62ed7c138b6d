// One thread's way into the library without a JVM: a fake JNI environment and the entry points
// called with plain values, each result given back as text with whatever the call threw, so that
// native drivers (the fault sweep, the stress driver, the fuzz targets) compare and log outcomes
// alike. Every Java object a call makes is deleted before the call returns here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness/jnifake/fake_jni.h"
#include "harness/native/entry_points.h"

namespace native {

using JString = std::optional<std::u16string>;  // nullopt is Java's null
using JBytes = std::optional<std::vector<uint8_t>>;

// "ok:<value>" or "<ExceptionClass>: <message>". Values: integers in decimal, booleans as
// true/false, null as <null>, text in UTF-8, bytes as their count ("bytes:12").
struct Outcome {
  std::string text;
  std::vector<uint8_t> bytes;  // a byte[] result
  int handle = 0;              // an int result
  bool ok() const { return text.rfind("ok:", 0) == 0; }
};

// UTF-8 of UTF-16 text; an unpaired surrogate is encoded on its own.
inline std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (unit >> 18));
      out += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

class Session {
 public:
  Session();
  fakejni::FakeJvm& jvm() { return jvm_; }
  JNIEnv* env() { return jvm_.env(); }

  // ---- SSPI ----
  Outcome CreateContext(bool client, int flags, const JString& package, const JString& target);
  Outcome CreateBoundContext(bool client, int flags, const JString& package, const JString& target,
                             const JBytes& bindings);
  Outcome CreatePasswordContext(const JString& package, const JString& target, const JString& user,
                                const std::u16string& password);
  // "ok:expiry" for a time, which differs from run to run.
  Outcome GetContextExpiry(int handle);
  Outcome GetDelegationLimit(int handle);
  Outcome Initialize(int handle, const JBytes& token);
  Outcome Accept(int handle, const JBytes& token);
  Outcome GetChallengeToken(int handle);
  Outcome GetNegotiatedAttributes(int handle);
  Outcome GetMaxTokenSize(int handle);
  Outcome Wrap(int handle, const JBytes& message);
  Outcome Unwrap(int handle, const JBytes& message);
  Outcome GetClientUserName(int handle);
  Outcome StartImpersonating(int handle);
  Outcome StopImpersonating(int handle);
  Outcome IsGroupMember(int handle, const JString& group);
  Outcome GetContextInformation(int handle);
  Outcome FreeHandle(int handle);
  // ---- UserAuth ----
  Outcome CreateUserContext(const JString& account);
  Outcome FreeUserHandle(int handle);
  Outcome GetUserSID(const JString& account);
  Outcome IsUserGroupMember(int handle, const JString& group);
  // ---- WinUtil ----
  Outcome GetHKLMStringRegValue(const JString& key, const JString& name, bool view64);
  Outcome SetHKLMStringRegValue(const JString& key, const JString& name, const JString& value, bool view64);
  Outcome SetHKLMIntRegValue(const JString& key, const JString& name, int value, bool view64);
  Outcome GetProductInstallPath();
  Outcome GetCommonAppDataFilePath(const JString& name);
  Outcome GetDCCheckResultCode();
  Outcome GetFullyQualifiedDnsName();
  Outcome GetComputerNameNetBIOS();

  // Carries tokens between a new client and a new server of `package` until both are established;
  // false when the exchange fails. The handles are set either way (0 when not created).
  bool Handshake(const std::u16string& package, int clientFlags, int& client, int& server,
                 const std::u16string& target = u"HTTP/web.example.test");

 private:
  jstring In(const JString& text);
  jbyteArray In(const JBytes& bytes);
  void Drop(jobject reference);
  Outcome Finish(Outcome value);
  Outcome Int(jint value);
  Outcome Bool(jboolean value);
  Outcome Text(jstring value);
  Outcome Bytes(jbyteArray value);
  Outcome Void();

  fakejni::FakeJvm jvm_;
};

}  // namespace native
