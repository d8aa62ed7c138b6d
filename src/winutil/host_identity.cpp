// WinUtil's host identity and process control: the domain-controller check, the computer's
// names and the end of the process. None throws and none keeps state.
#include "bridge/entry.h"
#include "winutil/host_access.h"

namespace {

constexpr DWORD kNameUnits = 260;  // terminator included

jint GetDCCheckResultCode() {
  LPBYTE controller = nullptr;
  NET_API_STATUS status = NetGetAnyDCName(nullptr,       // this computer
                                          nullptr,       // its primary domain
                                          &controller);  // the controller's name, unused
  if (controller != nullptr) NetApiBufferFree(controller);
  return static_cast<jint>(status);
}

jstring ComputerName(JNIEnv* env, COMPUTER_NAME_FORMAT format) {
  WCHAR buffer[kNameUnits] = {};
  DWORD size = kNameUnits;
  if (!GetComputerNameExW(format, buffer, &size)) return nullptr;
  return WideToJavaString(env, TextUpToNul(buffer, kNameUnits));
}

jstring GetFullyQualifiedDnsName(JNIEnv* env) { return ComputerName(env, ComputerNameDnsFullyQualified); }

jstring GetComputerNameNetBIOS(JNIEnv* env) { return ComputerName(env, ComputerNameNetBIOS); }

// Does not return when the process ends; a refusal of the platform returns silently.
void TerminateProcess(jint exitCode) {
  ::TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));  // bit for bit: -1 is 0xFFFFFFFF
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetDCCheckResultCode(JNIEnv* env, jclass) {
  return GuardedEntry(env, jint{0}, [&] { return GetDCCheckResultCode(); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetFullyQualifiedDnsName(JNIEnv* env,
                                                                                                  jclass) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetFullyQualifiedDnsName(env); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetComputerNameNetBIOS(JNIEnv* env,
                                                                                                jclass) {
  return GuardedEntry(env, jstring{nullptr}, [&] { return GetComputerNameNetBIOS(env); });
}

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_TerminateProcess(JNIEnv* env, jclass,
                                                                                       jint exitCode) {
  GuardedEntry(env, [&] { TerminateProcess(exitCode); });
}
