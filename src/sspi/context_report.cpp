// SSPI.GetContextInformation: a readable description of one context, for people. Any context in
// any state may be described; a query the package or the token functions refuse shows in the text
// (or leaves its line out) instead of failing the report.
#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/owned_handles.h"

namespace {

struct AttributeName {
  ULONG bit;
  const char16_t* text;  // each name carries its own trailing blank, the list's separator
};

// Client and server tables differ in the bit of "identify" and in the server-only names, and the
// server's last name is shown last although its bit is lower.
constexpr AttributeName kClientAttributes[] = {
    {ISC_RET_DELEGATE, u"delegate "},
    {ISC_RET_MUTUAL_AUTH, u"mutual_auth "},
    {ISC_RET_CONFIDENTIALITY, u"confidentiality "},
    {ISC_RET_USE_SESSION_KEY, u"use_session_key "},
    {ISC_RET_CONNECTION, u"connection "},
    {ISC_RET_IDENTIFY, u"identify "},
};

constexpr AttributeName kServerAttributes[] = {
    {ASC_RET_DELEGATE, u"delegate "},
    {ASC_RET_MUTUAL_AUTH, u"mutual_auth "},
    {ASC_RET_CONFIDENTIALITY, u"confidentiality "},
    {ASC_RET_USE_SESSION_KEY, u"use_session_key "},
    {ASC_RET_CONNECTION, u"connection "},
    {ASC_RET_IDENTIFY, u"identify "},
    {ASC_RET_ALLOW_NON_USER_LOGONS, u"allow_non_user_logons "},
    {ASC_RET_THIRD_LEG_FAILED, u"third_leg_failed "},
};

const char16_t* StateName(int32_t state) {
  switch (state) {
    case kStateInitial: return u"initial";
    case kStateNegotiating: return u"negotiating";
    case kStateSuccess: return u"success";
    case kStateError: return u"error";
    default: return u"unknown";
  }
}

const char16_t* ImpersonationLevelName(DWORD level) {
  switch (level) {
    case SecurityAnonymous: return u"Anonymous";
    case SecurityIdentification: return u"Identification";
    case SecurityImpersonation: return u"Impersonation";
    case SecurityDelegation: return u"Delegation";
    default: return u"Unknown";
  }
}

// The name as the package gives it, domain part included.
void AppendUserName(const SecurityContextRecord& record, WideString& report) {
  report += u"\nUser name: ";
  SecPkgContext_NamesW names = {nullptr};
  if (QueryContextAttributesW(record.context, SECPKG_ATTR_NAMES, &names) != SEC_E_OK) {
    report += u"(unknown)";
    return;
  }
  ContextBuffer userName(names.sUserName);
  report += FromWide(names.sUserName);
}

void AppendPackage(const SecurityContextRecord& record, WideString& report) {
  SecPkgContext_PackageInfoW package = {nullptr};
  if (QueryContextAttributesW(record.context, SECPKG_ATTR_PACKAGE_INFO, &package) != SEC_E_OK) {
    report += u"\nSSP package: (unknown)";
    return;
  }
  ContextBuffer info(package.PackageInfo);
  if (package.PackageInfo == nullptr) return;
  if (package.PackageInfo->Name != nullptr) report += u"\nSSP package name: " + FromWide(package.PackageInfo->Name);
  if (package.PackageInfo->Comment != nullptr)
    report += u"\nSSP package comment: " + FromWide(package.PackageInfo->Comment);
}

template <size_t Count>
void AppendNames(ULONG attributes, const AttributeName (&table)[Count], WideString& report) {
  for (const AttributeName& name : table)
    if ((attributes & name.bit) != 0) report += name.text;
}

void AppendAttributes(const SecurityContextRecord& record, WideString& report) {
  report += u"\nContext attributes: ";
  if (record.isClient) {
    AppendNames(record.negotiatedAttributes, kClientAttributes, report);
  } else {
    AppendNames(record.negotiatedAttributes, kServerAttributes, report);
  }
}

// Without a token there is neither line; each line stands for its own query.
void AppendToken(const SecurityContextRecord& record, WideString& report) {
  AccessToken token;
  if (QueryClientToken(record.context, token) != SEC_E_OK) return;
  DWORD length = 0;
  // Read as plain numbers: a level outside the known four is shown, not trusted as an enum.
  DWORD type = TokenPrimary;
  if (GetTokenInformation(token.get(), TokenType, &type, sizeof type, &length))
    report += type == TokenPrimary ? u"\nToken type: primary" : u"\nToken type: impersonation";
  DWORD level = SecurityAnonymous;
  if (GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &length))
    report += WideString(u"\nImpersonation level: ") + ImpersonationLevelName(level);
}

jstring GetContextInformation(JNIEnv* env, jint handle) {
  HeldContext record = HoldSecurityContextOrThrow(env, handle);
  if (!record) return nullptr;

  WideString report = u"Type: ";
  report += record->isClient ? u"client" : u"server";
  report += u"\nState: ";
  report += StateName(record->state);
  report += u"\nImpersonating: ";
  report += record->impersonating ? u"true" : u"false";
  AppendUserName(*record, report);
  AppendPackage(*record, report);
  AppendAttributes(*record, report);
  AppendToken(*record, report);
  return WideToJavaString(env, report);
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetContextInformation(JNIEnv* env, jclass,
                                                                                            jint handle) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetContextInformation(env, handle); });
}
