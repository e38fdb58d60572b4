// The UTF-8 conversion lives in the base (base/utf8.h); this name stays for the stand-in libraries,
// which include it from outside src/.
#pragma once

#include "base/utf8.h"
