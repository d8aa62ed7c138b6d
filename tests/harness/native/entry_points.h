// The library's exported entry points, declared for native drivers that call them without a JVM.
#pragma once

#include <jni.h>

extern "C" {
#define QUENTREL_ENTRY(result, family, method, ...) \
  JNIEXPORT result JNICALL Java_com_tarvex_pelk_quentrel_##family##_##method(JNIEnv*, jclass, ##__VA_ARGS__);
QUENTREL_ENTRY(jint, SSPI, CreateContext, jboolean, jint, jstring, jstring)
QUENTREL_ENTRY(jboolean, SSPI, Initialize, jint, jbyteArray)
QUENTREL_ENTRY(jboolean, SSPI, Accept, jint, jbyteArray)
QUENTREL_ENTRY(jbyteArray, SSPI, GetChallengeToken, jint)
QUENTREL_ENTRY(jint, SSPI, GetNegotiatedAttributes, jint)
QUENTREL_ENTRY(jint, SSPI, GetMaxTokenSize, jint)
QUENTREL_ENTRY(jbyteArray, SSPI, Wrap, jint, jbyteArray)
QUENTREL_ENTRY(jbyteArray, SSPI, Unwrap, jint, jbyteArray)
QUENTREL_ENTRY(jstring, SSPI, GetClientUserName, jint)
QUENTREL_ENTRY(void, SSPI, StartImpersonating, jint)
QUENTREL_ENTRY(void, SSPI, StopImpersonating, jint)
QUENTREL_ENTRY(jboolean, SSPI, IsGroupMember, jint, jstring)
QUENTREL_ENTRY(jstring, SSPI, GetContextInformation, jint)
QUENTREL_ENTRY(void, SSPI, FreeHandle, jint)
QUENTREL_ENTRY(jint, UserAuth, CreateUserContext, jstring)
QUENTREL_ENTRY(void, UserAuth, FreeHandle, jint)
QUENTREL_ENTRY(jstring, UserAuth, GetUserSID, jstring)
QUENTREL_ENTRY(jboolean, UserAuth, IsGroupMember, jint, jstring)
QUENTREL_ENTRY(jstring, WinUtil, GetHKLMStringRegValue, jstring, jstring, jboolean)
QUENTREL_ENTRY(jint, WinUtil, SetHKLMStringRegValue, jstring, jstring, jstring, jboolean)
QUENTREL_ENTRY(jint, WinUtil, SetHKLMIntRegValue, jstring, jstring, jint, jboolean)
QUENTREL_ENTRY(jstring, WinUtil, GetProductInstallPath)
QUENTREL_ENTRY(jstring, WinUtil, GetCommonAppDataFilePath, jstring)
QUENTREL_ENTRY(jint, WinUtil, GetDCCheckResultCode)
QUENTREL_ENTRY(jstring, WinUtil, GetFullyQualifiedDnsName)
QUENTREL_ENTRY(jstring, WinUtil, GetComputerNameNetBIOS)
QUENTREL_ENTRY(jint, Extensions, CreateBoundContext, jboolean, jint, jstring, jstring, jbyteArray)
QUENTREL_ENTRY(jlong, Extensions, GetContextExpiry, jint)
QUENTREL_ENTRY(jint, Extensions, CreatePasswordContext, jstring, jstring, jstring, jcharArray)
QUENTREL_ENTRY(jint, Extensions, GetDelegationLimit, jint)
#undef QUENTREL_ENTRY
}
