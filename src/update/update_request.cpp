// The request of an update run: the service's address and path for the action, the installed
// versions it names, and the percent-encoding of its values.
#include "update/update_request.h"

#include <cwchar>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "cmdline/cmd_line_parser.h"
#include "common/client_settings.h"
#include "common/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "update/check_update.h"
#include "update/service_address.h"

namespace {

const wchar_t kVersionPath[] = L"/wan/box/Version/WDVersionUpdate.php?version=%s&uin=%s&apps=%s";
const wchar_t kFullPackagePath[] =
    L"/wan/box/OtherServer/GetPackagePath4WDNew.php?appid=%s&pid=%s&binversion=%s";
const wchar_t kForcedUin[] = L"346668791";

constexpr size_t kUrlChars = 1024;
constexpr size_t kVersionChars = 129;

}  // namespace

std::wstring EncodeQueryValue(const std::wstring& value) {
    std::string bytes;
    if (!utf8::Encode(value, bytes))
        return std::wstring();
    static const char kHex[] = "0123456789ABCDEF";
    std::wstring encoded;
    for (unsigned char c : bytes) {
        if (c >= 0x80 || c == ' ' || c == '&' || c == '#' || c == '%' || c == '+') {
            encoded += L'%';
            encoded += static_cast<wchar_t>(kHex[c >> 4]);
            encoded += static_cast<wchar_t>(kHex[c & 0x0F]);
        } else {
            encoded += static_cast<wchar_t>(c);
        }
    }
    return encoded;
}

int CCheckUpdate::CompareVersion(const std::wstring& a, const std::wstring& b) {
    unsigned first[4] = {0, 0, 0, 0};
    unsigned second[4] = {0, 0, 0, 0};
    std::swscanf(a.c_str(), L"%u.%u.%u.%u", &first[0], &first[1], &first[2], &first[3]);
    std::swscanf(b.c_str(), L"%u.%u.%u.%u", &second[0], &second[1], &second[2], &second[3]);
    for (int i = 0; i < 4; ++i) {
        if (first[i] != second[i])
            return first[i] > second[i] ? 1 : -1;
    }
    return 0;
}

std::wstring CCheckUpdate::GetInstalledAppVersions() const {
    std::wstring version;
    if (!appid_.empty()) {
        if (platform::registry::ReadString(kClientKey + appid_, L"version", kVersionChars,
                                           version)) {
            return appid_ + L"_" + version;
        }
        return std::wstring();
    }
    std::vector<std::wstring> subkeys;
    std::wstring apps;
    if (!platform::registry::EnumSubkeys(kClientKey, subkeys))
        return apps;
    for (const std::wstring& name : subkeys) {
        if (name.size() >= platform::kMaxPathChars)
            continue;
        if (!platform::registry::ReadString(kClientKey + name, L"version", kVersionChars, version))
            continue;
        if (!apps.empty())
            apps += L"|";
        apps += name + L"_" + version;
    }
    return apps;
}

bool CCheckUpdate::BuildRequestUrl(std::wstring& url) {
    std::wstring format = std::wstring(kServiceAddress);
    if (!forceDownload_) {
        std::wstring version;
        if (!platform::registry::ReadString(kClientKey, L"version", kVersionChars, version))
            return false;
        format += kVersionPath;
        url = FormatCut(kUrlChars, format.c_str(), EncodeQueryValue(version).c_str(),
                        EncodeQueryValue(GetCmdLineValue(L"uin")).c_str(),
                        EncodeQueryValue(GetInstalledAppVersions()).c_str());
        return true;
    }
    std::wstring apps = appid_ + L"_" + L"0.0.0.0";
    std::wstring installed;
    if (IsClientInstalled() &&
        platform::registry::ReadString(kClientKey, L"version", kVersionChars, installed) &&
        CompareVersion(binVersion_, installed) <= 0) {
        format += kVersionPath;
        url = FormatCut(kUrlChars, format.c_str(), EncodeQueryValue(installed).c_str(),
                        EncodeQueryValue(kForcedUin).c_str(), EncodeQueryValue(apps).c_str());
        return true;
    }
    format += kFullPackagePath;
    url = FormatCut(kUrlChars, format.c_str(), EncodeQueryValue(appid_).c_str(),
                    EncodeQueryValue(pid_).c_str(), EncodeQueryValue(binVersion_).c_str());
    return true;
}
