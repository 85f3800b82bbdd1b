#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "steps/FilePathRules.h"
#include "system/FileRemoval.h"

namespace {

struct RuleCase {
    const wchar_t* path;
    bool wow64Redir;
    const wchar_t* underWow64;   // the result for a 32-bit process on 64-bit Windows
};

TEST(Wow64FolderRules, EveryFlagAndAnswerIncludingLetterCase)
{
    const RuleCase cases[] = {
        {L"%programfiles%\\Halvora\\Zorander", false, L"%ProgramW6432%\\Halvora\\Zorander"},
        {L"%programfiles%\\Halvora\\Zorander", true, L"%programfiles(x86)%\\Halvora\\Zorander"},
        // Only the exact spelling of %programfiles% is rewritten.
        {L"%ProgramFiles%\\Halvora", false, L"%ProgramFiles%\\Halvora"},
        {L"%PROGRAMFILES%\\Halvora", true, L"%PROGRAMFILES%\\Halvora"},
        // System32 in any letter case reaches the 64-bit folder, without the flag only.
        {L"%systemroot%\\System32\\drivers\\zgfx.sys", false, L"%systemroot%\\Sysnative\\drivers\\zgfx.sys"},
        {L"%systemroot%\\system32\\kpawdapi.dll", false, L"%systemroot%\\Sysnative\\kpawdapi.dll"},
        {L"%SystemRoot%\\SYSTEM32\\x.dll", false, L"%systemroot%\\Sysnative\\x.dll"},
        {L"%SYSTEMROOT%\\sYsTeM32", false, L"%systemroot%\\Sysnative"},
        {L"%systemroot%\\System32\\x.dll", true, L"%systemroot%\\System32\\x.dll"},
        {L"%systemroot%\\SysWOW64\\QUILLHOOK.dll", false, L"%systemroot%\\SysWOW64\\QUILLHOOK.dll"},
        {L"%windir%\\System32\\x.dll", false, L"%windir%\\System32\\x.dll"},
        // Only the first occurrence of each.
        {L"%programfiles%\\a\\%programfiles%", false, L"%ProgramW6432%\\a\\%programfiles%"},
        {L"%programfiles%\\a\\%programfiles%", true, L"%programfiles(x86)%\\a\\%programfiles%"},
        {L"%systemroot%\\System32\\%SYSTEMROOT%\\System32", false,
         L"%systemroot%\\Sysnative\\%SYSTEMROOT%\\System32"},
        // Both rules in one path, without the flag.
        {L"%programfiles%\\x;%systemroot%\\System32", false, L"%ProgramW6432%\\x;%systemroot%\\Sysnative"},
        {L"C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll", false,
         L"C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll"},
        {L"", false, L""},
    };
    for (const RuleCase& rule : cases) {
        EXPECT_EQ(std::wstring(rule.underWow64), ApplyWow64FolderRules(rule.path, rule.wow64Redir, true))
            << rule.path << " flag " << rule.wow64Redir;
        // On 32-bit and 64-bit Windows alike, a process that is not under
        // WOW64 sees the path unchanged.
        EXPECT_EQ(std::wstring(rule.path), ApplyWow64FolderRules(rule.path, rule.wow64Redir, false))
            << rule.path << " flag " << rule.wow64Redir;
    }
}

TEST(FolderWildcard, SplitIntoFolderNameAndTail)
{
    FolderWildcard w;
    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Users\\*\\AppData\\Local\\Halvora\\Zorander", w));
    EXPECT_EQ(L"C:\\Users\\", w.folder);
    EXPECT_EQ(L"*", w.namePattern);
    EXPECT_EQ(L"\\AppData\\Local\\Halvora\\Zorander", w.tail);
    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Users\\ad*n\\x\\*\\y", w));
    EXPECT_EQ(L"C:\\Users\\", w.folder);
    EXPECT_EQ(L"ad*n", w.namePattern);
    EXPECT_EQ(L"\\x\\*\\y", w.tail);
    // The "*" in the last component, or without a folder before it: a plain path.
    EXPECT_FALSE(SplitFolderWildcard(L"C:\\Users\\*", w));
    EXPECT_FALSE(SplitFolderWildcard(L"*\\x", w));
    EXPECT_FALSE(SplitFolderWildcard(L"C:\\Users\\admin", w));
}

TEST(FolderWildcard, NamePatterns)
{
    EXPECT_TRUE(MatchesNamePattern(L"admin", L"*"));
    EXPECT_TRUE(MatchesNamePattern(L"Admin", L"ad*N"));
    EXPECT_TRUE(MatchesNamePattern(L"a", L"a*"));
    EXPECT_TRUE(MatchesNamePattern(L"abcabd", L"*abd"));
    EXPECT_TRUE(MatchesNamePattern(L"x1y", L"x?y"));
    EXPECT_FALSE(MatchesNamePattern(L"adminX", L"ad*n"));
    EXPECT_FALSE(MatchesNamePattern(L"xy", L"x?y"));
    EXPECT_FALSE(MatchesNamePattern(L"other", L"ad*"));
}

// A folder listing handed in as it is.
class ListingOnly : public FileSystemAccess {
public:
    std::map<std::wstring, std::vector<FolderEntry>> folders;
    DWORD ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) override
    {
        auto found = folders.find(folder);
        if (found == folders.end())
            return ERROR_PATH_NOT_FOUND;
        entries = found->second;
        return 0;
    }
    DWORD QueryEntry(const std::wstring&, FolderEntry&) override { return ERROR_FILE_NOT_FOUND; }
    DWORD RemoveEntry(const std::wstring&, const FolderEntry&) override
    {
        ADD_FAILURE() << "a wildcard expansion removes nothing";
        return ERROR_ACCESS_DENIED;
    }
};

