// The whole-text decimal conversion used for appids, pids and package ids.
#pragma once

#include <string>

// The text must be one decimal integer, optionally signed, that fits in 32 bits; anything else
// (empty text, blanks, letters, overflow) gives -1.
int ToInt32OrMinusOne(const std::wstring& text);
