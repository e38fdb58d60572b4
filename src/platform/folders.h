// Special folders of the current user.
#pragma once

#include <string>

namespace platform {

// The roaming application-data folder (Linux: ${XDG_DATA_HOME:-$HOME/.local/share}), without a
// trailing separator. False when it cannot be determined.
bool GetRoamingAppDataFolder(std::wstring& folder);

// The temporary folder (Linux: ${TMPDIR:-/tmp}), always ending with a separator.
std::wstring GetTempFolder();

}  // namespace platform
