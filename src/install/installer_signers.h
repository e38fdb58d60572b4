// Which installers may run: when the build pins the keys of the maker's signing certificates,
// only a program signed by one of those keys, with a chain to a root of the machine, runs. The
// check adds to the digest of the record; it replaces nothing.
#pragma once

#include <string>
#include <vector>

#include "platform/file.h"

namespace installer_signers {

// The pinned keys: SHA-256 of a certificate's SubjectPublicKeyInfo in lower-case hexadecimal.
// Empty when the build pins none: then every installer whose digest matches runs.
std::vector<std::string> Pins();

// Makes the pins those of this ';'-separated list instead of the build's; null returns to the
// build's.
void SetPinsForTesting(const std::string* list);

// Why the open installer at `path` may not run, or an empty text when it may: with pins, a
// program image named ".exe" whose signature holds, by a pinned key, and whose certificate table
// holds nothing but its signatures. `signer` receives the signer's subject, or "none".
std::wstring FindRefusal(const platform::InputFile& file, const std::wstring& path,
                         std::wstring& signer);

}  // namespace installer_signers
