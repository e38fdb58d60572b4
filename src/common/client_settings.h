// The client's registry key and the values several rooms read.
#pragma once

#include <string>

inline constexpr wchar_t kClientKey[] = L"Software\\Korvane\\Pallaton\\";
inline constexpr wchar_t kStartupAppIdValue[] = L"StartupAppID";
inline constexpr size_t kStartupAppIdChars = 129;

// The application id the client was last started for; false when missing or too long.
bool ReadStartupAppId(std::wstring& appid);
void DeleteStartupAppId();

// Replaces the '\' of a path written in Windows form by the platform's separator.
std::wstring WithNativeSeparators(std::wstring path);
