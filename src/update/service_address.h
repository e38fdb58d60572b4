// The update service's address (scheme, host and port), a setting of the build. It is defined
// in a file of its own that each program links, so that a test program can reach a service at
// another address with the same code.
#pragma once

extern const wchar_t kServiceAddress[];
