// Special folders of the current user.
#pragma once

#include <string>

namespace platform {

// The roaming application-data folder (Linux: ${XDG_DATA_HOME:-$HOME/.local/share}, a relative
// XDG_DATA_HOME ignored), without a trailing separator. False when it cannot be determined.
bool GetRoamingAppDataFolder(std::wstring& folder);

// The user's temporary folder, ending with a separator. Linux: ${TMPDIR:-/tmp} when it is a
// folder of the user's own that no one else may write, otherwise empty: there is no such folder.
std::wstring GetTempFolder();

}  // namespace platform
