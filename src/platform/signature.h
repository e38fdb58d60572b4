// Who signed a program file: the system's check of an Authenticode signature (Windows) and what
// it tells of the signer. Mechanisms only: whom to accept is decided above.
#pragma once

#include <string>

#include "platform/file.h"

namespace platform {

struct SignatureCheck {
    // Whether this system checks signatures at all (Linux does not).
    bool supported = false;
    // The file carries a signature whose digest matches the file.
    bool intact = false;
    // The signer certificate's chain, built as of the signing time (the timestamp's where the
    // signature has one, else now), ends at a root of the machine's store with no error but an
    // unknown or offline revocation status.
    bool chainTrusted = false;
    // The signer certificate itself names the code-signing usage.
    bool codeSigning = false;
    // The signer's subject ("" without a signer) and the SHA-256 of its certificate's
    // SubjectPublicKeyInfo in lower-case hexadecimal.
    std::wstring signer;
    std::string keySha256;
    // Why the check failed, in a few words, when it did.
    std::wstring problem;
};

// Whether this system checks program signatures at all.
bool SystemChecksSignatures();

// Checks the signature of the open file at `path` (opened through `file`, which keeps others
// from changing it meanwhile). Revocation is read from the system's cache only, so that a
// machine without a network can still check.
SignatureCheck CheckFileSignature(const InputFile& file, const std::wstring& path);

}  // namespace platform
