#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "logs/UninstallXmlLog.h"
#include "config/RunOptions.h"
#include "steps/FileStep.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"

namespace {

struct Item {
    std::string text;
    std::string status;
    std::string errorId;
};

// The items of one result-log section, in document order.
std::vector<Item> Items(const char* section, const char* element)
{
    UninstallXmlLog::GetInstance().Save();
    std::vector<Item> items;
    tinyxml2::XMLDocument doc;
    if (!LoadXmlFile(Utf8ToWide(UninstallXmlLog::GetInstance().GetFilePath()), doc))
        return items;
    const tinyxml2::XMLElement* root = doc.FirstChildElement("Uninstall");
    const tinyxml2::XMLElement* list = root != nullptr ? root->FirstChildElement(section) : nullptr;
    for (const tinyxml2::XMLElement* e = list != nullptr ? list->FirstChildElement(element) : nullptr; e != nullptr;
         e = e->NextSiblingElement(element)) {
        Item item;
        item.text = e->GetText() != nullptr ? e->GetText() : "";
        item.status = e->Attribute("Status") != nullptr ? e->Attribute("Status") : "";
        item.errorId = e->Attribute("ErrorID") != nullptr ? e->Attribute("ErrorID") : "";
        items.push_back(item);
    }
    return items;
}

// The items added since a count was taken.
std::vector<Item> ItemsSince(size_t count, const char* section, const char* element)
{
    std::vector<Item> items = Items(section, element);
    return std::vector<Item>(items.begin() + static_cast<long>(count < items.size() ? count : items.size()),
                             items.end());
}

std::string TextLog()
{
    return ReadFileBytes(GetDebugLog().GetFilePath());
}

void MakeFile(const std::wstring& path, DWORD attributes = 0)
{
    WriteFileBytes(path, "agent data");
    if (attributes != 0)
        SetFileAttributesW(path.c_str(), attributes);
}

void MakeFolders(const std::wstring& path)
{
    CreateDirectoryPath(path + L"\\");
}

std::wstring WithoutSlash(const std::wstring& path)
{
    return path.substr(0, path.size() - 1);
}

FileEntry Entry(const std::string& path, bool redirect = false)
{
    FileEntry entry;
    entry.path = path;
    entry.wow64Redir = redirect;
    return entry;
}

TEST(FileStep, PlainFilesAndTreesAreDeletedAndRecordedInListOrder)
{
    ScopedTempDir temp;
    const std::wstring root = WithoutSlash(temp.Path());
    ScopedVariable variable(L"ZRA_FS_ROOT", root);
    MakeFolders(root + L"\\Program Files\\Halvora\\Zorander\\Broker\\deep\\er");
    MakeFile(root + L"\\Program Files\\Halvora\\Zorander\\Broker\\NrvBrokerAgent.exe", FILE_ATTRIBUTE_READONLY);
    MakeFile(root + L"\\Program Files\\Halvora\\Zorander\\Broker\\deep\\er\\x.dat", FILE_ATTRIBUTE_HIDDEN);
    MakeFile(root + L"\\Program Files\\Halvora\\Zorander\\keep.txt");
    MakeFolders(root + L"\\drivers");
    MakeFile(root + L"\\drivers\\zgfx.sys", FILE_ATTRIBUTE_SYSTEM);
    MakeFile(root + L"\\drivers\\other.sys");
    MakeFolders(root + L"\\d\u00e9p\u00f4t");
    MakeFile(root + L"\\d\u00e9p\u00f4t\\\u65e5\u672c.dll");

    const size_t before = Items("Files", "File").size();
    FileStep step(6, "Deleting ZRA files...",
                  {Entry("%ZRA_FS_ROOT%\\Program Files\\Halvora\\Zorander\\Broker"),
                   Entry("%ZRA_FS_ROOT%\\drivers\\zgfx.sys"), Entry("%ZRA_FS_ROOT%\\missing\\thing.dll"),
                   Entry("%ZRA_FS_ROOT%\\d\xc3\xa9p\xc3\xb4t", true), Entry("%ZRA_FS_ROOT%\\Users\\*")});
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusContinue, step.GetStatus());

