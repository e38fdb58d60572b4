// The shape an installer must have beside its signature: a PE image named ".exe" whose
// certificate table holds its signature entries and nothing more.
#include "install/pe_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "support/fixture_files.h"

namespace {

constexpr size_t kSecurityEntry = 0x58 + 96 + 4 * 8;
constexpr size_t kTable = 0x140;

void Put32(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A 32-bit image with one signature entry: a DER sequence of 32 bytes after the entry's header,
// 44 bytes in all, padded to 48 in the table. `extra` bytes of zeros follow inside the table;
// `entryExtra` of them are counted in the entry's own length as well.
std::vector<unsigned char> Image(uint32_t extra = 0, uint32_t entryExtra = 0) {
    std::vector<unsigned char> bytes(kTable + 48 + extra, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    Put32(bytes, 0x3c, 0x40);
    bytes[0x40] = 'P';
    bytes[0x41] = 'E';
    bytes[0x58] = 0x0b;
    bytes[0x59] = 0x01;
    Put32(bytes, 0x58 + 92, 16);
    Put32(bytes, kSecurityEntry, kTable);
    Put32(bytes, kSecurityEntry + 4, 48 + extra);
    Put32(bytes, kTable, 44 + entryExtra);
    bytes[kTable + 4] = 0x00;
    bytes[kTable + 5] = 0x02;  // WIN_CERT_REVISION_2_0
    bytes[kTable + 6] = 0x02;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
    bytes[kTable + 8] = 0x30;
    bytes[kTable + 9] = 0x82;
    bytes[kTable + 11] = 32;
    return bytes;
}

std::wstring Problem(const std::vector<unsigned char>& bytes, const std::wstring& name) {
    fixtures::ScratchFolder scratch;
    std::ofstream(scratch.path() / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    platform::InputFile file;
    EXPECT_TRUE(file.Open(scratch.Wide(name)));
    return pe_image::FindProblem(file, scratch.Wide(name));
}

TEST(PeImage, AnImageNamedExeWhoseTableHoldsItsSignatureAloneMayStart) {
    EXPECT_EQ(Problem(Image(), L"setup_101.exe"), L"");
    EXPECT_EQ(Problem(Image(), L"SETUP_101.EXE"), L"");
    std::vector<unsigned char> unsigned_image = Image();
    Put32(unsigned_image, kSecurityEntry, 0);
    Put32(unsigned_image, kSecurityEntry + 4, 0);
    EXPECT_EQ(Problem(unsigned_image, L"setup_101.exe"), L"");  // judged by the signature check
}

TEST(PeImage, AnotherNameOrContentIsRefused) {
    EXPECT_EQ(Problem(Image(), L"setup_101.cmd"), L"not named as a program (.exe)");
    EXPECT_EQ(Problem(Image(), L"setup_101.exe.hta"), L"not named as a program (.exe)");
    std::vector<unsigned char> script = Image();
    script[0] = '@';
    EXPECT_EQ(Problem(script, L"setup_101.exe"), L"not a program image");
    EXPECT_EQ(Problem({'M', 'Z'}, L"setup_101.exe"), L"not a program image");
}

TEST(PeImage, BytesHiddenInTheCertificateTableAreRefused) {
    // 48 bytes after the entry, in the table's size alone or in the entry's length too.
    EXPECT_EQ(Problem(Image(48), L"setup_101.exe"),
              L"certificate table longer than its signatures");
    EXPECT_EQ(Problem(Image(48, 48), L"setup_101.exe"),
              L"certificate table longer than its signatures");
    std::vector<unsigned char> beyond = Image();
    Put32(beyond, kSecurityEntry + 4, 48 + 8);
    EXPECT_EQ(Problem(beyond, L"setup_101.exe"), L"certificate table beyond the file");
}

}  // namespace
