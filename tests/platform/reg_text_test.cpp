// The Linux hive text on its own, in memory: what is accepted and refused, how values of each
// kind come back, the order of keys, and the wrapping of hex data.
#ifndef _WIN32
#include "platform/posix/reg_text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/utf8.h"

namespace {

namespace reg_text = platform::posix::reg_text;

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

bool Parses(const std::string& body, reg_text::Hive& hive) {
    return reg_text::ParseHive(kHeader + body, hive);
}

const reg_text::Value* Find(reg_text::Hive& hive, const reg_text::KeyPath& path,
                            const std::wstring& name) {
    auto key = hive.find(path);
    if (key == hive.end())
        return nullptr;
    auto value = reg_text::FindValue(key->second, name);
    return value == key->second.end() ? nullptr : &*value;
}

TEST(RegText, ReadsEachKindOfValue) {
    reg_text::Hive hive;
    ASSERT_TRUE(
        Parses("[HKEY_CURRENT_USER\\Software\\A]\r\n"
               "@=\"default\"\r\n"
               "\"path\"=\"C:\\\\x\\\\\\\"q\\\"\"\r\n"
               "\"flag\"=dword:0000002a\r\n"
               "\"short\"=dword:1\r\n"
               "\"shorter\"=dword:Ab\r\n"
               "\"bin\"=hex:01,02,\\\r\n  ff\r\n"
               "\"name\"=hex(2):41,00,00,00\r\n",
               hive));
    const reg_text::KeyPath key = {L"Software", L"A"};
    ASSERT_NE(nullptr, Find(hive, key, L""));
    EXPECT_EQ(L"default", Find(hive, key, L"")->text);
    EXPECT_EQ(L"C:\\x\\\"q\"", Find(hive, key, L"PATH")->text);
    EXPECT_EQ(42u, Find(hive, key, L"flag")->dword);
    EXPECT_EQ(1u, Find(hive, key, L"short")->dword);
    EXPECT_EQ(0xABu, Find(hive, key, L"shorter")->dword);
    const reg_text::Value* bin = Find(hive, key, L"bin");
    EXPECT_EQ(reg_text::kTypeBinary, bin->type);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 255}), bin->bytes);
    const reg_text::Value* expand = Find(hive, key, L"name");
    EXPECT_EQ(reg_text::kTypeExpandString, expand->type);
    std::wstring text;
    EXPECT_TRUE(reg_text::DecodeUtf16Le(expand->bytes, text));
    EXPECT_EQ(L"A", text);
    // The parents exist as keys of their own.
    EXPECT_EQ(1u, hive.count({L"software"}));
}

TEST(RegText, RefusesWhatIsNotAHive) {
    reg_text::Hive hive;
    EXPECT_FALSE(reg_text::ParseHive("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n", hive));
    for (const char* body : {
             "\"orphan\"=\"value before any key\"\r\n",
             "[-HKEY_CURRENT_USER\\A]\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"gone\"=-\r\n",
             "[HKEY_LOCAL_MACHINE\\A]\r\n",
             "[HKEY_CURRENT_USER\\A\\\\B]\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=dword:\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=dword:000000001\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=dword:-1\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=\"open\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=\"bad \\escape\"\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=hex:01,\\\r\n",
             "[HKEY_CURRENT_USER\\A]\r\n\"n\"=hex:1ff\r\n",
         }) {
        EXPECT_FALSE(Parses(body, hive)) << body;
    }
    EXPECT_FALSE(
        reg_text::ParseHive("\xff\xfe"
                            "W\0i\0",
                            hive));
}

TEST(RegText, RefusalSaysWhereAndWhy) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"REGEDIT4\r\n", L"line 1: the header is not"},
        {std::string(kHeader) + "\"v\"=\"1\"\r\n", L"line 3: a value before any key"},
        {std::string(kHeader) + "[HKEY_CURRENT_USER\\A]\r\n; note\r\n\"b\"=hex:01,\\\r\n  0g\r\n",
         L"line 5: a value that cannot be read"},
        {std::string(kHeader) + "\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
         L"line 4: a key that cannot be read"},
        {std::string(kHeader) + "[HKEY_CURRENT_USER\\A]\r\nstray\r\n", L"line 4: neither a key"},
        {std::string(kHeader) + "\xC3\r\n", L"the text is not UTF-8"},
    };
    for (const auto& [text, reason] : cases) {
        reg_text::Hive hive;
        std::wstring why;
        EXPECT_FALSE(reg_text::ParseHive(text, hive, &why)) << text;
        EXPECT_EQ(why.substr(0, reason.size()), reason) << text;
    }
}

