// The package check digests the file block by block: a package is tens to hundreds of MiB, and
// the memory the check takes must not grow with it.
#include "install/md5_check.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/format.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "install/md5.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

constexpr size_t kTextChars = 64;
// Large enough that the read calls cost little next to the digest, small enough to stay in
// the processor's caches.
constexpr size_t kBlockBytes = 256 * 1024;

std::wstring DigestToText(const unsigned char digest[16]) {
    wchar_t text[kTextChars] = {};
    size_t used = 0;
    for (int i = 0; i < 16; ++i)
        used += FormatBounded(text + used, kTextChars - used, L"%02x", digest[i]);
    return std::wstring(text, used);
}

}  // namespace

bool GetBufferMd5(const unsigned char* data, unsigned int length, wchar_t* out, size_t outLength) {
    MD5_CTX context;
    unsigned char digest[16];
    context.MD5Update(data, length);
    context.MD5Final(digest);
    std::wstring text = DigestToText(digest);
    if (out == nullptr || outLength == 0)
        return false;
    std::memset(out, 0, outLength * sizeof(wchar_t));
    FormatBounded(out, outLength, L"%s", ToLowerAscii(text).c_str());
    return true;
}

bool CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5) {
    if (!platform::PathExists(path)) {
        LogPrint(GetLogUtility(), L"%s file not exists", path.c_str());
        return false;
    }
    platform::InputFile file;
    if (!file.Open(path))
        return false;
    uint64_t size = 0;
    if (!file.GetSize(size) || size == 0)
        return false;
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
    file.Close();
    block.reset();

    unsigned char digest[16];
    context.MD5Final(digest);
    std::wstring text = DigestToText(digest);
    LogPrint(GetLogUtility(), L"md5:%s", text.c_str());
    return IsSameMd5Text(expectedMd5.c_str(), text.c_str());
}

bool IsSameMd5Text(const wchar_t* first, const wchar_t* second) {
    if (first == nullptr || second == nullptr || *first == L'\0' || *second == L'\0')
        return false;
    return EqualsIgnoreCaseAscii(first, second);
}
