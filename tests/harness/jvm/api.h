// The library's Java API as tests call it: each wrapper calls the Java class's static native
// method through a real JVM and returns its value together with the exception it threw, if any.
#pragma once

#include <ostream>

#include <windows.h>  // the stand-in host's constants, for test data

#include "harness/jvm/harness.h"

template <typename T>
struct Outcome {
  T value{};
  std::optional<jvm::Thrown> thrown;

  bool ok() const { return !thrown.has_value(); }
  // "WinAuthException: Invalid handle", or "" when nothing was thrown.
  std::string Failure() const {
    if (!thrown) return "";
    return thrown->ShortType() + ": " + thrown->message.value_or("<null>");
  }
};

template <typename T>
std::ostream& operator<<(std::ostream& out, const Outcome<T>& outcome) {
  return out << (outcome.ok() ? std::string("ok") : outcome.Failure());
}

struct Nothing {};

namespace api {

using jvm::JBytes;
using jvm::JString;

namespace sspi {
Outcome<int> CreateContext(bool client, int flags, const JString& package, const JString& target);
Outcome<bool> Initialize(int handle, const JBytes& token);
Outcome<bool> Accept(int handle, const JBytes& token);
Outcome<JBytes> GetChallengeToken(int handle);
Outcome<int> GetNegotiatedAttributes(int handle);
Outcome<int> GetMaxTokenSize(int handle);
Outcome<JBytes> Wrap(int handle, const JBytes& message);
Outcome<JBytes> Unwrap(int handle, const JBytes& wrapped);
Outcome<JString> GetClientUserName(int handle);
Outcome<Nothing> StartImpersonating(int handle);
Outcome<Nothing> StopImpersonating(int handle);
Outcome<bool> IsGroupMember(int handle, const JString& groupName);
Outcome<JString> GetContextInformation(int handle);
Outcome<Nothing> FreeHandle(int handle);
}  // namespace sspi

namespace extensions {
Outcome<int> CreateBoundContext(bool client, int flags, const JString& package, const JString& target,
                                const JBytes& channelBindings);
Outcome<long long> GetContextExpiry(int handle);
Outcome<int> GetDelegationLimit(int serverHandle);
Outcome<int> CreatePasswordContext(const JString& package, const JString& target, const JString& user,
                                   const JString& password);
}  // namespace extensions

namespace userauth {
Outcome<int> CreateUserContext(const JString& accountName);
Outcome<Nothing> FreeHandle(int handle);
Outcome<JString> GetUserSID(const JString& accountName);
Outcome<bool> IsGroupMember(int handle, const JString& groupName);
}  // namespace userauth

namespace winutil {
Outcome<JString> GetHKLMStringRegValue(const JString& keyPath, const JString& valueName, bool view64);
Outcome<int> SetHKLMStringRegValue(const JString& keyPath, const JString& valueName, const JString& value, bool view64);
Outcome<int> SetHKLMIntRegValue(const JString& keyPath, const JString& valueName, int value, bool view64);
Outcome<JString> GetProductInstallPath();
Outcome<JString> GetCommonAppDataFilePath(const JString& fileName);
Outcome<int> GetDCCheckResultCode();
Outcome<JString> GetFullyQualifiedDnsName();
Outcome<JString> GetComputerNameNetBIOS();
// Ends the process: call it only in a child process.
Outcome<Nothing> TerminateProcess(int exitCode);
}  // namespace winutil

}  // namespace api

// Short forms for test data.
inline jvm::JString J(const char16_t* text) { return std::u16string(text); }
inline jvm::JBytes B(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
std::string Utf8(const jvm::JString& text);  // "<null>" for null
