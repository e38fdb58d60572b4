// A package is tens to hundreds of MiB: the file is digested block by block, so that the memory
// the digest takes does not grow with it.
#include "common/file_digest.h"

#include <memory>
#include <new>

#include "common/format.h"
#include "common/md5.h"
#include "common/text.h"

namespace {

constexpr size_t kTextChars = 64;
// Large enough that the read calls cost little next to the digest, small enough to stay in
// the processor's caches.
constexpr size_t kBlockBytes = 256 * 1024;

}  // namespace

std::wstring Md5DigestToText(const unsigned char digest[16]) {
    wchar_t text[kTextChars] = {};
    size_t used = 0;
    for (int i = 0; i < 16; ++i)
        used += FormatBounded(text + used, kTextChars - used, L"%02x", digest[i]);
    return std::wstring(text, used);
}

bool ComputeFileMd5(const std::wstring& path, std::wstring& digest, uint64_t& size) {
    platform::InputFile file;
    return file.Open(path) && file.GetSize(size) && ComputeFileMd5(file, digest);
}

bool ComputeFileMd5(platform::InputFile& file, std::wstring& digest) {
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kBlockBytes]);
    if (!block)
        return false;
    MD5_CTX context;
    for (;;) {
        size_t got = 0;
        if (!file.Read(block.get(), kBlockBytes, got))
            return false;
        if (got == 0)
            break;
        context.MD5Update(block.get(), static_cast<unsigned int>(got));
    }
    unsigned char result[16];
    context.MD5Final(result);
    digest = Md5DigestToText(result);
    return true;
}

bool IsSameMd5Text(const wchar_t* first, const wchar_t* second) {
    if (first == nullptr || second == nullptr || *first == L'\0' || *second == L'\0')
        return false;
    return EqualsIgnoreCaseAscii(first, second);
}
