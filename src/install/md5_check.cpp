#include "install/md5_check.h"

#include <cstring>

#include "common/file_digest.h"
#include "common/format.h"
#include "common/md5.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "platform/file.h"
#include "platform/path.h"

bool GetBufferMd5(const unsigned char* data, unsigned int length, wchar_t* out, size_t outLength) {
    MD5_CTX context;
    unsigned char digest[16];
    context.MD5Update(data, length);
    context.MD5Final(digest);
    std::wstring text = Md5DigestToText(digest);
    if (out == nullptr || outLength == 0)
        return false;
    std::memset(out, 0, outLength * sizeof(wchar_t));
    FormatBounded(out, outLength, L"%s", ToLowerAscii(text).c_str());
    return true;
}

bool CheckHeldFileMd5(platform::InputFile& file, const std::wstring& path,
                      const std::wstring& expectedMd5) {
    // An empty file is never a package.
    uint64_t size = 0;
    std::wstring text;
    if (!file.GetSize(size) || size == 0 || !ComputeFileMd5(file, text)) {
        LogPrint(GetLogUtility(), L"%s file not read", path.c_str());
        return false;
    }
    LogPrint(GetLogUtility(), L"md5:%s", text.c_str());
    return IsSameMd5Text(expectedMd5.c_str(), text.c_str());
}

bool CheckFileMd5(const std::wstring& path, const std::wstring& expectedMd5) {
    if (!platform::PathExists(path)) {
        LogPrint(GetLogUtility(), L"%s file not exists", path.c_str());
        return false;
    }
    // An empty file is never a package.
    std::wstring text;
    uint64_t size = 0;
    if (!ComputeFileMd5(path, text, size) || size == 0)
        return false;
    LogPrint(GetLogUtility(), L"md5:%s", text.c_str());
    return IsSameMd5Text(expectedMd5.c_str(), text.c_str());
}
