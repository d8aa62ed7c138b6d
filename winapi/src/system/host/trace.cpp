// The trace switch and its one writer: see trace.h.
#include "system/host/trace.h"

#include <cstdio>

#include "system/host/settings.h"

namespace winhost::system::host {

bool TraceOn() { return SettingOn(SettingId::kTrace); }

void Trace(const std::string& text) {
  if (!TraceOn()) return;
  std::string shown;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown.push_back(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  std::fprintf(stderr, "quentrel: %s\n", shown.c_str());
  std::fflush(stderr);
}

}  // namespace winhost::system::host
