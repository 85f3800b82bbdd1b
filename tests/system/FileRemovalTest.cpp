#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/FileRemoval.h"

namespace {

const DWORD JunctionTag = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
const DWORD SymlinkTag = 0xA000000C;   // IO_REPARSE_TAG_SYMLINK
const DWORD CloudTag = 0x9000001A;     // a placeholder folder: not a name surrogate

// An in-memory file system in the shape the tree removal sees: paths to
// entries, links carrying FILE_ATTRIBUTE_REPARSE_POINT and their tag. A link
// has no children of its own here; what it points at lives elsewhere in the
// map and must survive.
class FakeFileSystem : public FileSystemAccess {
public:
    void AddFolder(const std::wstring& path, DWORD extra = 0, DWORD tag = 0)
    {
        Add(path, FILE_ATTRIBUTE_DIRECTORY | extra, tag);
    }
    void AddFile(const std::wstring& path, DWORD extra = 0) { Add(path, FILE_ATTRIBUTE_ARCHIVE | extra, 0); }
    void AddLink(const std::wstring& path, DWORD tag, bool folder = true)
    {
        Add(path, FILE_ATTRIBUTE_REPARSE_POINT | (folder ? FILE_ATTRIBUTE_DIRECTORY : 0), tag);
    }
    bool Has(const std::wstring& path) const { return m_entries.count(path) != 0; }

    DWORD ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) override
    {
        listed.push_back(folder);
        entries.clear();
        auto found = m_entries.find(folder);
        if (found == m_entries.end())
            return ERROR_PATH_NOT_FOUND;
        if (found->second.IsLink())
            followedLinks.push_back(folder);
        for (const auto& item : m_entries) {
            const std::wstring& path = item.first;
            if (path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
                path[folder.size()] == L'\\' && path.find(L'\\', folder.size() + 1) == std::wstring::npos)
                entries.push_back(item.second);
        }
        return 0;
    }
    DWORD QueryEntry(const std::wstring& path, FolderEntry& entry) override
    {
        auto found = m_entries.find(path);
        if (found == m_entries.end())
            return ERROR_FILE_NOT_FOUND;
        entry = found->second;
        entry.name.clear();
        return 0;
    }
    DWORD RemoveEntry(const std::wstring& path, const FolderEntry& entry) override
    {
        removed.push_back(path);
        auto failing = failures.find(path);
        if (failing != failures.end())
            return failing->second;
        if (entry.IsDirectory() && !entry.IsLink()) {
            std::vector<FolderEntry> children;
            ListFolder(path, children);
            listed.pop_back();
            if (!children.empty())
                return ERROR_DIR_NOT_EMPTY;
        }
        m_entries.erase(path);
        return 0;
    }

    std::vector<std::wstring> listed;
    std::vector<std::wstring> removed;
    std::vector<std::wstring> followedLinks;
    std::map<std::wstring, DWORD> failures;

private:
    void Add(const std::wstring& path, DWORD attributes, DWORD tag)
    {
        FolderEntry entry;
        entry.name = path.substr(path.rfind(L'\\') + 1);
        entry.attributes = attributes;
        entry.reparseTag = tag;
        m_entries[path] = entry;
    }
    std::map<std::wstring, FolderEntry> m_entries;
};

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item)
{
    for (const std::wstring& entry : list) {
        if (entry == item)
            return true;
    }
    return false;
}

TEST(FileRemovalLinks, LinksInsideATreeAreRemovedAsLinksAndNeverEntered)
{
    FakeFileSystem fs;
    // The tree to delete, with a junction and a directory symlink pointing
    // at a folder outside it, a file symlink, and a cloud placeholder folder
    // (a reparse point that is a real folder, so it is entered).
    fs.AddFolder(L"C:\\Agent");
    fs.AddFile(L"C:\\Agent\\a.dll");
    fs.AddFolder(L"C:\\Agent\\Sub");
    fs.AddFile(L"C:\\Agent\\Sub\\b.dat", FILE_ATTRIBUTE_READONLY);
    fs.AddLink(L"C:\\Agent\\Junction", JunctionTag);
    fs.AddLink(L"C:\\Agent\\Sub\\DirLink", SymlinkTag);
    fs.AddLink(L"C:\\Agent\\FileLink", SymlinkTag, false);
    fs.AddLink(L"C:\\Agent\\Unknown", 0);
    fs.AddFolder(L"C:\\Agent\\Cloud", FILE_ATTRIBUTE_REPARSE_POINT, CloudTag);
    fs.AddFile(L"C:\\Agent\\Cloud\\c.txt");
    // The link targets.
    fs.AddFolder(L"C:\\Windows");
    fs.AddFile(L"C:\\Windows\\important.sys");

    EXPECT_TRUE(TreeContainsLink(L"C:\\Agent", fs));
    EXPECT_EQ(0u, RemoveTree(L"C:\\Agent", fs, L"C:\\Agent"));

    EXPECT_FALSE(fs.Has(L"C:\\Agent"));
    EXPECT_TRUE(fs.followedLinks.empty());
    for (const wchar_t* link :
         {L"C:\\Agent\\Junction", L"C:\\Agent\\Sub\\DirLink", L"C:\\Agent\\FileLink", L"C:\\Agent\\Unknown"}) {
        EXPECT_TRUE(Contains(fs.removed, link)) << link;
        EXPECT_FALSE(Contains(fs.listed, link)) << link;
    }
    EXPECT_TRUE(Contains(fs.listed, L"C:\\Agent\\Cloud"));
    EXPECT_TRUE(fs.Has(L"C:\\Windows\\important.sys"));
    EXPECT_TRUE(fs.Has(L"C:\\Windows"));
}

