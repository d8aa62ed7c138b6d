#include "winutil/host_access.h"

#include "bridge/jni_bridge.h"
#include "bridge/messages.h"

namespace {

typedef BOOL(WINAPI* IsWow64ProcessFunction)(HANDLE process, PBOOL wow64Process);

const WideString kKernel32 = u"kernel32";

}  // namespace

bool RunningUnderWow64() {
  HMODULE kernel32 = GetModuleHandleW(AsWide(kKernel32));
  if (kernel32 == nullptr) return false;
  // Through void(*)() so that the compiler accepts the change of function type.
  auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
  if (isWow64Process == nullptr) return false;
  BOOL wow64 = FALSE;
  return isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

REGSAM ReadAccessMask(bool view64) {
  if (!RunningUnderWow64()) return KEY_READ;
  return KEY_READ | (view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
}

REGSAM WriteAccessMask(bool view64) {
  if (!RunningUnderWow64()) return KEY_SET_VALUE;
  return view64 ? KEY_SET_VALUE | KEY_WOW64_64KEY : KEY_SET_VALUE;
}

LONG OpenLocalMachineKey(const WideString& path, bool view64, REGSAM (*accessMask)(bool), OpenedKey& key) {
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE,   // hive
                              AsWide(path),         // key path, NUL-terminated
                              0,                    // options
                              accessMask(view64),   // access and view
                              key.Receive());       // the opened key
  if (status == ERROR_SUCCESS || !view64) return status;
  // Whatever went wrong, the key may still be found in the default view.
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(path), 0, accessMask(false), key.Receive());
}

WideString TextUpToNul(const BYTE* bytes, size_t count) {
  WideString text;
  for (size_t at = 0; at < count; at += 2) {
    char16_t unit = bytes[at];
    if (at + 1 < count) unit = static_cast<char16_t>(unit | (bytes[at + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

WideString TextUpToNul(const WCHAR* units, size_t capacity) {
  size_t length = 0;
  while (length < capacity && units[length] != 0) ++length;
  return WideString(reinterpret_cast<const char16_t*>(units), length);
}

WideString JavaStringUnits(JNIEnv* env, jstring text) {
  WideString units(static_cast<size_t>(env->GetStringLength(text)), u'\0');
  if (!units.empty()) env->GetStringRegion(text, 0, static_cast<jsize>(units.size()), reinterpret_cast<jchar*>(&units[0]));
  if (env->ExceptionCheck()) throw JvmErrorPending{};
  return units;
}

bool RefuseNull(JNIEnv* env, jstring text, const char* message) {
  if (text != nullptr) return false;
  ThrowJavaException(env, javaclass::kNullPointerException, message);
  return true;
}