    EXPECT_FALSE(DirectoryExists(root + L"\\Program Files\\Halvora\\Zorander\\Broker"));
    EXPECT_FALSE(FileExists(root + L"\\drivers\\zgfx.sys"));
    EXPECT_FALSE(DirectoryExists(root + L"\\d\u00e9p\u00f4t"));
    EXPECT_TRUE(FileExists(root + L"\\Program Files\\Halvora\\Zorander\\keep.txt"));
    EXPECT_TRUE(FileExists(root + L"\\drivers\\other.sys"));

    const std::string narrowRoot = WideToUtf8(root);
    const std::vector<Item> items = ItemsSince(before, "Files", "File");
    ASSERT_EQ(3u, items.size());
    EXPECT_EQ(narrowRoot + "\\Program Files\\Halvora\\Zorander\\Broker", items[0].text);
    EXPECT_EQ(narrowRoot + "\\drivers\\zgfx.sys", items[1].text);
    EXPECT_EQ(narrowRoot + "\\d\xc3\xa9p\xc3\xb4t", items[2].text);
    for (const Item& item : items)
        EXPECT_EQ("Succeeded", item.status) << item.text;
}

TEST(FileStep, UserFolderWildcardDeletesEachTailAndMasksTheName)
{
    ScopedTempDir temp;
    const std::wstring root = WithoutSlash(temp.Path());
    ScopedVariable variable(L"ZRA_FS_ROOT", root);
    const std::wstring tail = L"\\AppData\\Local\\Halvora\\Zorander";
    MakeFolders(root + L"\\Users\\alice" + tail + L"\\cache");
    MakeFile(root + L"\\Users\\alice" + tail + L"\\cache\\a.bin");
    MakeFolders(root + L"\\Users\\bob\\AppData\\Local\\Other");
    MakeFile(root + L"\\Users\\bob\\AppData\\Local\\Other\\keep.bin");
    MakeFolders(root + L"\\Users\\carol" + tail);
    MakeFile(root + L"\\Users\\carol" + tail + L"\\settings.ini", FILE_ATTRIBUTE_READONLY);
    MakeFile(root + L"\\Users\\desktop.ini");
    // What "." and ".." joined with the tail would name.
    MakeFolders(root + L"\\Users" + tail);
    MakeFile(root + L"\\Users" + tail + L"\\dot.keep");
    MakeFolders(root + tail);
    MakeFile(root + tail + L"\\dotdot.keep");

    const size_t before = Items("Files", "File").size();
    const size_t logStart = TextLog().size();
    FileStep step(6, "Deleting ZRA files...",
                  {Entry("%ZRA_FS_ROOT%\\Users\\*\\AppData\\Local\\Halvora\\Zorander"),
                   Entry("%ZRA_FS_ROOT%\\Users\\*\\AppData\\Roaming\\Halvora\\Zorander")});
    step.RemoveFiles();

    EXPECT_FALSE(DirectoryExists(root + L"\\Users\\alice" + tail));
    EXPECT_FALSE(DirectoryExists(root + L"\\Users\\carol" + tail));
    EXPECT_TRUE(DirectoryExists(root + L"\\Users\\alice\\AppData\\Local\\Halvora"));
    EXPECT_TRUE(FileExists(root + L"\\Users\\bob\\AppData\\Local\\Other\\keep.bin"));
    EXPECT_TRUE(FileExists(root + L"\\Users" + tail + L"\\dot.keep"));
    EXPECT_TRUE(FileExists(root + tail + L"\\dotdot.keep"));
    EXPECT_TRUE(FileExists(root + L"\\Users\\desktop.ini"));

    const std::vector<Item> items = ItemsSince(before, "Files", "File");
    ASSERT_EQ(2u, items.size());
    for (const Item& item : items) {
        EXPECT_EQ(WideToUtf8(root) + "\\Users\\*****\\AppData\\Local\\Halvora\\Zorander", item.text);
        EXPECT_EQ("Succeeded", item.status);
    }
    const std::string log = TextLog().substr(logStart);
    EXPECT_EQ(std::string::npos, log.find("alice"));
    EXPECT_EQ(std::string::npos, log.find("carol"));
}

