// The file name check: the answer's "file_name" is joined to the download folder, so a name
// that climbs out of it, names a device or a stream, or cannot be stored must be refused. And the
// look for a package that an earlier run downloaded already.
#include "update/package_record.h"

#include <string_view>

#include "common/file_digest.h"
#include "common/text.h"
#include "http/download_pieces.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

// Device names that Windows opens as devices whatever the folder and extension; the
// superscript digits count as digits here.
bool IsDeviceName(std::wstring base) {
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    base = ToLowerAscii(base);
    if (base == L"con" || base == L"prn" || base == L"aux" || base == L"nul" || base == L"conin$" ||
        base == L"conout$") {
        return true;
    }
    if (base.size() != 4 || (base.compare(0, 3, L"com") != 0 && base.compare(0, 3, L"lpt") != 0))
        return false;
    wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

}  // namespace

const wchar_t* FindUnsafeFileNameReason(const std::wstring& downloadFolder,
                                        const std::wstring& fileName) {
    if (fileName.empty())
        return L"empty";
    if (fileName == L"." || fileName == L"..")
        return L"relative folder";
    for (wchar_t c : fileName) {
        if (static_cast<unsigned long>(c) < 0x20)
            return L"control character";
        if (std::wstring_view(L"\\/:<>\"|?*").find(c) != std::wstring_view::npos)
            return L"forbidden character";
    }
    if (fileName.back() == L'.' || fileName.back() == L' ')
        return L"trailing dot or space";
    if (IsDeviceName(fileName.substr(0, fileName.find(L'.'))))
        return L"device name";
    if (downloadFolder.size() + fileName.size() > platform::kMaxPathChars - 1)
        return L"path too long";
    return nullptr;
}

const wchar_t* FindUnsafeRecordValueReason(const std::wstring& value, bool isId) {
    for (wchar_t c : value) {
        if (static_cast<unsigned long>(c) < 0x20 || c == 0x7f)
            return L"control character";
        if (isId && (c == L'[' || c == L']' || c == L'|'))
            return L"forbidden character";
    }
    return nullptr;
}

bool IsPackageAlreadyPresent(const std::wstring& localPath, int64_t fileSize,
                             const std::wstring& md5) {
    if (md5.empty())
        return false;
    // What is found here is run by the install pass: a link planted in the package's place
    // would have the file it leads to run, so only a regular file that is itself here counts,
    // and the file digested is the one opened here. A file of another size is not read at all.
    platform::InputFile file;
    uint64_t size = 0;
    if (!file.OpenWithoutLinks(localPath) || !file.GetSize(size) || size == 0)
        return false;
    if (fileSize > 0 && size != static_cast<uint64_t>(fileSize))
        return false;
    std::wstring digest;
    return ComputeFileMd5(file, digest) && IsSameMd5Text(digest.c_str(), md5.c_str());
}

void DeleteDownloadLeftovers(const std::wstring& localPath) {
    std::string narrowPath = ToNarrowPath(localPath);
    http_pieces::DeletePieces(narrowPath);
    platform::DeletePath(ToWidePath(http_pieces::PartialNameFor(narrowPath)));
}
