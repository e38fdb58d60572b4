// The Authenticode check of a program file: WinVerifyTrust for the signature's integrity, then a
// chain of the signer certificate built and judged here, since the trust provider's own policy
// is not equally strict everywhere (some implementations accept an untrusted root or a partial
// chain).
#include "platform/signature.h"

#include <windows.h>

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <vector>

namespace platform {

namespace {

std::wstring HexCode(LONG status) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(status));
    return text;
}

std::wstring DescribeTrustFailure(LONG status) {
    switch (status) {
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
        case TRUST_E_PROVIDER_UNKNOWN:
            return L"not signed";
        case TRUST_E_BAD_DIGEST:
            return L"changed after signing";
        case CERT_E_UNTRUSTEDROOT:
            return L"untrusted root";
        case CERT_E_CHAINING:
            return L"incomplete chain";
        case CERT_E_EXPIRED:
            return L"certificate expired";
        case CERT_E_REVOKED:
            return L"certificate revoked";
        default:
            return L"signature not valid " + HexCode(status);
    }
}

// SHA-256 of the DER form of the certificate's SubjectPublicKeyInfo, in hexadecimal.
std::string PublicKeySha256(PCCERT_CONTEXT certificate) {
    BYTE* encoded = nullptr;
    DWORD encodedSize = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, &encodedSize))
        return std::string();
    std::string hex;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32];
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) {
        if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
            BCryptHashData(hash, encoded, encodedSize, 0) == 0 &&
            BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0) {
            static const char kDigits[] = "0123456789abcdef";
            for (UCHAR byte : digest) {
                hex += kDigits[byte >> 4];
                hex += kDigits[byte & 15];
            }
        }
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    LocalFree(encoded);
    return hex;
}

bool NamesCodeSigning(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::string(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_CODE_SIGNING)
            return true;
    }
    return false;
}

// Whether the certificate is one of the machine's own roots (not only the user's).
bool IsMachineRoot(PCCERT_CONTEXT certificate) {
    HCERTSTORE roots =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root");
    if (roots == nullptr)
        return false;
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(roots, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_FIND_EXISTING, certificate, nullptr);
    if (found != nullptr)
        CertFreeCertificateContext(found);
    CertCloseStore(roots, 0);
    return found != nullptr;
}

// The chain of the signer certificate as of `when`, with the signature's own certificates as
// the intermediates it may use, judged by its error bits and by its root, which must be one of
// the machine's.
std::wstring JudgeChain(PCCERT_CONTEXT signer, HCERTSTORE extra, FILETIME when) {
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(
            nullptr, signer, &when, extra, &parameters,
            CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY,
            nullptr, &chain))
        return L"no chain";
    // Revocation that cannot be known offline does not refuse the file; everything else does.
    DWORD errors = chain->TrustStatus.dwErrorStatus &
                   ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                       CERT_TRUST_IS_OFFLINE_REVOCATION);
    bool machineRoot = false;
    if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        machineRoot = IsMachineRoot(simple->rgpElement[simple->cElement - 1]->pCertContext);
    }
    CertFreeCertificateChain(chain);
    if (errors == 0 && !machineRoot)
        return L"root not the machine's";
    if (errors == 0)
        return std::wstring();
    if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT)
        return L"untrusted root";
    if (errors & CERT_TRUST_IS_PARTIAL_CHAIN)
        return L"incomplete chain";
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID)
        return L"certificate expired";
    if (errors & CERT_TRUST_IS_REVOKED)
        return L"certificate revoked";
    return L"chain not valid " + HexCode(static_cast<LONG>(errors));
}

}  // namespace

bool SystemChecksSignatures() {
    return true;
}

SignatureCheck CheckFileSignature(const InputFile& file, const std::wstring& path) {
    SignatureCheck check;
    check.supported = true;
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = reinterpret_cast<HANDLE>(file.NativeHandle());
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // The trust provider checks the signature; revocation is judged on the chain below.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* signerCert =
        signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (signerCert != nullptr && signerCert->pCert != nullptr) {
        PCCERT_CONTEXT certificate = signerCert->pCert;
        wchar_t name[256] = {};
        CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
        check.signer = name;
        check.keySha256 = PublicKeySha256(certificate);
        check.codeSigning = NamesCodeSigning(certificate);
        // The signing time: the timestamp's where there is one, else now.
        FILETIME when = signer->sftVerifyAsOf;
        HCERTSTORE extra = provider->chStores > 0 ? provider->pahStores[0] : nullptr;
        std::wstring chainProblem = JudgeChain(certificate, extra, when);
        check.chainTrusted = chainProblem.empty();
        if (status == 0 && !check.chainTrusted)
            check.problem = chainProblem;
    }
    check.intact = status == 0 || status == CERT_E_UNTRUSTEDROOT || status == CERT_E_CHAINING ||
                   status == CERT_E_EXPIRED;
    if (status != 0 && check.problem.empty())
        check.problem = DescribeTrustFailure(status);
    if (status == 0 && signerCert == nullptr) {
        check.intact = false;
        check.problem = L"no signer";
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return check;
}

}  // namespace platform
