// WinUtil's registry values under HKEY_LOCAL_MACHINE: one string reader and two writers. They
// never create a key and never throw, null arguments apart.
#include <limits>
#include <new>
#include <vector>

#include "bridge/entry.h"
#include "winutil/host_access.h"

namespace {

// UTF-16 units as registry data: two bytes each, least significant first, no terminator.
std::vector<BYTE> StringData(const WideString& units) {
  std::vector<BYTE> data;
  data.reserve(units.size() * 2);
  for (char16_t unit : units) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  return data;
}

jstring GetHKLMStringRegValue(JNIEnv* env, jstring keyPath, jstring valueName, bool view64) {
  if (RefuseNull(env, keyPath, messages::kKeyPathIsNull) || RefuseNull(env, valueName, messages::kValueNameIsNull))
    return nullptr;
  const WideString path = JavaStringToWide(env, keyPath);
  const WideString name = JavaStringToWide(env, valueName);

  OpenedKey key;
  if (OpenLocalMachineKey(path, view64, ReadAccessMask, key) != ERROR_SUCCESS) return nullptr;
  DWORD type = REG_NONE;
  DWORD size = 0;
  // A missing value leaves the size at 0; the status says nothing more that matters here.
  RegQueryValueExW(key.get(), AsWide(name), nullptr, &type, nullptr, &size);
  if (size == 0 || uint64_t{size} + 2 > std::numeric_limits<size_t>::max()) return nullptr;

  // Two zero bytes more than the value, for text stored without its terminator.
  std::vector<BYTE> buffer;
  try {
    buffer.assign(static_cast<size_t>(size) + 2, 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  DWORD read = size;
  // The value may have changed since its size was asked: then there is nothing to give.
  if (RegQueryValueExW(key.get(), AsWide(name), nullptr, &type, buffer.data(), &read) != ERROR_SUCCESS) return nullptr;
  // Whatever its type, the value's bytes are read as text.
  return WideToJavaString(env, TextUpToNul(buffer.data(), read));
}

jint SetHKLMStringRegValue(JNIEnv* env, jstring keyPath, jstring valueName, jstring value, bool view64) {
  if (RefuseNull(env, keyPath, messages::kKeyPathIsNull) || RefuseNull(env, valueName, messages::kValueNameIsNull) ||
      RefuseNull(env, value, messages::kValueIsNull))
    return 0;
  const WideString path = JavaStringToWide(env, keyPath);
  const WideString name = JavaStringToWide(env, valueName);
  const std::vector<BYTE> data = StringData(JavaStringUnits(env, value));

  OpenedKey key;
  // A key that cannot be opened is reported, not passed off as a write that worked.
  if (LONG opened = OpenLocalMachineKey(path, view64, WriteAccessMask, key); opened != ERROR_SUCCESS) return opened;
  return RegSetValueExW(key.get(), AsWide(name), 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

jint SetHKLMIntRegValue(JNIEnv* env, jstring keyPath, jstring valueName, jint value, bool view64) {
  if (RefuseNull(env, keyPath, messages::kKeyPathIsNull) || RefuseNull(env, valueName, messages::kValueNameIsNull))
    return 0;
  const WideString path = JavaStringToWide(env, keyPath);
  const WideString name = JavaStringToWide(env, valueName);
  // Stored as REG_SZ, not REG_DWORD: readers of this value expect that type.
  const auto bits = static_cast<uint32_t>(value);
  const BYTE data[4] = {static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8), static_cast<BYTE>(bits >> 16),
                        static_cast<BYTE>(bits >> 24)};

  OpenedKey key;
  if (LONG opened = OpenLocalMachineKey(path, view64, WriteAccessMask, key); opened != ERROR_SUCCESS) return opened;
  return RegSetValueExW(key.get(), AsWide(name), 0, REG_SZ, data, sizeof data);
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_GetHKLMStringRegValue(
    JNIEnv* env, jclass, jstring keyPath, jstring valueName, jboolean view64) {
  return GuardedEntry(env, jstring{nullptr},
                      [&] { return GetHKLMStringRegValue(env, keyPath, valueName, view64 != JNI_FALSE); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_SetHKLMStringRegValue(
    JNIEnv* env, jclass, jstring keyPath, jstring valueName, jstring value, jboolean view64) {
  return GuardedEntry(env, jint{0},
                      [&] { return SetHKLMStringRegValue(env, keyPath, valueName, value, view64 != JNI_FALSE); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_WinUtil_SetHKLMIntRegValue(
    JNIEnv* env, jclass, jstring keyPath, jstring valueName, jint value, jboolean view64) {
  return GuardedEntry(env, jint{0},
                      [&] { return SetHKLMIntRegValue(env, keyPath, valueName, value, view64 != JNI_FALSE); });
}
