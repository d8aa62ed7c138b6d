#include "harness/native/session.h"

#include "harness/native/stress.h"

#include <utility>

namespace native {

Session::Session() = default;

jstring Session::In(const JString& text) { return text ? jvm_.String(*text) : nullptr; }
jbyteArray Session::In(const JBytes& bytes) { return bytes ? jvm_.Bytes(*bytes) : nullptr; }

void Session::Drop(jobject reference) {
  if (reference != nullptr) jvm_.Delete(reference);
}

Outcome Session::Finish(Outcome value) {
  if (auto thrown = jvm_.Take()) {
    const size_t slash = thrown->className.rfind('/');
    value.text = thrown->className.substr(slash == std::string::npos ? 0 : slash + 1) + ": " + thrown->message;
  }
  return value;
}

Outcome Session::Int(jint value) {
  Outcome out;
  out.handle = value;
  out.text = "ok:" + std::to_string(value);
  return Finish(out);
}

Outcome Session::Bool(jboolean value) { return Finish(Outcome{value ? "ok:true" : "ok:false", {}, 0}); }

Outcome Session::Text(jstring value) {
  Outcome out{"ok:<null>", {}, 0};
  if (value != nullptr) out.text = "ok:" + Utf8(jvm_.TextOf(value));
  Drop(value);
  return Finish(out);
}

Outcome Session::Bytes(jbyteArray value) {
  Outcome out{"ok:<null>", {}, 0};
  if (value != nullptr) {
    out.bytes = jvm_.BytesOf(value);
    out.text = "ok:bytes:" + std::to_string(out.bytes.size());
  }
  Drop(value);
  return Finish(out);
}

Outcome Session::Void() { return Finish(Outcome{"ok:", {}, 0}); }

#define Q(family, method) Java_com_tarvex_pelk_quentrel_##family##_##method

Outcome Session::CreateContext(bool client, int flags, const JString& package, const JString& target) {
  jstring p = In(package), t = In(target);
  jint handle = Q(SSPI, CreateContext)(env(), nullptr, client ? JNI_TRUE : JNI_FALSE, flags, p, t);
  Drop(p);
  Drop(t);
  return Int(handle);
}

Outcome Session::CreateBoundContext(bool client, int flags, const JString& package, const JString& target,
                                    const JBytes& bindings) {
  jstring p = In(package), t = In(target);
  jbyteArray b = In(bindings);
  jint handle = Q(Extensions, CreateBoundContext)(env(), nullptr, client ? JNI_TRUE : JNI_FALSE, flags, p, t, b);
  Drop(p);
  Drop(t);
  Drop(b);
  return Int(handle);
}

Outcome Session::CreatePasswordContext(const JString& package, const JString& target, const JString& user,
                                       const std::u16string& password) {
  jstring p = In(package), t = In(target), u = In(user);
  jcharArray secret = jvm_.Chars(password);
  jint handle = Q(Extensions, CreatePasswordContext)(env(), nullptr, p, t, u, secret);
  for (jobject reference : {static_cast<jobject>(p), static_cast<jobject>(t), static_cast<jobject>(u),
                            static_cast<jobject>(secret)})
    Drop(reference);
  return Int(handle);
}

Outcome Session::GetContextExpiry(int handle) {
  Outcome out = Int(Q(Extensions, GetContextExpiry)(env(), nullptr, handle) > 0 ? 1 : 0);
  if (out.ok()) out.text = out.handle == 1 ? "ok:expiry" : "ok:0";
  return out;
}

Outcome Session::GetDelegationLimit(int handle) { return Int(Q(Extensions, GetDelegationLimit)(env(), nullptr, handle)); }

Outcome Session::Initialize(int handle, const JBytes& token) {
  jbyteArray in = In(token);
  jboolean done = Q(SSPI, Initialize)(env(), nullptr, handle, in);
  Drop(in);
  return Bool(done);
}

Outcome Session::Accept(int handle, const JBytes& token) {
  jbyteArray in = In(token);
  jboolean done = Q(SSPI, Accept)(env(), nullptr, handle, in);
  Drop(in);
  return Bool(done);
}

Outcome Session::GetChallengeToken(int handle) { return Bytes(Q(SSPI, GetChallengeToken)(env(), nullptr, handle)); }
Outcome Session::GetNegotiatedAttributes(int handle) { return Int(Q(SSPI, GetNegotiatedAttributes)(env(), nullptr, handle)); }
Outcome Session::GetMaxTokenSize(int handle) { return Int(Q(SSPI, GetMaxTokenSize)(env(), nullptr, handle)); }

Outcome Session::Wrap(int handle, const JBytes& message) {
  jbyteArray in = In(message);
  jbyteArray out = Q(SSPI, Wrap)(env(), nullptr, handle, in);
  Drop(in);
  return Bytes(out);
}

Outcome Session::Unwrap(int handle, const JBytes& message) {
  jbyteArray in = In(message);
  jbyteArray out = Q(SSPI, Unwrap)(env(), nullptr, handle, in);
  Drop(in);
  return Bytes(out);
}

Outcome Session::GetClientUserName(int handle) { return Text(Q(SSPI, GetClientUserName)(env(), nullptr, handle)); }

Outcome Session::StartImpersonating(int handle) {
  Q(SSPI, StartImpersonating)(env(), nullptr, handle);
  return Void();
}

Outcome Session::StopImpersonating(int handle) {
  Q(SSPI, StopImpersonating)(env(), nullptr, handle);
  return Void();
}

Outcome Session::IsGroupMember(int handle, const JString& group) {
  jstring in = In(group);
  jboolean member = Q(SSPI, IsGroupMember)(env(), nullptr, handle, in);
  Drop(in);
  return Bool(member);
}

Outcome Session::GetContextInformation(int handle) { return Text(Q(SSPI, GetContextInformation)(env(), nullptr, handle)); }

Outcome Session::FreeHandle(int handle) {
  Q(SSPI, FreeHandle)(env(), nullptr, handle);
  return Void();
}

Outcome Session::CreateUserContext(const JString& account) {
  jstring in = In(account);
  jint handle = Q(UserAuth, CreateUserContext)(env(), nullptr, in);
  Drop(in);
  return Int(handle);
}

Outcome Session::FreeUserHandle(int handle) {
  Q(UserAuth, FreeHandle)(env(), nullptr, handle);
  return Void();
}

Outcome Session::GetUserSID(const JString& account) {
  jstring in = In(account);
  jstring sid = Q(UserAuth, GetUserSID)(env(), nullptr, in);
  Drop(in);
  return Text(sid);
}

Outcome Session::IsUserGroupMember(int handle, const JString& group) {
  jstring in = In(group);
  jboolean member = Q(UserAuth, IsGroupMember)(env(), nullptr, handle, in);
  Drop(in);
  return Bool(member);
}

Outcome Session::GetHKLMStringRegValue(const JString& key, const JString& name, bool view64) {
  jstring k = In(key), n = In(name);
  jstring value = Q(WinUtil, GetHKLMStringRegValue)(env(), nullptr, k, n, view64 ? JNI_TRUE : JNI_FALSE);
  Drop(k);
  Drop(n);
  return Text(value);
}

Outcome Session::SetHKLMStringRegValue(const JString& key, const JString& name, const JString& value, bool view64) {
  jstring k = In(key), n = In(name), v = In(value);
  jint status = Q(WinUtil, SetHKLMStringRegValue)(env(), nullptr, k, n, v, view64 ? JNI_TRUE : JNI_FALSE);
  Drop(k);
  Drop(n);
  Drop(v);
  return Int(status);
}

Outcome Session::SetHKLMIntRegValue(const JString& key, const JString& name, int value, bool view64) {
  jstring k = In(key), n = In(name);
  jint status = Q(WinUtil, SetHKLMIntRegValue)(env(), nullptr, k, n, value, view64 ? JNI_TRUE : JNI_FALSE);
  Drop(k);
  Drop(n);
  return Int(status);
}

Outcome Session::GetProductInstallPath() { return Text(Q(WinUtil, GetProductInstallPath)(env(), nullptr)); }

Outcome Session::GetCommonAppDataFilePath(const JString& name) {
  jstring in = In(name);
  jstring path = Q(WinUtil, GetCommonAppDataFilePath)(env(), nullptr, in);
  Drop(in);
  return Text(path);
}

Outcome Session::GetDCCheckResultCode() { return Int(Q(WinUtil, GetDCCheckResultCode)(env(), nullptr)); }
Outcome Session::GetFullyQualifiedDnsName() { return Text(Q(WinUtil, GetFullyQualifiedDnsName)(env(), nullptr)); }
Outcome Session::GetComputerNameNetBIOS() { return Text(Q(WinUtil, GetComputerNameNetBIOS)(env(), nullptr)); }

#undef Q

bool Session::Handshake(const std::u16string& package, int clientFlags, int& client, int& server,
                        const std::u16string& target) {
  return native::Handshake(*this, package, clientFlags, client, server, target);
}

}  // namespace native
