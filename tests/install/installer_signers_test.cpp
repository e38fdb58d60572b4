// Only installers signed by a pinned key run: the refusals of every kind of wrong signature, the
// acceptance of the right one, and the file held from the check to the start. On Windows the
// signed fixtures come from tools/sign_fixtures.py, and the test root joins the machine's store
// for the time of a test.
#include "install/installer_signers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cmdline/cmd_line_parser.h"
#include "common/file_digest.h"
#include "common/text.h"
#include "install/update_package_install.h"
#include "platform/path.h"
#include "platform/signature.h"
#include "support/fixture_files.h"

#ifdef _WIN32
#include <windows.h>

#include <wincrypt.h>
#endif

namespace {

namespace fs = std::filesystem;

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

// A pinned signature holds whatever the file is named and whatever its certificate table hides
// beside the signature: the name must still be a program's, the table nothing but signatures.
TEST_F(InstallerSigners, APinnedSignatureStartsNoScriptNorAHiddenTail) {
    PinsGuard pins(Pin("pin-key1"));
    std::wstring padded = ToWidePath(folder_ + "\\padded.exe");
    {
        platform::InputFile held;
        ASSERT_TRUE(held.Open(padded));
        platform::SignatureCheck check = platform::CheckFileSignature(held, padded);
        EXPECT_TRUE(check.intact && check.chainTrusted && check.codeSigning)
            << "the padding "
               "should leave the signature itself good";
        EXPECT_EQ(check.keySha256, Pin("pin-key1"));
    }
    std::wstring signer;
    EXPECT_EQ(Refusal("padded.exe", signer), L"certificate table longer than its signatures");
    EXPECT_EQ(signer, L"Korvane Test Signer");
    std::wstring script = ToWidePath(folder_ + "\\good.cmd");
    ASSERT_TRUE(CopyFileW(ToWidePath(folder_ + "\\good.exe").c_str(), script.c_str(), FALSE));
    EXPECT_EQ(Refusal("good.cmd", signer), L"not named as a program (.exe)");
    DeleteFileW(script.c_str());
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

// A whole pass over one signed installer, in which another program renames the installer's
// folder after the checks and puts an unsigned program under the same path: the planted
// program must never run.
TEST_F(InstallerSigners, AProgramPlantedUnderTheCheckedPathAfterTheChecksNeverRuns) {
    PinsGuard pins(Pin("pin-key1"));
    GetCmdLineParser().Parse(L"PallatonUpdater.exe -autorunning:false");
    fixtures::ScratchFolder scratch;
    fs::path installer = scratch.path() / "setup_101.exe";
    fs::copy_file(fs::path(folder_) / "good.exe", installer);
    fs::path started = scratch.path() / "started.txt";
    fixtures::SetRecordFile(started);
    std::wstring record = GetInstallRecordPath();
    fs::create_directories(fs::path(record).parent_path());
    std::wstring digest;
    uint64_t size = 0;
    ASSERT_TRUE(ComputeFileMd5(installer.wstring(), digest, size));
    std::ofstream(fs::path(record), std::ios::binary)
        << "[info]\r\nappid=101\r\n[101]\r\npackage=" << installer.string()
        << "\r\nmd5=" << fs::path(digest).string() << "\r\n";

    CUpdatePackageInstall pass(true, L"");
    std::wstring planted;
    pass.SetBeforeStartForTesting([&](const std::wstring& path) {
        fs::path checked(path);
        fs::path moved = checked.parent_path();
        moved += "-moved";
        fs::rename(checked.parent_path(), moved);
        fs::create_directory(checked.parent_path());
        fs::copy_file(fs::path(folder_) / "unsigned.exe", checked);
        planted = path;
    });
    ASSERT_TRUE(pass.LoadPackageRecord());
    pass.InstallPackages();
    EXPECT_FALSE(planted.empty()) << "the hook did not run";
    EXPECT_EQ(fixtures::ReadFile(started), "");
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
