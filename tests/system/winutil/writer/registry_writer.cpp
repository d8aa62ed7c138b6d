// A second process on the system world's registry store, as another service on the machine would
// be: registry_writer STORE PREFIX COUNT [UID]. With UID it first drops to that user (and group).
// Writes COUNT times, under HKEY_LOCAL_MACHINE\SOFTWARE, the value "Shared" and the value
// PREFIX<i>, both "PREFIX-<i>-" and 200 x's, each through its own opened key, and prints
// "<i> <status of Shared> <status of PREFIX<i>>" per round; then "read <Shared as read>".
#include <unistd.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "winhost/control.h"
#include "winhost/control_host.h"

namespace {

LONG Write(const std::u16string& name, const std::u16string& text) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * sizeof(char16_t)));
  RegCloseKey(key);
  return status;
}

std::string Read(const std::u16string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key) != ERROR_SUCCESS) return "(no key)";
  char16_t text[512] = {};
  DWORD size = sizeof text - sizeof(char16_t);
  LONG status = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? winhost::Narrow(text) : "(error " + std::to_string(status) + ")";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: registry_writer STORE PREFIX COUNT [UID]\n");
    return 2;
  }
  if (argc > 4) {
    auto id = static_cast<uid_t>(std::atoi(argv[4]));
    if (setgid(id) != 0 || setuid(id) != 0) return 3;
  }
  winhost::SetRegistryStore(argv[1]);
  const std::string prefix = argv[2];
  const int count = std::atoi(argv[3]);
  for (int round = 0; round < count; ++round) {
    char text[16];
    std::snprintf(text, sizeof text, "-%04d-", round);
    std::u16string value = winhost::Wide(prefix + text + std::string(200, 'x'));
    LONG shared = Write(u"Shared", value);
    LONG own = Write(winhost::Wide(prefix + std::to_string(round)), value);
    std::printf("%d %ld %ld\n", round, static_cast<long>(shared), static_cast<long>(own));
  }
  std::printf("read %s\n", Read(u"Shared").c_str());
  return winhost::LiveCount("key") == 0 && winhost::LiveCount("registry-store") == 0 ? 0 : 4;
}
