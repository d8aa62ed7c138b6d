// The system world's folders: see folders.h.
#include "system/host/folders.h"

#include "system/host/settings.h"

namespace winhost::system {

std::string CommonAppDataFolder() { return settings::Text(settings::Id::kCommonAppData); }

}  // namespace winhost::system
