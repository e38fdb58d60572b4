// The whole-text decimal conversion used for appids, pids and package ids.
#pragma once

#include <string>

// The text must be one decimal integer, optionally signed, that fits in 32 bits; anything else
// (empty text, blanks, letters, overflow) gives -1.
int ToInt32OrMinusOne(const std::wstring& text);

// The same conversion, telling a failed conversion apart from the number -1: false (and `value`
// unspecified) for a text that is not one such number.
bool TryToInt32(const std::wstring& text, int& value);
