// Starting the client again through its launcher, with a command line rebuilt from the
// updater's own command line and the registry: the game-platform form (the client was started
// by the maker's game platform) or the plain form with the application id.
#pragma once

#include <functional>
#include <string>

namespace relaunch {

// A command-line value for a parameter template such as "-uin:%s": returned unchanged unless it
// holds a blank, a tab, a line break or a '"'; then quoted by the command-line rules, so that
// the receiving program reads the template's argument back as one argument with this value.
std::wstring QuoteValue(const std::wstring& value);

// The launcher: Korvane/Pallaton/Launch.exe in the roaming application-data folder.
std::wstring GetLauncherPath();

// Starts the launcher hidden with the parameters (null for none); false when it does not exist.
bool LaunchLauncher(const std::wstring* parameters);

// Whether a process of that executable name runs (names compared without regard to case);
// `whenUnknown` when the snapshot cannot be taken.
bool IsProgramRunning(const wchar_t* executableName, bool whenUnknown);

// After a check that found no package. Logs through the common log call.
bool LastRunGame();

// After an install pass, for the installer's application id and login user number. `writeLine`
// writes one line through the installer's own logging base (no prefix; it adds the line end).
bool LastRunApp(const std::wstring& appid, const std::wstring& loginUin,
                const std::function<void(const std::wstring&)>& writeLine);

}  // namespace relaunch
