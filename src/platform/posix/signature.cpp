#include "platform/signature.h"

namespace platform {

// Linux programs carry no Authenticode signatures.
bool SystemChecksSignatures() {
    return false;
}

SignatureCheck CheckFileSignature(const InputFile&, const std::wstring&) {
    SignatureCheck check;
    check.problem = L"signatures are not checked on this system";
    return check;
}

}  // namespace platform
