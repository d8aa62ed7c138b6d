// The system world's folders: see folders.h.
#include "system/host/folders.h"

#include "system/host/settings.h"

namespace winhost::system::host {

std::string CommonAppDataFolder() { return TextSetting(SettingId::kCommonAppData); }

}  // namespace winhost::system::host