FolderEntry Entry(const wchar_t* name, DWORD attributes, DWORD tag = 0)
{
    FolderEntry entry;
    entry.name = name;
    entry.attributes = attributes;
    entry.reparseTag = tag;
    return entry;
}

TEST(FolderWildcard, UserFoldersExpandWithoutDotsFilesOrLinks)
{
    ListingOnly fs;
    fs.folders[L"C:\\Users"] = {
        Entry(L".", FILE_ATTRIBUTE_DIRECTORY),
        Entry(L"..", FILE_ATTRIBUTE_DIRECTORY),
        Entry(L"admin", FILE_ATTRIBUTE_DIRECTORY),
        Entry(L"Public", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY),
        Entry(L"desktop.ini", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
        Entry(L"Default User", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0xA0000003),
        Entry(L"All Users", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0xA000000C),
    };
    FolderWildcard w;
    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Users\\*\\AppData\\Local\\Halvora", w));
    const std::vector<WildcardMatch> matches = ExpandFolderWildcard(w, fs, L"test");
    ASSERT_EQ(2u, matches.size());
    EXPECT_EQ(L"C:\\Users\\admin\\AppData\\Local\\Halvora", matches[0].path);
    EXPECT_EQ(L"C:\\Users\\Public\\AppData\\Local\\Halvora", matches[1].path);
    for (const WildcardMatch& match : matches)
        EXPECT_EQ(L"C:\\Users\\*****\\AppData\\Local\\Halvora", match.shownPath);

    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Users\\Pub*\\x", w));
    ASSERT_EQ(1u, ExpandFolderWildcard(w, fs, L"test").size());
    // A folder that cannot be listed, or a malformed one, gives nothing.
    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Nowhere\\*\\x", w));
    EXPECT_TRUE(ExpandFolderWildcard(w, fs, L"test").empty());
    ASSERT_TRUE(SplitFolderWildcard(L"C:\\Users\\..\\*\\x", w));
    EXPECT_TRUE(ExpandFolderWildcard(w, fs, L"test").empty());
}

}  // namespace
