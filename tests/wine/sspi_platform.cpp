#include "wine/sspi_platform.h"

#include <utility>

#include "wine/suite.h"

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
