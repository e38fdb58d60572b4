// Case handling of ASCII letters in wide text, the same on every target.
#pragma once

#include <string>

// Lower-cases the ASCII letters A to Z and leaves every other character as it is.
std::wstring ToLowerAscii(std::wstring text);
std::string ToLowerAscii(std::string text);

// Compares without regard to the case of ASCII letters, as _wcsicmp does for these texts.
bool EqualsIgnoreCaseAscii(const std::wstring& a, const std::wstring& b);
int CompareIgnoreCaseAscii(const std::wstring& a, const std::wstring& b);

// Whether `text` ends with `suffix`, ASCII letters compared without regard to case.
bool EndsWithIgnoreCaseAscii(const std::wstring& text, const std::wstring& suffix);
