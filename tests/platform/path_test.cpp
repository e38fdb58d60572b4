#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The Windows build asks the system; the Linux build must answer alike for every name.
TEST(SameFileName, LettersAreOneWithTheirCasePartnersOnly) {
    struct Case {
        const wchar_t* first;
        const wchar_t* second;
        bool same;
    };
    const Case cases[] = {
        {L"Setup.EXE", L"setup.exe", true},
        {L"setup_\u00c3\u0160.exe", L"SETUP_\u00e3\u0161.exe", true},  // Latin
        {L"\u00ff", L"\u0178", true},                                  // y with diaeresis
        {L"\u03c3\u044f", L"\u03a3\u042f", true},                      // Greek, Cyrillic
        {L"\u01c6", L"\u01c4", true},                                  // dz with caron
        {L"\u1f80", L"\u1f88", true},                                  // alpha, ypogegrammeni
        {L"a", L"b", false},
        {L"a", L"aa", false},
        {L"", L"", true},
        // Letters whose upper case is not their case partner.
        {L"\u00df", L"\u1e9e", false},  // sharp s
        {L"\u0131", L"I", false},       // dotless i
        {L"\u0130", L"i", false},       // dotted capital I
        {L"\u017f", L"S", false},       // long s
        {L"\u00b5", L"\u039c", false},  // micro sign
        {L"\u03c2", L"\u03a3", false},  // final sigma
        {L"\u01c5", L"\u01c4", false},  // title-case dz with caron
        // Outside the Basic Multilingual Plane nothing is folded.
        {L"\U00010428", L"\U00010400", false},
        {L"\U00010428", L"\U00010428", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::SameFileName(c.first, c.second), c.same)
            << testing::PrintToString(std::wstring(c.first) + L" / " + c.second);
        EXPECT_EQ(platform::SameFileName(c.second, c.first), c.same);
    }
}

}  // namespace
