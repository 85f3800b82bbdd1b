#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "system/Format.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"

TEST(Format, WideFormatsFollowTheRuntimeRules)
{
    // "%ws" and wide "%s" take wide strings, "%S" a narrow one.
    EXPECT_EQ(L"a wide b narrow 42", FormatWide(L"a %ws b %S %d", L"wide", "narrow", 42));
    EXPECT_EQ(L"x=wide", FormatWide(L"x=%s", L"wide"));
    EXPECT_EQ(L"", FormatWide(L""));
    EXPECT_EQ(L"", FormatWide(nullptr));
    const std::wstring longText(100000, L'z');
    EXPECT_EQ(longText + L"!", FormatWide(L"%ws!", longText.c_str()));
}

TEST(Format, NarrowFormatsAndDecimals)
{
    EXPECT_EQ("1.2.3.4", FormatNarrow("%d.%d.%d.%d", 1, 2, 3, 4));
    EXPECT_EQ("0x80040201", FormatNarrow("0x%0lX", 0x80040201UL));
    EXPECT_EQ(L"-17", ToWideDecimal(-17));
    EXPECT_EQ(L"2147483647", ToWideDecimal(2147483647));
}

TEST(Format, LeadingIntegerRule)
{
    EXPECT_EQ(12, ParseLeadingInt(L"12abc", true));
    EXPECT_EQ(-5, ParseLeadingInt(L"-5", true));
    EXPECT_EQ(0, ParseLeadingInt(L"-5", false));
    EXPECT_EQ(0, ParseLeadingInt(L"abc", true));
    EXPECT_EQ(0, ParseLeadingInt(L"", true));
    EXPECT_EQ(0, ParseLeadingInt(L" 7", true));  // no blanks skipped
    EXPECT_EQ(2147483647, ParseLeadingInt(L"99999999999999999999", true));
    EXPECT_EQ(-2147483647 - 1, ParseLeadingInt(L"-99999999999999999999", true));
}

TEST(Format, LeadingIntegerAtTheEdgesOfTheRange)
{
    struct Case {
        const wchar_t* text;
        bool hasDigits, fits;
        int value;
    };
    const Case cases[] = {
        {L"2147483647", true, true, 2147483647},        {L"2147483648", true, false, 2147483647},
        {L"-2147483648", true, true, -2147483647 - 1},  {L"-2147483649", true, false, -2147483647 - 1},
        {L"\t\r\n -3x", true, true, -3},                {L"-", false, true, 0},
        {L"+ 1", false, true, 0},                       {L"00000000000000000000012", true, true, 12},
    };
    for (const Case& c : cases) {
        const LeadingInt number = ReadLeadingInt(c.text, true, true);
        EXPECT_EQ(c.hasDigits, number.hasDigits) << c.text;
        EXPECT_EQ(c.fits, number.fits) << c.text;
        EXPECT_EQ(c.value, number.value) << c.text;
    }
    // Without blanks or sign allowed, both stop reading at once.
    EXPECT_FALSE(ReadLeadingInt(L" 5", false, true).hasDigits);
    EXPECT_FALSE(ReadLeadingInt(L"-5", true, false).hasDigits);
}

TEST(TextConvert, RoundTripsAndReplacesBrokenInput)
{
    const std::wstring text = L"J\u00e9r\u00f4me \u4e2d\U0001F600";
    EXPECT_EQ(text, Utf8ToWide(WideToUtf8(text)));
    EXPECT_EQ("J\xc3\xa9r\xc3\xb4me", WideToUtf8(L"J\u00e9r\u00f4me"));
    EXPECT_EQ(L"", Utf8ToWide(""));
    EXPECT_EQ(L"a\uFFFDb", Utf8ToWide("a\xff" "b"));
}

TEST(ProgramInfo, TimeStampLayout)
{
    const std::string stamp = GetTimeStamp();
    ASSERT_EQ(23u, stamp.size()) << stamp;  // yyyy-mm-dd hh:mm:ss:mmm
    EXPECT_EQ('-', stamp[4]);
    EXPECT_EQ('-', stamp[7]);
    EXPECT_EQ(' ', stamp[10]);
    EXPECT_EQ(':', stamp[13]);
    EXPECT_EQ(':', stamp[16]);
    EXPECT_EQ(':', stamp[19]);
}

TEST(ProgramInfo, ProgramFolderAndVersions)
{
    const std::wstring folder = GetProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(L'\\', folder.back());
    EXPECT_EQ(0u, GetProgramPath().find(folder));
    EXPECT_EQ("", GetOwnFileVersion(L""));
    EXPECT_EQ("", GetOwnFileVersion(L"C:\\does\\not\\exist.exe"));
    // A Windows system file carries a version resource.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::string version = GetOwnFileVersion(std::wstring(system) + L"\\kernel32.dll");
    EXPECT_EQ(3, std::count(version.begin(), version.end(), '.')) << version;
}
