#include "install/installer_folder.h"

#include <random>

#include "platform/path.h"

namespace {

constexpr int kNameTries = 8;

std::wstring UniqueFolderName() {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::random_device random;
    std::wstring name = L"install-";
    for (int i = 0; i < 16; ++i)
        name += kDigits[random() & 15];
    return name;
}

}  // namespace

bool InstallerFolder::MoveIn(platform::InputFile& held, const std::wstring& path) {
    Remove();
    size_t cut = path.find_last_of(platform::kPathSeparator);
    if (cut == std::wstring::npos)
        return false;
    std::wstring parent = path.substr(0, cut);
    std::wstring name = path.substr(cut + 1);
    for (int attempt = 0; attempt < kNameTries && folder_.empty(); ++attempt) {
        std::wstring folder = platform::AppendPath(parent, UniqueFolderName());
        if (platform::CreateNewFolder(folder))
            folder_ = folder;
    }
    if (folder_.empty())
        return false;
    std::wstring moved = platform::AppendPath(folder_, name);
    if (!held.MoveTo(moved)) {
        Remove();
        return false;
    }
    file_ = moved;
    return true;
}

void InstallerFolder::Remove() {
    if (!file_.empty() && platform::DeletePath(file_))
        file_.clear();
    if (file_.empty() && !folder_.empty())
        platform::DeleteFolder(folder_);
    folder_.clear();
    file_.clear();
}
