// A folder of its own for one installer's start: a program looks for many libraries in its own
// folder first, so an installer must not start beside files that someone else could have put
// there (another download of the same folder, a file planted by an update answer).
#pragma once

#include <string>

#include "platform/file.h"

class InstallerFolder {
  public:
    InstallerFolder() = default;
    ~InstallerFolder() { Remove(); }
    InstallerFolder(const InstallerFolder&) = delete;
    InstallerFolder& operator=(const InstallerFolder&) = delete;

    // Makes a new folder of a unique name ("install-" and 16 hexadecimal digits) beside the file
    // at `path` and moves the held file into it, under its own name, through its handle. False
    // when either cannot be done; nothing is left behind then.
    bool MoveIn(platform::InputFile& held, const std::wstring& path);

    // The moved file's path; empty before MoveIn succeeded.
    const std::wstring& FilePath() const { return file_; }

    // Deletes the file and the folder. The file must no longer be held; a file still in use (an
    // installer that outlived its wait) stays, and its folder with it.
    void Remove();

  private:
    std::wstring folder_;
    std::wstring file_;
};
