#include <windows.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "support/TestSupport.h"

namespace {

// A text log in a temp folder of its own.
struct TextLogFixture : public ::testing::Test {
    // The process-wide text log receives what the log folder logic itself
    // reports (registry reads); create it elsewhere first, so that the logs
    // under test hold only their own lines.
    static void SetUpTestSuite() { GetDebugLog(); }

    ScopedTempDir temp{L"textlog"};
    ScopedTempFolderOverride redirect{temp.Path()};
    std::wstring Folder() const { return temp.Path() + L"halvora\\ZraCleanup\\"; }
    std::wstring LogPath() const { return Folder() + L"CleanupToolLog.txt"; }
    std::wstring BackupPath() const { return Folder() + L"CleanupToolLogBackup.txt"; }
};

const char* const StampPattern = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}";

} // namespace

TEST_F(TextLogFixture, StartHeaderAndTimeStampedLines)
{
    {
        CDebugLog log;
        EXPECT_EQ(LogPath(), log.GetFilePath());
        EXPECT_EQ(Folder(), log.GetFolder());
        log.WriteLine(L"%ws Entry", L"Op::Name");
        // Every line is on disk as soon as it is written.
        const std::string early = ReadFileBytes(LogPath());
        EXPECT_NE(std::string::npos, early.find("\tOp::Name Entry\r\n"));
        log.WriteLine(L"%ws: Error: code %ld", L"Op::Name", 1060L);
    }
    const std::string text = ReadFileBytes(LogPath());
    const std::regex expected(std::string("\r\n") + StampPattern + "\tVersion: (\\d+\\.\\d+\\.\\d+\\.\\d+)?\r\n" +
                              StampPattern + "\tOp::Name Entry\r\n" + StampPattern +
                              "\tOp::Name: Error: code 1060\r\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(TextLogFixture, EveryStartContinuesTheLogWithOneHeader)
{
    { CDebugLog first; first.WriteLine(L"first"); }
    { CDebugLog second; second.WriteLine(L"second"); }
    const std::string text = ReadFileBytes(LogPath());
    const std::regex header("\tVersion: ");
    EXPECT_EQ(2, std::distance(std::sregex_iterator(text.begin(), text.end(), header), std::sregex_iterator()));
    EXPECT_LT(text.find("\tfirst\r\n"), text.find("\tsecond\r\n"));
    EXPECT_FALSE(FileExists(BackupPath()));
}

TEST_F(TextLogFixture, CharactersBeyondOneByteAreReplacedAndLaterLinesSurvive)
{
    {
        CDebugLog log;
        log.WriteLine(L"user %ws", L"Ren\u00e9e \u4e2d\u6587 \U0001F600!");
        log.WriteLine(L"still logging");
        log.Write(L"100%% raw");
        log.WriteText(L" %d %ws stays as it is");
        log.WriteText(L"");
        EXPECT_FALSE(log.HasWriteFailed());
    }
    const std::string text = ReadFileBytes(LogPath());
    EXPECT_NE(std::string::npos, text.find("\tuser Ren\xe9" "e ?? ?!\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\tstill logging\r\n"));
    EXPECT_NE(std::string::npos, text.find("100% raw %d %ws stays as it is\r\n"));
    EXPECT_EQ('\n', text.back());
}

TEST_F(TextLogFixture, OverflowCopiesTheLogAtExactlyTenMebibytes)
{
    CreateDirectoryPath(Folder());
    const std::string full(10485760, 'a');
    WriteFileBytes(LogPath(), full);
    { CDebugLog log; log.WriteLine(L"after overflow"); }
    EXPECT_EQ(full, ReadFileBytes(BackupPath()));
    const std::string restarted = ReadFileBytes(LogPath());
    EXPECT_EQ(0u, restarted.find("\r\n"));
    EXPECT_NE(std::string::npos, restarted.find("\tafter overflow\r\n"));
    EXPECT_LT(restarted.size(), 200u);

    // A second overflow appends a second copy, never truncating the backup.
    WriteFileBytes(LogPath(), std::string(10485760, 'b'));
    { CDebugLog log; }
    const std::string backup = ReadFileBytes(BackupPath());
    ASSERT_EQ(2u * 10485760u, backup.size());
    EXPECT_EQ('a', backup.front());
    EXPECT_EQ('b', backup.back());
}

TEST_F(TextLogFixture, OneByteBelowTheLimitIsContinued)
{
    CreateDirectoryPath(Folder());
    const std::string almost(10485759, 'c');
    WriteFileBytes(LogPath(), almost);
    { CDebugLog log; }
    EXPECT_FALSE(FileExists(BackupPath()));
    const std::string text = ReadFileBytes(LogPath());
    EXPECT_GT(text.size(), almost.size());
    EXPECT_EQ(0, text.compare(0, almost.size(), almost));
}

TEST_F(TextLogFixture, ALogThatCannotBeOpenedDropsWritesQuietly)
{
    // A file where the log folder should be: nothing can be created there.
    CreateDirectoryPath(temp.Path() + L"halvora\\");
    WriteFileBytes(temp.Path() + L"halvora\\ZraCleanup", "in the way");
    CDebugLog log;
    EXPECT_FALSE(log.IsOpen());
    log.WriteLine(L"%ws lost", L"line");
    log.WriteText(L"also lost");
    EXPECT_EQ("in the way", ReadFileBytes(temp.Path() + L"halvora\\ZraCleanup"));
}

TEST(LogFolder, CreatesEveryFolderAlongThePath)
{
    ScopedTempDir temp(L"folders");
    const std::wstring nested = temp.Path() + L"one\\deux\u00e9\\\u4e09/four";
    EXPECT_EQ(0u, CreateDirectoryPath(nested));
    EXPECT_TRUE(DirectoryExists(nested));
    EXPECT_EQ(0u, CreateDirectoryPath(nested + L"\\"));  // existing: fine
    EXPECT_EQ(0u, CreateDirectoryPath(temp.Path()));
}

TEST(LogFolder, ReportsTheFirstFolderThatCannotBeCreated)
{
    ScopedTempDir temp(L"badfolders");
    WriteFileBytes(temp.Path() + L"file", "x");
    EXPECT_NE(0u, CreateDirectoryPath(temp.Path() + L"file\\below"));
    EXPECT_NE(0u, CreateDirectoryPath(temp.Path() + L"bad|name\\x"));
    EXPECT_NE(0u, CreateDirectoryPath(L"Q:\\no\\such\\drive"));
    EXPECT_FALSE(DirectoryExists(temp.Path() + L"bad|name"));
}

TEST(LogFolder, OverrideGetsItsOwnZraCleanupFolder)
{
    ScopedTempDir temp(L"override");
    ScopedTempFolderOverride redirect(temp.Path());
    EXPECT_EQ(temp.Path() + L"halvora\\ZraCleanup\\", GetLogFolder());

    const std::wstring target = temp.Path() + L"logs";
    SetLogFolderOverride(target);
    EXPECT_EQ(target + L"\\ZraCleanup\\", GetLogFolder());
    EXPECT_TRUE(DirectoryExists(target + L"\\ZraCleanup"));
    SetLogFolderOverride(target + L"\\");
    EXPECT_EQ(target + L"\\ZraCleanup\\", GetLogFolder());
    SetLogFolderOverride(L"");
    // The temp folder is chosen and created either way.
    EXPECT_TRUE(DirectoryExists(temp.Path() + L"halvora\\ZraCleanup"));
}
