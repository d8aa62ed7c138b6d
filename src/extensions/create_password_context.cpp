// Extensions.CreatePasswordContext: a client context of a user who gave a name and a password
// (HTTP Basic), so that a server can run it against its own acceptor: the KDC checks the password,
// and only a ticket that the server's own key decrypts signs the user on.
#include <vector>

#include "bridge/entry.h"
#include "sspi/create_context.h"

namespace {

// Windows caps a password at 256 characters; a longer one is nobody's.
constexpr jsize kMaxPasswordChars = 256;

// The password's characters, wiped when they go, so that no copy of it outlives the call.
class PasswordCopy {
 public:
  PasswordCopy(JNIEnv* env, jcharArray password) : units_(static_cast<size_t>(env->GetArrayLength(password)) + 1, 0) {
    env->GetCharArrayRegion(password, 0, static_cast<jsize>(units_.size() - 1), reinterpret_cast<jchar*>(units_.data()));
  }
  ~PasswordCopy() {
    volatile unsigned short* units = units_.data();
    for (size_t i = 0; i < units_.size(); ++i) units[i] = 0;
  }
  PasswordCopy(const PasswordCopy&) = delete;
  PasswordCopy& operator=(const PasswordCopy&) = delete;

  unsigned short* data() { return units_.data(); }
  ULONG length() const { return static_cast<ULONG>(units_.size() - 1); }

 private:
  std::vector<unsigned short> units_;
};

jint CreatePasswordContext(JNIEnv* env, jstring package, jstring target, jstring user, jcharArray password) {
  WideString account = JavaStringToWide(env, user);
  if (account.empty()) {
    ThrowWinAuthException(env, messages::kUserNameCannotBeEmpty);
    return 0;
  }
  if (password == nullptr) {
    ThrowWinAuthException(env, messages::kPasswordCannotBeNull);
    return 0;
  }
  if (env->GetArrayLength(password) > kMaxPasswordChars) {
    ThrowWinAuthException(env, messages::kPasswordTooLong);
    return 0;
  }
  // "DOMAIN\user" names the domain apart; "user@realm" and a bare name go whole as the user.
  WideString domain;
  const size_t slash = account.find(u'\\');
  if (slash != WideString::npos) {
    domain = account.substr(0, slash);
    account.erase(0, slash + 1);
  }
  PasswordCopy secret(env, password);
  if (env->ExceptionCheck()) return 0;
  SEC_WINNT_AUTH_IDENTITY_W identity;
  identity.User = reinterpret_cast<unsigned short*>(account.data());
  identity.UserLength = static_cast<ULONG>(account.size());
  identity.Domain = reinterpret_cast<unsigned short*>(domain.data());
  identity.DomainLength = static_cast<ULONG>(domain.size());
  identity.Password = secret.data();
  identity.PasswordLength = secret.length();
  identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  return CreateSecurityContext(env, JNI_TRUE, 0, package, target, {}, &identity);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_Extensions_CreatePasswordContext(
    JNIEnv* env, jclass, jstring package, jstring target, jstring user, jcharArray password) {
  return GuardedEntry(env, jint{0}, [&] { return CreatePasswordContext(env, package, target, user, password); });
}
