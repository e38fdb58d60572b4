// The packages of one update answer: read from the service's JSON answer, handed out one by
// one for download, and written to the package record file that the install action reads.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "update/package_record.h"

// The folder packages are downloaded to, ending with a separator: Korvane/PLTNDownload in the
// user's roaming application-data folder, or the temporary folder itself when there is none;
// empty when the user has neither (see platform::GetTempFolder).
std::wstring GetPackageDownloadFolder();

class PackageList {
  public:
    // Keeps packages in GetPackageDownloadFolder(), created when missing.
    PackageList();
    // Keeps packages in the given folder (a separator is added), created when missing. With an
    // empty folder the list logs that and takes no package.
    explicit PackageList(const std::wstring& downloadFolder);

    PackageList(const PackageList&) = delete;
    PackageList& operator=(const PackageList&) = delete;

    // Reads the answer body (narrow text in the system code page, cut to its outermost braces)
    // into records, one per package id, a later package replacing an earlier one of the same
    // id. True when at least one package was stored; false for a body that is empty or not
    // JSON, a negative "ret", a missing or malformed required key, an unsafe file name, or
    // file names that collide (compared as the Windows file system compares them, see
    // platform::SameFileName): two packages under one name, a package named like the record
    // file or like another package's piece files.
    bool ParseUpdateAnswer(const std::string& body);

    // Hands out the first record, in id order, that was not handed out yet and marks it
    // taken. The list keeps owning the record. False when every record was handed out.
    bool TakeNextPackage(PackageRecord*& record);

    // The id of the first record, in id order, whose download has this task id, as a number;
    // -1 for task id 0, an unknown task or an id that is not a decimal number.
    int FindPackageIdByTask(int taskId) const;

    // Writes the packages that were handed out to the package record file, in id order, then
    // names them in "info"/"appid" as "id|id|...". Values of earlier runs stay unless
    // rewritten. Every record is released; the list is empty afterwards. A record that cannot
    // be written is logged, once, and left as far as it was written.
    void WritePackageRecord();

    std::wstring GetPackageRecordPath() const;

    const std::wstring& GetDownloadFolder() const { return downloadFolder_; }

  private:
    enum class EntryKind { kApp, kBin, kFullPackage };
    enum class EntryResult { kSkipped, kStored, kRejected };

    template <typename Tree>
    EntryResult ReadEntry(const Tree& entry, EntryKind kind);

    // Why the stored packages cannot share the download folder, or null when they can: two of
    // them under one file name, one named like the package record, or one named like a piece
    // file of another. `name` receives the offending name.
    const wchar_t* FindNameCollision(std::wstring& name) const;

    std::map<std::wstring, std::unique_ptr<PackageRecord>> records_;
    std::wstring downloadFolder_;
};