TEST(FileStep, AFileHeldOpenGivesOneRetryAndAFailedItemAndTheNextEntriesStillRun)
{
    ScopedTempDir temp;
    const std::wstring root = WithoutSlash(temp.Path());
    ScopedVariable variable(L"ZRA_FS_ROOT", root);
    MakeFolders(root + L"\\Busy\\sub");
    MakeFile(root + L"\\Busy\\held.dll");
    MakeFile(root + L"\\Busy\\free.dll");
    MakeFile(root + L"\\Busy\\sub\\free2.dll");
    MakeFile(root + L"\\Next.dll");
    HANDLE held = CreateFileW((root + L"\\Busy\\held.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    const size_t before = Items("Files", "File").size();
    const size_t logStart = TextLog().size();
    FileStep step(6, "Deleting ZRA files...", {Entry("%ZRA_FS_ROOT%\\Busy"), Entry("%ZRA_FS_ROOT%\\Next.dll")});
    step.RemoveFiles();
    CloseHandle(held);

    const std::string narrowRoot = WideToUtf8(root);
    const std::string log = TextLog().substr(logStart);
    const std::string retry = "FileStep::RemoveFiles: Deleting " + narrowRoot + "\\Busy: retry";
    ASSERT_NE(std::string::npos, log.find(retry));
    EXPECT_EQ(log.find(retry), log.rfind(retry));
    EXPECT_EQ(std::string::npos, log.find("Next.dll: retry"));

    const std::vector<Item> items = ItemsSince(before, "Files", "File");
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(narrowRoot + "\\Busy", items[0].text);
    EXPECT_EQ("Failed", items[0].status);
    EXPECT_EQ(std::to_string(static_cast<long>(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION))), items[0].errorId);
    EXPECT_EQ("Succeeded", items[1].status);
    EXPECT_TRUE(FileExists(root + L"\\Busy\\held.dll"));
    EXPECT_FALSE(FileExists(root + L"\\Busy\\free.dll"));
    EXPECT_FALSE(DirectoryExists(root + L"\\Busy\\sub"));
    EXPECT_FALSE(FileExists(root + L"\\Next.dll"));
}

TEST(FileStep, AHostileListCannotReachSystemFoldersRootsOrOutsideThroughDots)
{
    ScopedTempDir temp;
    const std::wstring root = WithoutSlash(temp.Path());
    ScopedVariable variable(L"ZRA_FS_ROOT", root);
    MakeFolders(root + L"\\inside");
    MakeFile(root + L"\\outside.txt");
    const size_t before = Items("Files", "File").size();
    FileStep step(6, "Deleting ZRA files...",
                  {Entry("%systemroot%"), Entry("%systemroot%\\System32"), Entry("%systemroot%\\System32\\drivers"),
                   Entry("%systemdrive%\\"), Entry("%programfiles%"), Entry("%ZRA_FS_ROOT%\\inside\\..\\outside.txt"),
                   Entry("%systemdrive%\\Users\\*\\"), Entry("%ProgramData%")});
    step.RemoveFiles();
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_TRUE(FileExists(std::wstring(windows) + L"\\system32\\kernel32.dll"));
    EXPECT_TRUE(FileExists(root + L"\\outside.txt"));
    for (const Item& item : ItemsSince(before, "Files", "File"))
        EXPECT_EQ("Failed", item.status) << item.text;
}

class ListenerKeys : public ::testing::Test {
protected:
    static std::wstring SubKey(const char* listed) { return Utf8ToWide(std::string(listed).substr(5)); }
    static bool KeyExists(const std::wstring& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    static void Seed(const std::wstring& path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\Sub").c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        const wchar_t text[] = L"Kpa listener";
        RegSetValueExW(key, L"Comment", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
        RegCloseKey(key);
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                               &key));
        const DWORD port = 2598;
        RegSetValueExW(key, L"PortNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
        RegCloseKey(key);
    }
};

TEST_F(ListenerKeys, PresentKeysAreBackedUpDeletedAndRecordedAbsentOnesLeaveNoItem)
{
    // Keys 2, 8 and 9 present; the others absent.
    const int present[] = {1, 7, 8};
    for (int index : present)
        Seed(SubKey(FileStep::ListenerKeys[index]));
    const size_t before = Items("Registries", "registry").size();
    FileStep step(6, "Deleting ZRA files...", {});
    step.RemoveRdsKeys();

    const std::vector<Item> items = ItemsSince(before, "Registries", "registry");
    ASSERT_EQ(3u, items.size());
    const std::string backup = ReadFileBytes(GetRegLog().GetFilePath());
    for (size_t i = 0; i < 3; ++i) {
        const char* listed = FileStep::ListenerKeys[present[i]];
        EXPECT_EQ(listed, items[i].text);
        EXPECT_EQ("Succeeded", items[i].status);
        EXPECT_FALSE(KeyExists(SubKey(listed)));
        const std::string header = "[HKEY_LOCAL_MACHINE\\" + std::string(listed).substr(5) + "]";
        EXPECT_NE(std::string::npos, backup.find(header + "\r\n\"PortNumber\"=dword:00000a26")) << header;
        EXPECT_NE(std::string::npos, backup.find("[HKEY_LOCAL_MACHINE\\" + std::string(listed).substr(5) +
                                                 "\\Sub]\r\n\"Comment\"=\"Kpa listener\""));
    }
    // The parents stay.
    EXPECT_TRUE(KeyExists(L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server"));
}

TEST(FileStepPersistentData, TakenOverAndDeletedWhenPresentSilentWhenAbsent)
{
    ScopedTempDir temp;
    const std::wstring data = WithoutSlash(temp.Path());
    ScopedVariable variable(L"ProgramData", data);
    const std::wstring folder = data + L"\\Halvora\\NrvAgent\\LocallyPersistedData\\DeskLinkInfo";
    MakeFolders(folder + L"\\cache");
    MakeFile(folder + L"\\links.dat", FILE_ATTRIBUTE_READONLY);
    MakeFile(folder + L"\\cache\\c.bin");

    size_t before = Items("Files", "File").size();
    size_t logStart = TextLog().size();
    FileStep step(6, "Deleting ZRA files...", {});
    step.RemoveZRAPersistantFiles();
    std::string log = TextLog().substr(logStart);
    EXPECT_FALSE(DirectoryExists(folder));
    EXPECT_TRUE(DirectoryExists(data + L"\\Halvora\\NrvAgent\\LocallyPersistedData"));
    std::vector<Item> items = ItemsSince(before, "Files", "File");
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(WideToUtf8(folder), items[0].text);
    EXPECT_EQ("Succeeded", items[0].status);
    // Ownership of the parent, then of the folder.
    const std::string changed = "TakeOwnership:Successfully changed DACL";
    const size_t first = log.find(changed);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, log.find(changed, first + 1));
    EXPECT_NE(std::string::npos, log.find("FileStep::RemoveZRAPersistantFiles Entry"));
    EXPECT_NE(std::string::npos, log.find("FileStep::RemoveZRAPersistantFiles Exit"));

    // Absent now: no item, no deletion.
    before = Items("Files", "File").size();
    logStart = TextLog().size();
    step.RemoveZRAPersistantFiles();
    EXPECT_TRUE(ItemsSince(before, "Files", "File").empty());
    log = TextLog().substr(logStart);
    EXPECT_EQ(std::string::npos, log.find("retry"));
}

TEST(FileStep, AnEmptyListStillHandlesPersistentDataAndKeysBeforeTheCountError)
{
    ScopedTempDir temp;
    ScopedVariable variable(L"ProgramData", WithoutSlash(temp.Path()));
    const size_t logStart = TextLog().size();
    FileStep step(6, "Deleting ZRA files...", {});
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusContinue, step.GetStatus());
    const std::string log = TextLog().substr(logStart);
    const size_t entry = log.find("FileStep::RemoveFiles Entry");
    const size_t persistent = log.find("FileStep::RemoveZRAPersistantFiles Exit");
    const size_t keys = log.find("FileStep::RemoveRdsKeys Exit");
    const size_t count = log.find("FileStep::RemoveFiles: Error: files count is 0");
    ASSERT_NE(std::string::npos, entry);
    ASSERT_NE(std::string::npos, count);
    EXPECT_LT(entry, persistent);
    EXPECT_LT(persistent, keys);
    EXPECT_LT(keys, count);
    EXPECT_EQ(std::string::npos, log.find("FileStep::RemoveFiles Exit"));
}

}  // namespace
