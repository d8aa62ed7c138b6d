// The system world's folders.
#pragma once

#include <string>

namespace winhost::system::host {

// The machine-wide application data folder: $QUENTREL_COMMON_APPDATA, or else /var/lib, where a
// Linux service keeps its state.
std::string CommonAppDataFolder();

}  // namespace winhost::system::host
