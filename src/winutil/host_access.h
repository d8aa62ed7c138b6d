// What the WinUtil operations share: the WOW64 test, the registry's access masks, opening a key
// of HKEY_LOCAL_MACHINE in the view asked for, bounded text out of platform buffers, and the
// refusal of null Java strings. WinUtil keeps no state and takes no lock.
#pragma once

#include <jni.h>

#include <cstddef>

#include "bridge/platform.h"

// True when IsWow64Process says this process runs under WOW64. The function is looked up in
// kernel32 on every call, so the library also loads where it does not exist; a missing function
// or a failed call counts as false.
bool RunningUnderWow64();

// The access for reading and for writing values, with the view flag that `view64` asks for
// (only under WOW64; elsewhere there is one view and no flag).
REGSAM ReadAccessMask(bool view64);
REGSAM WriteAccessMask(bool view64);

// An open registry key, closed when it goes out of scope.
class OpenedKey {
 public:
  OpenedKey() = default;
  ~OpenedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;

  HKEY get() const { return key_; }
  // Where RegOpenKeyEx* writes the handle; the key must not be open yet.
  HKEY* Receive() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// Opens HKEY_LOCAL_MACHINE\`path` with `accessMask(view64)`; when that fails and `view64` is set,
// tries once more with `accessMask(false)`. Never creates a key. Gives ERROR_SUCCESS with `key`
// open, or the status of the last attempt.
LONG OpenLocalMachineKey(const WideString& path, bool view64, REGSAM (*accessMask)(bool), OpenedKey& key);

// The UTF-16 text held in `count` bytes (least significant byte first), up to its first NUL unit
// or the end of the bytes, whichever comes first. Reads nothing past `count`; an odd last byte
// stands alone as one unit.
WideString TextUpToNul(const BYTE* bytes, size_t count);
// The same over a buffer of `capacity` units.
WideString TextUpToNul(const WCHAR* units, size_t capacity);

// Every unit of a Java string, U+0000 included. `text` must not be null.
WideString JavaStringUnits(JNIEnv* env, jstring text);

// When `text` is null, makes a NullPointerException with `message` pending and returns true.
bool RefuseNull(JNIEnv* env, jstring text, const char* message);