TEST(RegText, EmptyTextAndByteOrderMarkAreAccepted) {
    reg_text::Hive hive;
    EXPECT_TRUE(reg_text::ParseHive("", hive));
    EXPECT_TRUE(reg_text::ParseHive(" \r\n\t\n", hive));
    EXPECT_TRUE(hive.empty());
    EXPECT_TRUE(reg_text::ParseHive(
        std::string("\xEF\xBB\xBF") + kHeader + "[HKEY_CURRENT_USER\\A]\n\"v\"=\"1\"\n", hive));
    EXPECT_NE(nullptr, Find(hive, {L"a"}, L"V"));
}

TEST(RegText, WritesKeysInWindowsOrderAndReadsItsOwnText) {
    reg_text::Hive hive;
    for (const wchar_t* name : {L"a_", L"B", L"aB", L"a", L"\U0001F600", L"\uFFFD"}) {
        reg_text::Value value;
        value.name = L"v";
        value.text = name;
        reg_text::SetValue(reg_text::CreateKey(hive, {L"Root", name}), value);
    }
    std::vector<std::wstring> order;
    for (const auto& [path, values] : hive) {
        if (path.size() == 2)
            order.push_back(path[1]);
    }
    // ASCII letters upper-cased, then UTF-16 code units: a surrogate pair sorts below U+FFFD.
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"aB", L"a_", L"B", L"\U0001F600", L"\uFFFD"}),
              order);

    std::wstring text = reg_text::FormatHive(hive);
    EXPECT_EQ(0u,
              text.find(L"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Root]\n"));
    std::string bytes;
    ASSERT_TRUE(utf8::Encode(text, bytes));
    reg_text::Hive again;
    ASSERT_TRUE(reg_text::ParseHive(bytes, again));
    EXPECT_EQ(text, reg_text::FormatHive(again));
}

TEST(RegText, SettingAValueKeepsTheCaseOfNamesAlreadyThere) {
    reg_text::Hive hive;
    reg_text::Value first;
    first.name = L"Version";
    first.text = L"1";
    reg_text::SetValue(reg_text::CreateKey(hive, {L"Software", L"Korvane"}), first);
    reg_text::Value second;
    second.name = L"VERSION";
    second.text = L"2";
    reg_text::SetValue(reg_text::CreateKey(hive, {L"SOFTWARE", L"korvane"}), second);
    ASSERT_EQ(2u, hive.size());
    EXPECT_EQ(L"Software", hive.begin()->first[0]);
    const auto& values = hive.rbegin()->second;
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ(L"Version", values[0].name);
    EXPECT_EQ(L"2", values[0].text);
}

TEST(RegText, HexDataWrapsWithinEightyColumns) {
    std::vector<uint8_t> bytes(100, 0xab);
    std::wstring prefix = reg_text::ValueName(L"data") + L"=";
    std::wstring text = prefix + reg_text::FormatHex(7, bytes, prefix.size());
    EXPECT_EQ(0u, text.find(L"\"data\"=hex(7):ab,ab,"));
    size_t start = 0;
    size_t lines = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        EXPECT_LE(end - start, 80u);
        ++lines;
        start = end + 1;
    }
    EXPECT_GT(lines, 3u);
    reg_text::Hive hive;
    std::string body = "[HKEY_CURRENT_USER\\A]\n" + std::string(text.begin(), text.end()) + "\n";
    ASSERT_TRUE(Parses(body, hive));
    EXPECT_EQ(bytes, Find(hive, {L"A"}, L"data")->bytes);
}

TEST(RegText, Utf16LeDataCarriesCharactersBeyondTheBasicPlane) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg_text::EncodeUtf16Le(L"x\U0001F600", bytes));
    EXPECT_EQ((std::vector<uint8_t>{'x', 0, 0x3D, 0xD8, 0x00, 0xDE}), bytes);
    std::wstring text;
    bytes.insert(bytes.end(), {0, 0, 'y', 0});
    ASSERT_TRUE(reg_text::DecodeUtf16Le(bytes, text));
    EXPECT_EQ(L"x\U0001F600", text);  // up to the first NUL
    EXPECT_FALSE(reg_text::DecodeUtf16Le({0x00, 0xDC}, text));
    EXPECT_FALSE(reg_text::EncodeUtf16Le(std::wstring(1, static_cast<wchar_t>(0xD800)), bytes));
}

}  // namespace
#endif  // _WIN32
