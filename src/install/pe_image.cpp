#include "install/pe_image.h"

#include <cstdint>
#include <vector>

#include "base/ascii.h"

namespace pe_image {

namespace {

constexpr uint16_t kOptionalHeader32 = 0x10b;
constexpr uint16_t kOptionalHeader64 = 0x20b;
constexpr uint32_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint32_t kCertificateHeader = 8;  // dwLength, wRevision, wCertificateType

uint64_t RoundUp8(uint64_t value) {
    return (value + 7) & ~static_cast<uint64_t>(7);
}

// Reads exactly `size` bytes at `offset`; false when the file is shorter.
bool ReadExactly(const platform::InputFile& file, uint64_t offset, void* buffer, size_t size) {
    size_t got = 0;
    return file.ReadAt(offset, buffer, size, got) && got == size;
}

bool ReadU16(const platform::InputFile& file, uint64_t offset, uint16_t& value) {
    unsigned char bytes[2];
    if (!ReadExactly(file, offset, bytes, sizeof bytes))
        return false;
    value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
}

bool ReadU32(const platform::InputFile& file, uint64_t offset, uint32_t& value) {
    unsigned char bytes[4];
    if (!ReadExactly(file, offset, bytes, sizeof bytes))
        return false;
    value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

// The length of the DER value (tag, length and content) at `offset`; 0 when there is none.
uint64_t DerLength(const platform::InputFile& file, uint64_t offset) {
    unsigned char head[6];
    if (!ReadExactly(file, offset, head, 2) || head[0] != 0x30)
        return 0;
    if (head[1] < 0x80)
        return 2 + head[1];
    size_t count = head[1] & 0x7f;
    if (count == 0 || count > 4 || !ReadExactly(file, offset + 2, head + 2, count))
        return 0;
    uint64_t length = 0;
    for (size_t i = 0; i < count; ++i)
        length = length << 8 | head[2 + i];
    return 2 + count + length;
}

// Where the certificate table lies; false when the file is no PE image.
bool FindCertificateTable(const platform::InputFile& file, uint32_t& offset, uint32_t& size) {
    uint16_t mz = 0, magic = 0;
    uint32_t header = 0, signature = 0, directories = 0;
    if (!ReadU16(file, 0, mz) || mz != 0x5a4d || !ReadU32(file, 0x3c, header) ||
        !ReadU32(file, header, signature) || signature != 0x00004550)
        return false;
    uint64_t optional = static_cast<uint64_t>(header) + 24;
    if (!ReadU16(file, optional, magic) ||
        (magic != kOptionalHeader32 && magic != kOptionalHeader64))
        return false;
    uint64_t count = optional + (magic == kOptionalHeader32 ? 92 : 108);
    uint64_t table = optional + (magic == kOptionalHeader32 ? 96 : 112);
    if (!ReadU32(file, count, directories))
        return false;
    offset = size = 0;
    if (directories <= kSecurityDirectory)
        return true;
    return ReadU32(file, table + 8 * kSecurityDirectory, offset) &&
           ReadU32(file, table + 8 * kSecurityDirectory + 4, size);
}

}  // namespace

std::wstring FindProblem(const platform::InputFile& file, const std::wstring& path) {
    if (path.size() < 4 || ToLowerAscii(path.substr(path.size() - 4)) != L".exe")
        return L"not named as a program (.exe)";
    uint32_t offset = 0, size = 0;
    if (!FindCertificateTable(file, offset, size))
        return L"not a program image";
    uint64_t fileSize = 0;
    if (size == 0 || !file.GetSize(fileSize))
        return std::wstring();  // no signature: the signature check judges that
    uint64_t end = static_cast<uint64_t>(offset) + size;
    if (end > fileSize)
        return L"certificate table beyond the file";
    for (uint64_t at = offset; at < end;) {
        uint32_t length = 0;
        if (!ReadU32(file, at, length) || length < kCertificateHeader || at + length > end)
            return L"certificate table longer than its signatures";
        uint64_t carried = DerLength(file, at + kCertificateHeader);
        if (carried == 0 || RoundUp8(kCertificateHeader + carried) != RoundUp8(length))
            return L"certificate table longer than its signatures";
        at += RoundUp8(length);
    }
    return std::wstring();
}

}  // namespace pe_image
