// Adds a root certificate to the machine's root store of the Windows prefix, or removes it, so
// that a whole run of the updater judges the test signatures against a trusted root.
//   machine_root add|remove ROOT.pem
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool ReadDer(const char* pemPath, std::vector<BYTE>& der) {
    std::ifstream in(pemPath, std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr,
                                             &size, nullptr, nullptr))
        return false;
    der.assign(size, 0);
    return CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                nullptr, nullptr) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
        std::fprintf(stderr, "usage: machine_root add|remove ROOT.pem\n");
        return 2;
    }
    std::vector<BYTE> der;
    if (!ReadDer(argv[2], der)) {
        std::fprintf(stderr, "no PEM certificate in %s\n", argv[2]);
        return 1;
    }
    // A system store keeps a change when it is closed.
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr)
        return 1;
    bool done = false;
    if (std::strcmp(argv[1], "add") == 0) {
        done = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else {
        PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                             static_cast<DWORD>(der.size()));
        PCCERT_CONTEXT found = wanted != nullptr
                                   ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                                CERT_FIND_EXISTING, wanted, nullptr)
                                   : nullptr;
        done = found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;
        if (wanted != nullptr)
            CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    return done ? 0 : 1;
}
