// The request of an update run: the controller's members that build it are declared with the
// controller (check_update.h); this header holds what the request needs besides.
#pragma once

#include <string>

// Percent-encodes a query value: blanks, '&', '#', '%', '+' and every character outside ASCII
// (as the bytes of its UTF-8 form); everything else stays as it is.
std::wstring EncodeQueryValue(const std::wstring& value);
