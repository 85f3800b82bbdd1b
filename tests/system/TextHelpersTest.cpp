// The shared text helpers: ASCII letter case, the backslash split and the diagnostic channel.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/AsciiText.h"
#include "system/Diagnostics.h"
#include "system/Format.h"
#include "system/RegistryBackup.h"

namespace {

TEST(AsciiText, OnlyAsciiLettersFold)
{
    EXPECT_TRUE(EqualsAsciiNoCase(std::string("HkEy_UsErS"), std::string("hkey_users")));
    EXPECT_TRUE(EqualsAsciiNoCase(std::wstring(L"NoReboot"), std::wstring(L"NOREBOOT")));
    EXPECT_FALSE(EqualsAsciiNoCase(std::string("HKLM"), std::string("HKLM ")));
    EXPECT_FALSE(EqualsAsciiNoCase(std::string("HKLM\0x", 6), std::string("HKLM")));
    EXPECT_TRUE(EqualsAsciiNoCase(std::string("a\0b", 3), std::string("A\0B", 3)));
    // Letters outside ASCII, and the characters next to the letter ranges,
    // are compared as they are.
    EXPECT_FALSE(EqualsAsciiNoCase(std::wstring(L"\u00e9"), std::wstring(L"\u00c9")));
    EXPECT_FALSE(EqualsAsciiNoCase(std::string("@[`{"), std::string("`{@[")));
    EXPECT_FALSE(EqualsAsciiNoCase(std::string("\xe9"), std::string("\xc9")));
    EXPECT_EQ("HALVORA \xe9-Z@", ToAsciiUpper("halVora \xe9-z@"));
}

std::vector<std::wstring> g_received;
void Collect(const std::wstring& line)
{
    g_received.push_back(line);
}

// Puts the program's own sink back when the test ends.
class CapturedDiagnostics : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_previous = GetDiagnosticSink();
        g_received.clear();
    }
    void TearDown() override { SetDiagnosticSink(m_previous); }
    DiagnosticSink m_previous = nullptr;
};

TEST_F(CapturedDiagnostics, LinesWaitForTheSinkAndForTheEndOfADeferral)
{
    SetDiagnosticSink(nullptr);
    WriteDiagnosticLine(L"%ws: first %d", L"Op", 1);
    SetDiagnosticSink(&Collect);
    ASSERT_EQ(1u, g_received.size());
    EXPECT_EQ(L"Op: first 1", g_received[0]);

    {
        DiagnosticDeferral outer;
        WriteDiagnosticLine(L"second");
        {
            DiagnosticDeferral inner;
            WriteDiagnosticLine(L"third %s", L"100%");
        }
        EXPECT_EQ(1u, g_received.size()) << "handed over before the outermost deferral ended";
    }
    ASSERT_EQ(3u, g_received.size());
    EXPECT_EQ(L"second", g_received[1]);
    EXPECT_EQ(L"third 100%", g_received[2]);

    WriteDiagnosticLine(L"fourth");
    ASSERT_EQ(4u, g_received.size());
    EXPECT_EQ(L"fourth", g_received[3]);
}

TEST(RegistryBackupTarget, TheLogsInstallTheRegistryBackup)
{
    // The test program links the logs, which install the backup file as
    // the target of the exports.
    RegistryBackupTarget* target = GetRegistryBackupTarget();
    ASSERT_NE(nullptr, target);
    EXPECT_NE(std::wstring::npos, target->GetBackupFilePath().find(L"RegBackup.reg"));
}

} // namespace

TEST(TextHelpers, BackslashSplitKeepsOnlyNonEmptyComponents)
{
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b c", L"d"}), SplitAtBackslashes(L"\\a\\\\b c\\d\\"));
    EXPECT_EQ((std::vector<std::wstring>{L"b", L"c"}), SplitAtBackslashes(L"a\\b\\c", 2));
    EXPECT_TRUE(SplitAtBackslashes(L"\\\\").empty());
    EXPECT_TRUE(SplitAtBackslashes(L"abc", 3).empty());
}