TEST(FileRemovalLinks, ALinkNamedDirectlyIsRemovedAloneAndATreeWithoutLinksSaysSo)
{
    FakeFileSystem fs;
    fs.AddLink(L"C:\\Data\\Logs", JunctionTag);
    fs.AddFolder(L"C:\\Data\\Plain");
    fs.AddFolder(L"C:\\Data\\Plain\\Inner");
    fs.AddFile(L"C:\\Data\\Plain\\Inner\\x");
    EXPECT_EQ(0u, RemoveTree(L"C:\\Data\\Logs", fs, L""));
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\Data\\Logs"}, fs.removed);
    EXPECT_TRUE(fs.listed.empty());
    EXPECT_FALSE(TreeContainsLink(L"C:\\Data\\Plain", fs));
}

TEST(FileRemovalLinks, APathBelowALinkIsNotFollowed)
{
    FakeFileSystem fs;
    fs.AddFolder(L"C:\\ProgramData");
    fs.AddFolder(L"C:\\ProgramData\\Halvora");
    fs.AddLink(L"C:\\ProgramData\\Halvora\\NrvAgent", JunctionTag);
    fs.AddLink(L"C:\\ProgramData\\Halvora\\Sym", SymlinkTag);
    fs.AddFolder(L"C:\\ProgramData\\Halvora\\Real");
    const std::vector<ProtectedFolder> none;
    EXPECT_EQ(DeletionCheck::ThroughLink,
              CheckDeletionTarget(L"C:\\ProgramData\\Halvora\\NrvAgent\\LocallyPersistedData", none, fs));
    EXPECT_EQ(DeletionCheck::ThroughLink, CheckDeletionTarget(L"C:\\ProgramData\\Halvora\\Sym\\a\\b", none, fs));
    // The link itself may go (as a link); real folders below real folders too.
    EXPECT_EQ(DeletionCheck::Allowed, CheckDeletionTarget(L"C:\\ProgramData\\Halvora\\NrvAgent", none, fs));
    EXPECT_EQ(DeletionCheck::Allowed, CheckDeletionTarget(L"C:\\ProgramData\\Halvora\\Real\\x", none, fs));
}

TEST(FileRemovalTree, AFailingEntryLeavesItsFoldersAndTheRestIsStillRemoved)
{
    FakeFileSystem fs;
    fs.AddFolder(L"C:\\T");
    fs.AddFolder(L"C:\\T\\A");
    fs.AddFile(L"C:\\T\\A\\locked.dll");
    fs.AddFile(L"C:\\T\\A\\free.dll");
    fs.AddFolder(L"C:\\T\\B");
    fs.AddFile(L"C:\\T\\B\\other.dll");
    fs.AddFile(L"C:\\T\\z.txt");
    fs.failures[L"C:\\T\\A\\locked.dll"] = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), RemoveTree(L"C:\\T", fs, L"C:\\T"));
    EXPECT_TRUE(fs.Has(L"C:\\T\\A\\locked.dll"));
    EXPECT_TRUE(fs.Has(L"C:\\T\\A"));
    EXPECT_TRUE(fs.Has(L"C:\\T"));
    EXPECT_FALSE(fs.Has(L"C:\\T\\A\\free.dll"));
    EXPECT_FALSE(fs.Has(L"C:\\T\\B"));
    EXPECT_FALSE(fs.Has(L"C:\\T\\z.txt"));
}

TEST(FileRemovalTree, VeryDeepTreesNeedNoRecursion)
{
    FakeFileSystem fs;
    std::wstring path = L"C:\\D";
    fs.AddFolder(path);
    for (int i = 0; i < 3000; ++i) {
        path += L"\\d";
        fs.AddFolder(path);
    }
    fs.AddFile(path + L"\\leaf");
    EXPECT_EQ(0u, RemoveTree(L"C:\\D", fs, L""));
    EXPECT_FALSE(fs.Has(L"C:\\D"));
}

