// The stress driver through the Java classes: Java threads over both families and WinUtil, one of
// them freeing handles that others use, checked by -Xcheck:jni and by what is left held.
#include "harness/jvm/api.h"
#include "harness/native/stress.h"
#include "winhost/control.h"

namespace {

// The calls of the stress driver made through a real JVM, results in the driver's form.
class JvmCalls {
 public:
  using Outcome = native::Outcome;
  using JString = jvm::JString;
  using JBytes = jvm::JBytes;

  Outcome CreateContext(bool client, int flags, const JString& package, const JString& target) {
    return Int(api::sspi::CreateContext(client, flags, package, target));
  }
  Outcome Initialize(int handle, const JBytes& token) { return Bool(api::sspi::Initialize(handle, token)); }
  Outcome Accept(int handle, const JBytes& token) { return Bool(api::sspi::Accept(handle, token)); }
  Outcome GetChallengeToken(int handle) { return Bytes(api::sspi::GetChallengeToken(handle)); }
  Outcome GetNegotiatedAttributes(int handle) { return Int(api::sspi::GetNegotiatedAttributes(handle)); }
  Outcome Wrap(int handle, const JBytes& message) { return Bytes(api::sspi::Wrap(handle, message)); }
  Outcome Unwrap(int handle, const JBytes& message) { return Bytes(api::sspi::Unwrap(handle, message)); }
  Outcome FreeHandle(int handle) { return Void(api::sspi::FreeHandle(handle)); }
  Outcome CreateUserContext(const JString& account) { return Int(api::userauth::CreateUserContext(account)); }
  Outcome IsUserGroupMember(int handle, const JString& group) { return Bool(api::userauth::IsGroupMember(handle, group)); }
  Outcome FreeUserHandle(int handle) { return Void(api::userauth::FreeHandle(handle)); }
  Outcome SetHKLMStringRegValue(const JString& key, const JString& name, const JString& value, bool view64) {
    return Int(api::winutil::SetHKLMStringRegValue(key, name, value, view64));
  }
  Outcome GetHKLMStringRegValue(const JString& key, const JString& name, bool view64) {
    return Text(api::winutil::GetHKLMStringRegValue(key, name, view64));
  }
  Outcome GetComputerNameNetBIOS() { return Text(api::winutil::GetComputerNameNetBIOS()); }

 private:
  template <typename T>
  static Outcome Finish(const ::Outcome<T>& from, Outcome to) {
    if (!from.ok()) to.text = from.Failure();
    return to;
  }
  static Outcome Int(const ::Outcome<int>& from) { return Finish(from, Outcome{"ok:" + std::to_string(from.value), {}, from.value}); }
  static Outcome Bool(const ::Outcome<bool>& from) { return Finish(from, Outcome{from.value ? "ok:true" : "ok:false", {}, 0}); }
  static Outcome Void(const ::Outcome<Nothing>& from) { return Finish(from, Outcome{"ok:", {}, 0}); }
  static Outcome Text(const ::Outcome<JString>& from) {
    return Finish(from, Outcome{from.value ? "ok:" + native::Utf8(*from.value) : "ok:<null>", {}, 0});
  }
  static Outcome Bytes(const ::Outcome<JBytes>& from) {
    Outcome to{"ok:<null>", {}, 0};
    if (from.value) to = Outcome{"ok:bytes:" + std::to_string(from.value->size()), *from.value, 0};
    return Finish(from, to);
  }
};

class StressTest : public JvmTest {};

TEST_F(StressTest, JavaThreadsOverEveryFamilyLeaveNothingHeld) {
  api::sspi::FreeHandle(0);  // loads the library first: its load-time objects are no leak
  const std::map<std::string, int> before = winhost::LiveCounts();
  native::StressResult result =
      native::RunStress<JvmCalls>([] { return std::make_unique<JvmCalls>(); }, std::chrono::milliseconds(3000));
  native::ExpectStressEndedClean(result, before, "Java stress");
}

}  // namespace
