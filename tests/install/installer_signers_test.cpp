// Only installers signed by a pinned key run: the refusals of every kind of wrong signature, the
// acceptance of the right one, and the file held from the check to the start. On Windows the
// signed fixtures come from tools/sign_fixtures.py, and the test root joins the machine's store
// for the time of a test.
#include "install/installer_signers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/text.h"
#include "platform/path.h"
#include "platform/signature.h"

#ifdef _WIN32
#include <windows.h>

#include <wincrypt.h>
#endif

namespace {

struct PinsGuard {
    explicit PinsGuard(const std::string& pins) { installer_signers::SetPinsForTesting(&pins); }
    ~PinsGuard() { installer_signers::SetPinsForTesting(nullptr); }
};

#ifdef _WIN32
class InstallerSigners : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* folder = std::getenv("PALLATON_SIGNED_FIXTURES");
        ASSERT_NE(folder, nullptr) << "run through ctest, whose fixture signs the programs";
        folder_ = folder;
        std::ifstream root(folder_ + "\\root.pem");
        std::string pem((std::istreambuf_iterator<char>(root)), std::istreambuf_iterator<char>());
        DWORD size = 0;
        ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                         nullptr, nullptr));
        der_.assign(size, '\0');
        ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                                         reinterpret_cast<BYTE*>(der_.data()), &size, nullptr,
                                         nullptr));
        // A system store keeps a change when it is closed.
        HCERTSTORE store = OpenMachineRoots();
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()), size,
            CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        CertCloseStore(store, 0);
    }
    void TearDown() override {
        HCERTSTORE store = OpenMachineRoots();
        PCCERT_CONTEXT added = CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
            static_cast<DWORD>(der_.size()));
        PCCERT_CONTEXT found = store != nullptr && added != nullptr
                                   ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                                CERT_FIND_EXISTING, added, nullptr)
                                   : nullptr;
        if (found != nullptr)
            CertDeleteCertificateFromStore(found);  // frees the context too
        if (added != nullptr)
            CertFreeCertificateContext(added);
        if (store != nullptr)
            CertCloseStore(store, 0);
    }

    static HCERTSTORE OpenMachineRoots() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                             L"Root");
    }

    std::string Pin(const char* name) {
        std::ifstream in(folder_ + "\\" + name);
        std::string pin;
        in >> pin;
        return pin;
    }

    std::wstring Refusal(const char* file, std::wstring& signer) {
        std::wstring path = ToWidePath(folder_ + "\\" + file);
        platform::InputFile held;
        EXPECT_TRUE(held.Open(path)) << file;
        return installer_signers::FindRefusal(held, path, signer);
    }

    std::string folder_;
    std::string der_;
};

TEST_F(InstallerSigners, OnlyTheFileSignedByAPinnedKeyUnderATrustedRootRuns) {
    PinsGuard pins(Pin("pin-key1"));
    std::wstring signer;
    EXPECT_EQ(Refusal("good.exe", signer), L"");
    EXPECT_EQ(signer, L"Korvane Test Signer");

    struct Refused {
        const char* file;
        const wchar_t* reason;
    };
    for (const Refused& each :
         {Refused{"unsigned.exe", L"not signed"}, Refused{"tampered.exe", L"changed after signing"},
          Refused{"other-key.exe", L"signer key not pinned"},
          Refused{"other-root.exe", L"incomplete chain"}}) {
        SCOPED_TRACE(each.file);
        EXPECT_EQ(Refusal(each.file, signer), each.reason);
    }
    EXPECT_EQ(signer, L"Korvane Test Signer");  // the other root's certificate of key 1
}

TEST_F(InstallerSigners, TwoPinsLetTheMakerRollToANewKey) {
    PinsGuard pins(Pin("pin-key2") + ";" + Pin("pin-key1"));
    std::wstring signer;
    EXPECT_EQ(Refusal("good.exe", signer), L"");
    EXPECT_EQ(Refusal("other-key.exe", signer), L"");
}

TEST_F(InstallerSigners, WithoutPinsAnUnsignedInstallerRunsAsBefore) {
    PinsGuard pins("");
    std::wstring signer;
    EXPECT_EQ(Refusal("unsigned.exe", signer), L"");
}

TEST_F(InstallerSigners, TheHeldFileCannotBeReplacedNorDeleted) {
    std::wstring path = ToWidePath(folder_ + "\\good.exe");
    std::wstring copy = ToWidePath(folder_ + "\\held-copy.exe");
    ASSERT_TRUE(CopyFileW(path.c_str(), copy.c_str(), FALSE));
    std::wstring other = ToWidePath(folder_ + "\\unsigned.exe");
    {
        platform::InputFile held;
        ASSERT_TRUE(held.Open(copy));
        EXPECT_FALSE(MoveFileExW(other.c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING));
        EXPECT_FALSE(DeleteFileW(copy.c_str()));
        HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
    }
    EXPECT_TRUE(DeleteFileW(copy.c_str()));
}
#else
TEST(InstallerSigners, LinuxAcceptsThePinsButChecksNoSignature) {
    PinsGuard pins("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    EXPECT_FALSE(platform::SystemChecksSignatures());
    platform::InputFile held;
    std::wstring signer;
    EXPECT_EQ(installer_signers::FindRefusal(held, L"/nonexistent", signer), L"");
    EXPECT_EQ(signer, L"none");
}
#endif

}  // namespace