TEST(FileRemovalGuard, NormalizedPaths)
{
    EXPECT_EQ(L"", NormalizeDeletionPath(L""));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"relative\\path"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"\\rooted\\path"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:drive-relative"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:\\a\\..\\b"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:\\a\\.\\b"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:/a/../b"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:\\a\\.."));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:\\a\\*"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"C:\\a\\file.txt:stream"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"\\\\.\\C:\\a"));
    EXPECT_EQ(L"", NormalizeDeletionPath(L"\\\\?\\Volume{01234567-0000-0000-0000-000000000000}\\a"));
    EXPECT_EQ(L"C:\\a\\b", NormalizeDeletionPath(L"C:/a/b/"));
    EXPECT_EQ(L"C:\\a\\b", NormalizeDeletionPath(L"\\\\?\\C:\\a\\b"));
    EXPECT_EQ(L"C:\\", NormalizeDeletionPath(L"C:\\"));
    EXPECT_EQ(L"\\\\server\\share\\x", NormalizeDeletionPath(L"\\\\?\\UNC\\server\\share\\x"));
}

TEST(FileRemovalGuard, ProtectedLocationsRootsAncestorsAndDepths)
{
    const std::vector<ProtectedFolder> folders = {
        {L"C:\\Windows", 1},
        {L"C:\\Program Files", 0},
        {L"C:\\Users", 3},
    };
    for (const wchar_t* path : {L"C:\\", L"D:\\", L"\\\\server\\share", L"C:\\WINDOWS", L"c:\\windows\\system32",
                                L"C:\\Windows\\Temp", L"C:\\Program Files", L"C:\\Users", L"C:\\Users\\admin",
                                L"C:\\Users\\admin\\AppData", L"C:\\Users\\admin\\AppData\\Local"})
        EXPECT_TRUE(IsProtectedLocation(path, folders)) << path;
    for (const wchar_t* path : {L"C:\\Windows\\Temp\\Halvora", L"C:\\Windows\\System32\\drivers\\x.sys",
                                L"C:\\Program Files\\Halvora", L"C:\\Users\\admin\\AppData\\Local\\Halvora",
                                L"C:\\HvrTemp", L"C:\\Program Files Extra", L"\\\\server\\share\\folder"})
        EXPECT_FALSE(IsProtectedLocation(path, folders)) << path;
    // A file right inside a protected folder is not itself protected.
    EXPECT_FALSE(IsProtectedLocation(L"C:\\Windows\\kpawdapi.dll", folders, false));
    EXPECT_TRUE(IsProtectedLocation(L"C:\\Windows\\kpawdapi.dll", folders, true));
}

// -- the real file system ---------------------------------------------------

void MakeFile(const std::wstring& path, DWORD attributes = 0)
{
    WriteFileBytes(path, "content");
    if (attributes != 0)
        SetFileAttributesW(path.c_str(), attributes);
}

