#include "wine/sspi_platform.h"

#include <utility>

#include "wine/suite.h"

PlatformSide::~PlatformSide() {
  if (hasContext) DeleteSecurityContext(&context);
  if (credential.dwLower != 0 || credential.dwUpper != 0) FreeCredentialsHandle(&credential);
}

SECURITY_STATUS PlatformSide::Acquire(bool client, const std::u16string& package) {
  std::u16string name = package;
  TimeStamp expiry;
  return AcquireCredentialsHandleW(nullptr, reinterpret_cast<SEC_WCHAR*>(name.data()),
                                   client ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr, nullptr,
                                   &credential, &expiry);
}

void PlatformSide::Step(bool client, std::u16string& target, const std::vector<uint8_t>* input) {
  std::vector<uint8_t> storage(12288);
  SecBuffer out{static_cast<ULONG>(storage.size()), SECBUFFER_TOKEN, storage.data()};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
  std::vector<uint8_t> copy = input != nullptr ? *input : std::vector<uint8_t>();
  SecBuffer in{static_cast<ULONG>(copy.size()), SECBUFFER_TOKEN, copy.data()};
  SecBufferDesc inputDescriptor{SECBUFFER_VERSION, 1, &in};
  TimeStamp expiry;
  if (client) {
    status = InitializeSecurityContextW(&credential, hasContext ? &context : nullptr, reinterpret_cast<SEC_WCHAR*>(target.data()),
                                        kClientFlags, 0, SECURITY_NATIVE_DREP, input != nullptr ? &inputDescriptor : nullptr, 0,
                                        &context, &output, &attributes, &expiry);
  } else {
    status = AcceptSecurityContext(&credential, hasContext ? &context : nullptr, &inputDescriptor, 0, SECURITY_NATIVE_DREP,
                                   &context, &output, &attributes, &expiry);
  }
  hasContext = context.dwLower != 0 || context.dwUpper != 0;
  const bool made = Succeeded(status) || status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE;
  token.assign(storage.begin(), storage.begin() + (made ? out.cbBuffer : 0));
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    SecBuffer complete{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()};
    SecBufferDesc descriptor{SECBUFFER_VERSION, 1, &complete};
    status = CompleteAuthToken(&context, &descriptor);
  }
  if (status == SEC_E_OK) sizesStatus = QueryContextAttributesW(&context, SECPKG_ATTR_SIZES, &sizes);
}

std::u16string PlatformReport(CtxtHandle* context, bool client, const char16_t* state, ULONG attributes) {
  std::u16string report = u"Type: " + std::u16string(client ? u"client" : u"server") + u"\nState: " + state +
                          u"\nImpersonating: false\nUser name: ";
  SecPkgContext_NamesW names{};
  if (QueryContextAttributesW(context, SECPKG_ATTR_NAMES, &names) == SEC_E_OK) {
    report += names.sUserName != nullptr ? Wide(names.sUserName) : u"";
    FreeContextBuffer(names.sUserName);
  } else {
    report += u"(unknown)";
  }
  SecPkgContext_PackageInfoW info{};
  if (QueryContextAttributesW(context, SECPKG_ATTR_PACKAGE_INFO, &info) == SEC_E_OK) {
    if (info.PackageInfo->Name != nullptr) report += u"\nSSP package name: " + Wide(info.PackageInfo->Name);
    if (info.PackageInfo->Comment != nullptr) report += u"\nSSP package comment: " + Wide(info.PackageInfo->Comment);
    FreeContextBuffer(info.PackageInfo);
  } else {
    report += u"\nSSP package: (unknown)";
  }
  report += u"\nContext attributes: ";
  using Names = std::pair<ULONG, const char16_t*>;
  static const Names clientNames[] = {{ISC_RET_DELEGATE, u"delegate "},       {ISC_RET_MUTUAL_AUTH, u"mutual_auth "},
                                      {ISC_RET_CONFIDENTIALITY, u"confidentiality "}, {ISC_RET_USE_SESSION_KEY, u"use_session_key "},
                                      {ISC_RET_CONNECTION, u"connection "},   {ISC_RET_IDENTIFY, u"identify "}};
  static const Names serverNames[] = {{ASC_RET_DELEGATE, u"delegate "},
                                      {ASC_RET_MUTUAL_AUTH, u"mutual_auth "},
                                      {ASC_RET_CONFIDENTIALITY, u"confidentiality "},
                                      {ASC_RET_USE_SESSION_KEY, u"use_session_key "},
                                      {ASC_RET_CONNECTION, u"connection "},
                                      {ASC_RET_IDENTIFY, u"identify "},
                                      {ASC_RET_ALLOW_NON_USER_LOGONS, u"allow_non_user_logons "},
                                      {ASC_RET_THIRD_LEG_FAILED, u"third_leg_failed "}};
  if (client) {
    for (const auto& [bit, text] : clientNames) {
      if ((attributes & bit) != 0) report += text;
    }
  } else {
    for (const auto& [bit, text] : serverNames) {
      if ((attributes & bit) != 0) report += text;
    }
  }
  HANDLE token = nullptr;
  if (QuerySecurityContextToken(context, &token) == SEC_E_OK) {
    TOKEN_TYPE type;
    SECURITY_IMPERSONATION_LEVEL level;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenType, &type, sizeof type, &size)) {
      report += type == TokenPrimary ? u"\nToken type: primary" : u"\nToken type: impersonation";
    }
    if (GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size)) {
      const char16_t* levels[] = {u"Anonymous", u"Identification", u"Impersonation", u"Delegation"};
      report += u"\nImpersonation level: " + std::u16string(level >= 0 && level <= 3 ? levels[level] : u"Unknown");
    }
    CloseHandle(token);
  }
  return report;
}
