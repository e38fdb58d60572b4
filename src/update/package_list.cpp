// The update answer is read with Boost.PropertyTree, which keeps every JSON value as text: a
// number may come as a string and an id as a number, and arrays and objects read alike.
#include "update/package_list.h"

// The JSON reader still includes the old bind header, which otherwise asks at every compile for
// a change that is Boost's own to make.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "common/number.h"
#include "common/program_folder.h"
#include "common/text.h"
#include "diagnostics/log.h"
#include "platform/folders.h"
#include "platform/path.h"
#include "platform/profile.h"

namespace {

const wchar_t kRecordFileName[] = L"Pallaton_ResourceUpdate.ini";
const wchar_t kBinPackageId[] = L"1000";

// The JSON reader descends one level of its own call stack per nested array or object, so a
// hostile answer of a few hundred thousand '[' would overflow the stack. Real answers nest
// three levels deep.
constexpr int kMaxNesting = 64;

bool NestsTooDeep(const std::string& body) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::wstring WithTrailingSeparator(std::wstring folder) {
    if (folder.empty() || folder.back() != platform::kPathSeparator)
        folder += platform::kPathSeparator;
    return folder;
}

}  // namespace

std::wstring GetPackageDownloadFolder() {
    std::wstring appData;
    if (!platform::GetRoamingAppDataFolder(appData))
        return platform::GetTempFolder();
    std::wstring subfolder = platform::kPathSeparator == L'\\' ? L".\\Korvane\\PLTNDownload\\"
                                                               : L"./Korvane/PLTNDownload/";
    return WithTrailingSeparator(platform::AppendPath(appData, subfolder));
}

PackageList::PackageList() : PackageList(GetPackageDownloadFolder()) {}

PackageList::PackageList(const std::wstring& downloadFolder)
    : downloadFolder_(downloadFolder.empty() ? std::wstring()
                                             : WithTrailingSeparator(downloadFolder)) {
    // Without a folder of the user's own nothing is downloaded: a shared one would let another
    // user plant the packages that the install pass runs.
    if (downloadFolder_.empty()) {
        LogPrint(GetLogUtility(), L"PackageList: no download folder of the user's own");
        return;
    }
    if (!platform::FolderExists(downloadFolder_))
        CreateFolderTree(downloadFolder_);
}

bool PackageList::ParseUpdateAnswer(const std::string& body) {
    namespace pt = boost::property_tree;
    if (body.empty() || NestsTooDeep(body))
        return false;
    pt::ptree answer;
    try {
        std::istringstream stream(body);
        pt::read_json(stream, answer);
    } catch (const pt::ptree_error&) {
        return false;
    }

    try {
        if (answer.get<int>("ret") < 0)
            return false;
        bool stored = false;
        const std::pair<const char*, EntryKind> sections[] = {
            {"app", EntryKind::kApp},
            {"bin", EntryKind::kBin},
            {"fullpackage", EntryKind::kFullPackage},
        };
        for (const auto& [name, kind] : sections) {
            auto section = std::as_const(answer).get_child_optional(name);
            if (!section || section->empty())
                continue;
            if (kind == EntryKind::kApp) {
                // An array's elements and an object's members alike, in document order.
                for (const auto& member : *section) {
                    EntryResult result = ReadEntry(member.second, kind);
                    if (result == EntryResult::kRejected)
                        return false;
                    stored = stored || result == EntryResult::kStored;
                }
            } else {
                EntryResult result = ReadEntry(*section, kind);
                if (result == EntryResult::kRejected)
                    return false;
                stored = stored || result == EntryResult::kStored;
            }
        }
        std::wstring clash;
        if (const wchar_t* reason = FindNameCollision(clash)) {
            LogPrint(GetLogUtility(), L"PackageList::ParseUpdateAnswer unsafe file_name (%s):[%s]",
                     reason, clash.c_str());
            records_.clear();
            return false;
        }
        return stored;
    } catch (const pt::ptree_error&) {
        // A required key missing or not a number: the whole answer counts as no package.
        return false;
    }
}

