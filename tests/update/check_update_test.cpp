#include "update/check_update.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/client_settings.h"
#include "platform/registry.h"
#include "support/fixture_files.h"

namespace {

using fixtures::ScratchFolder;

TEST(CompareVersion, FirstUnequalPartDecides) {
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"2.0.0.0", L"1.9.9.9"), 1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.9.9.9", L"2.0.0.0"), -1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"2.0.0.0", L"2.0.0.0"), 0);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.2", L"1.2.0.0"), 0);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"1.10.0.0", L"1.9.0.0"), 1);
    EXPECT_EQ(CCheckUpdate::CompareVersion(L"", L"0.0.0.1"), -1);
}

TEST(EncodeQueryValue, EncodesOnlyWhatWouldChangeTheUrl) {
    EXPECT_EQ(EncodeQueryValue(L"a b&c#d%e+f|g_1.0"), L"a%20b%26c%23d%25e%2Bf|g_1.0");
    EXPECT_EQ(EncodeQueryValue(L"101_1.0.0.1|205_2.3.0.0"), L"101_1.0.0.1|205_2.3.0.0");
    // Outside ASCII: the bytes of the UTF-8 form, the same on both targets.
    EXPECT_EQ(EncodeQueryValue(L"\u6b63x\u00e9"), L"%E6%AD%A3x%C3%A9");
}

// The client key of a scratch registry (Linux: a hive of its own; Windows: the real key of the
// test prefix, restored by deleting it).
class ClientKey : public testing::Test {
  protected:
    void SetUp() override {
#ifndef _WIN32
        setenv("XDG_CONFIG_HOME", folder_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", folder_.path().c_str(), 1);
#endif
        platform::registry::DeleteKeyTree(kClientKey);
    }
    void TearDown() override {
        platform::registry::DeleteKeyTree(kClientKey);
    }

    void Touch(const std::wstring& name) {
        std::ofstream(folder_.path() / std::filesystem::path(name)) << "x";
    }
    std::wstring Path(const std::wstring& name) const {
        return folder_.Wide(name);
    }

    ScratchFolder folder_;
};

TEST_F(ClientKey, InstalledAppVersionsSkipSubkeysWithoutVersion) {
    using platform::registry::WriteString;
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"101", L"version", L"1.0.0.1"));
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"205", L"other", L"x"));
    ASSERT_TRUE(WriteString(std::wstring(kClientKey) + L"30", L"version", L"3.0"));
    CCheckUpdate all(nullptr, L"", true, false);
    EXPECT_EQ(all.GetInstalledAppVersions(), L"101_1.0.0.1|30_3.0");
    CCheckUpdate one(nullptr, L"101", true, true);
    EXPECT_EQ(one.GetInstalledAppVersions(), L"101_1.0.0.1");
    CCheckUpdate without(nullptr, L"205", true, true);
    EXPECT_EQ(without.GetInstalledAppVersions(), L"");
}

TEST_F(ClientKey, ClientIsInstalledWhenItsFourFilesExist) {
    using platform::registry::WriteString;
    for (const wchar_t* name : {L"Launch.exe", L"PALLATON.EXE", L"PallatonTray.exe",
                                L"PallatonUpdater.exe", L"Client.exe", L"OldPallaton.exe"}) {
        Touch(name);
    }
    WriteString(kClientKey, L"LaunchPath", Path(L"Launch.exe"));
    WriteString(kClientKey, L"version", L"1.0.0.1");

    // The main program's name matches in any case.
    WriteString(kClientKey, L"Exe", Path(L"PALLATON.EXE"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    // Another main program name: the tray and updater are looked for beside it.
    WriteString(kClientKey, L"Exe", Path(L"Client.exe"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));
    // A name that only ends like the main program's is another program: the tray and updater
    // are still looked for beside it, not as "OldPallatonTray.exe".
    WriteString(kClientKey, L"Exe", Path(L"OldPallaton.exe"));
    EXPECT_TRUE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));

    // A missing file removes the whole client key.
    std::filesystem::remove(folder_.path() / "PallatonTray.exe");
    EXPECT_FALSE(CCheckUpdate::IsClientInstalled());
    EXPECT_FALSE(platform::registry::KeyExists(kClientKey));
    // Without the values the key is left alone.
    WriteString(kClientKey, L"version", L"1.0.0.1");
    EXPECT_FALSE(CCheckUpdate::IsClientInstalled());
    EXPECT_TRUE(platform::registry::KeyExists(kClientKey));
}

}  // namespace
