#include "common/program_folder.h"

#include "platform/path.h"

std::wstring GetProgramFolder() {
    std::wstring path = platform::GetModuleFilePath();
    size_t cut = path.find_last_of(platform::kPathSeparator);
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring ResolveProgramPath(const std::wstring& path) {
    if (platform::IsAbsolutePath(path))
        return path;
    return GetProgramFolder() + platform::kPathSeparator + path;
}

bool PathExistsAt(const std::wstring& path) {
    return platform::PathExists(ResolveProgramPath(path));
}

bool CreateFolderTree(const std::wstring& path) {
    std::wstring full = ResolveProgramPath(path);
    while (!full.empty() && full.back() == platform::kPathSeparator)
        full.pop_back();
    if (full.empty())
        return false;
    if (platform::FolderExists(full))
        return true;
    // Create each missing folder from the root down; a drive or file-system root needs nothing.
    for (size_t pos = full.find(platform::kPathSeparator, 1); pos != std::wstring::npos;
         pos = full.find(platform::kPathSeparator, pos + 1)) {
        std::wstring part = full.substr(0, pos);
        if (part.empty() || part.back() == L':')
            continue;
        if (!platform::FolderExists(part))
            platform::CreateFolder(part);
    }
    return platform::CreateFolder(full);
}

bool CreateParentFolder(const std::wstring& filePath) {
    if (filePath.find_first_of(L"<>\"|*?") != std::wstring::npos)
        return false;
    std::wstring full = ResolveProgramPath(filePath);
    size_t cut = full.find_last_of(platform::kPathSeparator);
    if (cut == std::wstring::npos || cut == 0)
        return true;
    return CreateFolderTree(full.substr(0, cut));
}