template <typename Tree>
PackageList::EntryResult PackageList::ReadEntry(const Tree& entry, EntryKind kind) {
    if (entry.template get<int>("ret") != 1)
        return EntryResult::kSkipped;

    auto record = std::make_unique<PackageRecord>();
    switch (kind) {
        case EntryKind::kApp:
            record->id = ToWide(entry.template get<std::string>("id"));
            break;
        case EntryKind::kBin:
            record->id = kBinPackageId;
            break;
        case EntryKind::kFullPackage:
            record->id = ToWide(entry.template get<std::string>("appid"));
            break;
    }
    record->url = ToWide(entry.template get<std::string>("url"));
    std::wstring fileName = ToWide(entry.template get<std::string>("file_name"));
    if (kind == EntryKind::kBin) {
        // Optional, but when it is there it must be a number like anywhere else.
        if (auto size = entry.get_child_optional("file_size"))
            record->fileSize = size->template get_value<int64_t>();
    } else {
        record->fileSize = entry.template get<int64_t>("file_size");
    }
    record->md5 = ToWide(entry.template get<std::string>("md5"));
    if (kind != EntryKind::kFullPackage)
        record->version = ToWide(entry.template get<std::string>("version"));

    // The id names a section of the package record and the appid list, and the other values
    // are written as lines there: none of them may start a line or a section of its own.
    const std::pair<const wchar_t*, const std::wstring*> recorded[] = {
        {L"id", &record->id}, {L"md5", &record->md5}, {L"version", &record->version}};
    for (const auto& [field, value] : recorded) {
        if (const wchar_t* reason =
                FindUnsafeRecordValueReason(*value, field == recorded[0].first)) {
            LogPrint(GetLogUtility(), L"PackageList::ParseUpdateAnswer unsafe %s (%s):[%s]", field,
                     reason, value->c_str());
            return EntryResult::kRejected;
        }
    }
    if (downloadFolder_.empty())
        return EntryResult::kRejected;
    if (const wchar_t* reason = FindUnsafeFileNameReason(downloadFolder_, fileName)) {
        LogPrint(GetLogUtility(), L"PackageList::ParseUpdateAnswer unsafe file_name (%s):[%s]",
                 reason, fileName.c_str());
        return EntryResult::kRejected;
    }
    record->localPath = downloadFolder_ + fileName;

    std::wstring id = record->id;
    records_[id] = std::move(record);  // the replaced record, if any, is released here
    return EntryResult::kStored;
}

const wchar_t* PackageList::FindNameCollision(std::wstring& name) const {
    // Names are compared as the Windows file system compares them (see SameFileName), on both
    // targets; they are the part of each local path after the download folder.
    std::vector<std::wstring> names;
    for (const auto& [id, record] : records_)
        names.push_back(record->localPath.substr(downloadFolder_.size()));
    for (size_t i = 0; i < names.size(); ++i) {
        name = names[i];
        if (platform::SameFileName(names[i], kRecordFileName))
            return L"name of the package record";
        for (size_t j = 0; j < names.size(); ++j) {
            if (j == i)
                continue;
            if (j > i && platform::SameFileName(names[i], names[j]))
                return L"name of another package";
            // A download keeps its pieces, its partial file and their state beside the package
            // as "NAME.tmp_N", "NAME.tmp_part" and "NAME.tmp_state".
            const std::wstring piecePrefix = names[j] + L".tmp_";
            if (platform::SameFileName(names[i].substr(0, piecePrefix.size()), piecePrefix))
                return L"piece file of another package";
        }
    }
    name.clear();
    return nullptr;
}

bool PackageList::TakeNextPackage(PackageRecord*& record) {
    for (auto& [id, candidate] : records_) {
        if (!candidate->taken) {
            candidate->taken = true;
            record = candidate.get();
            return true;
        }
    }
    return false;
}

int PackageList::FindPackageIdByTask(int taskId) const {
    if (taskId == 0)
        return -1;
    for (const auto& [id, record] : records_) {
        if (record->taskId == taskId)
            return ToInt32OrMinusOne(id);
    }
    return -1;
}

void PackageList::WritePackageRecord() {
    std::wstring path = GetPackageRecordPath();
    std::wstring appids;
    bool written = true;
    for (const auto& [id, record] : records_) {
        if (!record->taken)
            continue;
        // A record that cannot be written (a folder in its place, a full disk) fails the same
        // way at every value: the first failure ends the writing.
        written = platform::WriteIniString(path, id, L"package", record->localPath) &&
                  platform::WriteIniString(path, id, L"md5", record->md5) &&
                  platform::WriteIniString(path, id, L"ver", record->version);
        if (!written)
            break;
        if (!appids.empty())
            appids += L'|';
        appids += id;
    }
    records_.clear();
    if (written && !appids.empty())
        written = platform::WriteIniString(path, L"info", L"appid", appids);
    // The install pass then finds nothing to install; the log says why.
    if (!written)
        LogPrint(GetLogUtility(), L"Write package record failed:[%s]", path.c_str());
}

std::wstring PackageList::GetPackageRecordPath() const {
    return platform::AppendPath(downloadFolder_, kRecordFileName);
}