bool ExistsLong(const std::wstring& path)
{
    return GetFileAttributesW((L"\\\\?\\" + path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(DeleteFileOrDirectory, MissingPathLeavesTheResultAlone)
{
    ScopedTempDir temp;
    bool existed = true;
    HRESULT result = 0x12345678;
    EXPECT_FALSE(DeleteFileOrDirectory(temp.Path() + L"missing", existed, result));
    EXPECT_FALSE(existed);
    EXPECT_EQ(0x12345678, result);
}

TEST(DeleteFileOrDirectory, FilesAndTreesOfEveryKindAreDeletedAndNothingElse)
{
    ScopedTempDir temp;
    const std::wstring root = temp.Path() + L"Agent";
    CreateDirectoryW(root.c_str(), nullptr);
    MakeFile(root + L"\\plain.dll");
    MakeFile(root + L"\\readonly.dll", FILE_ATTRIBUTE_READONLY);
    MakeFile(root + L"\\hidden.dat", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    std::wstring deep = root;
    for (int i = 0; i < 30; ++i) {
        deep += L"\\level" + std::to_wstring(i);
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    MakeFile(deep + L"\\deep.txt", FILE_ATTRIBUTE_READONLY);
    const std::wstring nonAscii = root + L"\\Zorander \u00e9t\u00e9 \u65e5\u672c";
    CreateDirectoryW(nonAscii.c_str(), nullptr);
    MakeFile(nonAscii + L"\\\u0444\u0430\u0439\u043b.txt");
    const std::wstring readOnlyFolder = root + L"\\ro";
    CreateDirectoryW(readOnlyFolder.c_str(), nullptr);
    MakeFile(readOnlyFolder + L"\\x");
    SetFileAttributesW(readOnlyFolder.c_str(), FILE_ATTRIBUTE_READONLY);
    // A path beyond MAX_PATH, made through the "\\?\" form.
    std::wstring longPath = root;
    while (longPath.size() < 300) {
        longPath += L"\\a-rather-long-folder-name-for-testing";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longPath).c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
    }
    const std::wstring longFile = longPath + L"\\long.txt";
    HANDLE file = CreateFileW((L"\\\\?\\" + longFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    ASSERT_TRUE(ExistsLong(longFile));
    // Neighbours that must stay.
    MakeFile(temp.Path() + L"Agent.keep");
    CreateDirectoryW((temp.Path() + L"Agent2").c_str(), nullptr);
    MakeFile(temp.Path() + L"Agent2\\keep.dll");

    bool existed = false;
    HRESULT result = E_FAIL;
    EXPECT_TRUE(DeleteFileOrDirectory(root, existed, result));
    EXPECT_TRUE(existed);
    EXPECT_EQ(S_OK, result);
    EXPECT_FALSE(ExistsLong(root));
    EXPECT_TRUE(FileExists(temp.Path() + L"Agent.keep"));
    EXPECT_TRUE(FileExists(temp.Path() + L"Agent2\\keep.dll"));

    // A single read-only file, and a file whose own path is beyond MAX_PATH.
    MakeFile(temp.Path() + L"single.sys", FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFileOrDirectory(temp.Path() + L"single.sys", existed, result));
    EXPECT_TRUE(existed);
    EXPECT_FALSE(FileExists(temp.Path() + L"single.sys"));
}

TEST(DeleteFileOrDirectory, AFileInUseFailsWithItsCodeAndTheRestGoes)
{
    ScopedTempDir temp;
    const std::wstring root = temp.Path() + L"Busy";
    CreateDirectoryW(root.c_str(), nullptr);
    MakeFile(root + L"\\a.dll");
    MakeFile(root + L"\\in-use.dll");
    CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
    MakeFile(root + L"\\sub\\z.dll");
    HANDLE held = CreateFileW((root + L"\\in-use.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    bool existed = false;
    HRESULT result = S_OK;
    EXPECT_FALSE(DeleteFileOrDirectory(root, existed, result));
    EXPECT_TRUE(existed);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), result);
    EXPECT_TRUE(FileExists(root + L"\\in-use.dll"));
    EXPECT_FALSE(FileExists(root + L"\\a.dll"));
    EXPECT_FALSE(DirectoryExists(root + L"\\sub"));
    CloseHandle(held);
    EXPECT_TRUE(DeleteFileOrDirectory(root, existed, result));
    EXPECT_FALSE(DirectoryExists(root));
}

TEST(DeleteFileOrDirectory, ProtectedAndMalformedPathsAreRefused)
{
    const std::vector<ProtectedFolder> folders = GetProtectedFolders();
    ASSERT_FALSE(folders.empty());
    wchar_t windows[MAX_PATH];
    ASSERT_NE(0u, GetWindowsDirectoryW(windows, MAX_PATH));
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    wchar_t shortWindows[MAX_PATH] = L"";
    GetShortPathNameW(windows, shortWindows, MAX_PATH);
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));

    std::vector<std::wstring> refused = {windows, system, std::wstring(windows) + L"\\Fonts",
                                         std::wstring(windows).substr(0, 3), std::wstring(windows) + L"\\.",
                                         std::wstring(windows) + L"\\Fonts\\..", temp};
    if (shortWindows[0] != L'\0')
        refused.push_back(shortWindows);
    for (const std::wstring& path : refused) {
        bool existed = false;
        HRESULT result = S_OK;
        EXPECT_FALSE(DeleteFileOrDirectory(path, existed, result)) << path.c_str();
        EXPECT_TRUE(existed) << path.c_str();
        EXPECT_TRUE(result == E_ACCESSDENIED || result == HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)) << path.c_str();
    }
    EXPECT_TRUE(DirectoryExists(std::wstring(windows) + L"\\Fonts"));

    // "." and ".." inside an otherwise harmless path are refused too.
    ScopedTempDir scratch;
    CreateDirectoryW((scratch.Path() + L"a").c_str(), nullptr);
    MakeFile(scratch.Path() + L"b.txt");
    bool existed = false;
    HRESULT result = S_OK;
    EXPECT_FALSE(DeleteFileOrDirectory(scratch.Path() + L"a\\..\\b.txt", existed, result));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), result);
    EXPECT_TRUE(FileExists(scratch.Path() + L"b.txt"));
}

}  // namespace
