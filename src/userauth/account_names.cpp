#include "userauth/account_names.h"

#include <cstring>

#include "bridge/jni_bridge.h"
#include "bridge/messages.h"
#include "userauth/authorization_state.h"

namespace {

constexpr char16_t kQualifierSeparator = u'\\';

char16_t FoldAsciiLetter(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

bool MatchesLocalName(const WideString& qualifier) {
  return NamesMatch(qualifier, AuthorizationState().localComputerName) ||
         NamesMatch(qualifier, AuthorizationState().builtinDomainName);
}

}  // namespace

bool NamesMatch(const WideString& first, const WideString& second) {
  if (first.size() != second.size()) return false;
  for (size_t i = 0; i < first.size(); ++i)
    if (FoldAsciiLetter(first[i]) != FoldAsciiLetter(second[i])) return false;
  return true;
}

WideString StripLocalDomain(const WideString& name) {
  const size_t separator = name.find(kQualifierSeparator);
  if (separator == WideString::npos) return name;
  const WideString qualifier = name.substr(0, separator);
  if (!qualifier.empty() && !MatchesLocalName(qualifier)) return name;
  return name.substr(separator + 1);
}

DWORD LookupAccount(const WideString& name, std::vector<uint8_t>& sidBytes, std::vector<uint8_t>& domainNameBytes,
                    SID_NAME_USE& use) {
  // The Windows functions read a name up to its first NUL, so "DOMAIN\alice\0junk" would be
  // alice's. No account's name holds one: such a name is nobody's.
  if (name.find(u'\0') != WideString::npos) return ERROR_NONE_MAPPED;
  DWORD sidSize = 0;
  DWORD domainNameLength = 0;
  const BOOL sized = LookupAccountNameW(nullptr,             // the local system
                                        AsWide(name),        // the whole name, qualifier included
                                        nullptr,             // no SID buffer yet
                                        &sidSize,            // out: bytes needed
                                        nullptr,             // no domain buffer yet
                                        &domainNameLength,   // out: characters needed
                                        &use);
  // The size query cannot succeed with no buffers; if it ever did, there would be nothing to size.
  const DWORD sizeError = sized ? ERROR_INVALID_PARAMETER : GetLastError();
  if (sizeError != ERROR_INSUFFICIENT_BUFFER) return sizeError;

  sidBytes.assign(sidSize, 0);
  domainNameBytes.assign(static_cast<size_t>(domainNameLength) * sizeof(WCHAR), 0);
  if (!LookupAccountNameW(nullptr, AsWide(name), sidBytes.data(), &sidSize,
                          reinterpret_cast<WCHAR*>(domainNameBytes.data()), &domainNameLength, &use))
    return GetLastError();
  return ERROR_SUCCESS;
}

DWORD ResolveGroupSid(const WideString& name, std::vector<uint8_t>& sidBytes) {
  std::vector<uint8_t> domainNameBytes;
  SID_NAME_USE use;
  if (DWORD error = LookupAccount(name, sidBytes, domainNameBytes, use); error != ERROR_SUCCESS) return error;
  if (use != SidTypeGroup && use != SidTypeAlias) return ERROR_NONE_MAPPED;

  // Read no further than the buffer, terminator or not.
  WideString referencedDomain(domainNameBytes.size() / sizeof(WCHAR), u'\0');
  if (!referencedDomain.empty()) std::memcpy(&referencedDomain[0], domainNameBytes.data(), referencedDomain.size() * sizeof(WCHAR));
  referencedDomain.resize(referencedDomain.find(u'\0') == WideString::npos ? referencedDomain.size() : referencedDomain.find(u'\0'));
  const size_t separator = name.find(kQualifierSeparator);
  if (separator != WideString::npos && separator > 0)
    return NamesMatch(name.substr(0, separator), referencedDomain) ? ERROR_SUCCESS : ERROR_NONE_MAPPED;
  return MatchesLocalName(referencedDomain) ? ERROR_SUCCESS : ERROR_NONE_MAPPED;
}

void ThrowGroupResolutionFailure(JNIEnv* env, DWORD code) {
  jclass groupNotFound = env->FindClass(javaclass::kGroupNotFoundException);
  if (groupNotFound == nullptr) {
    // Without the class the failure is still reported, as a platform error.
    env->ExceptionClear();
  } else if (code == ERROR_NONE_MAPPED) {
    env->ThrowNew(groupNotFound, "");
    env->DeleteLocalRef(groupNotFound);
    return;
  }
  env->DeleteLocalRef(groupNotFound);
  ThrowPlatformError(env, code);
}
