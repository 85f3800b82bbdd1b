#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "logs/ResumeMarker.h"
#include "support/TestSupport.h"
#include "system/RegistryKey.h"

namespace {

const wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// Reads a value in the 64-bit view without the wrapper.
bool ReadRaw(const wchar_t* name, DWORD& type, std::wstring& text)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    const LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    text = buffer;
    return result == ERROR_SUCCESS;
}

// Leaves the marker as an earlier run of the program would have left it.
void SetMarkerOfEarlierRun()
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key));
    const DWORD zero = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"HvrZraCleanupOverwriteLog", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&zero), sizeof(zero)));
    RegCloseKey(key);
}

class ResumeMarker : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The text log stays in the program's own temp folder.
        GetDebugLog();
        ClearOverwriteLogMarker();
    }
    void TearDown() override { ClearOverwriteLogMarker(); }
};

TEST_F(ResumeMarker, SetReadAndClearInThe64BitView)
{
    EXPECT_FALSE(IsOverwriteLogMarkerSet());
    GetLogFolder();
    SetOverwriteLogMarker();
    EXPECT_TRUE(IsOverwriteLogMarkerSet());
    DWORD type = 0;
    std::wstring text;
    ASSERT_TRUE(ReadRaw(L"HvrZraCleanupOverwriteLog", type, text));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    // Nothing lands in the 32-bit view.
    HKEY key32 = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_32KEY, &key32));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key32, L"HvrZraCleanupOverwriteLog", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key32);

    ASSERT_TRUE(ReadRaw(L"HalvoraTempFolder", type, text));
    ClearOverwriteLogMarker();
    EXPECT_FALSE(IsOverwriteLogMarkerSet());
    EXPECT_FALSE(ReadRaw(L"HvrZraCleanupOverwriteLog", type, text));
    EXPECT_FALSE(ReadRaw(L"HalvoraTempFolder", type, text));
    // A DWORD of another size is no marker.
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    ASSERT_TRUE(key);
    EXPECT_EQ(ERROR_SUCCESS, key->SetStringValue(L"HvrZraCleanupOverwriteLog", L"1"));
    EXPECT_FALSE(IsOverwriteLogMarkerSet());
}

TEST_F(ResumeMarker, ResumedRunReusesTheRememberedTempFolder)
{
    ScopedTempDir first(L"first"), second(L"second");
    {
        ScopedTempFolderOverride temp(first.Path());
        EXPECT_EQ(first.Path() + L"halvora\\", GetCleanupTempFolder());
        EXPECT_EQ(first.Path() + L"halvora\\ZraCleanup\\", GetLogFolder());
        EXPECT_TRUE(DirectoryExists(first.Path() + L"halvora\\ZraCleanup"));
        DWORD type = 0;
        std::wstring remembered;
        ASSERT_TRUE(ReadRaw(L"HalvoraTempFolder", type, remembered));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(first.Path() + L"halvora\\", remembered);
        SetOverwriteLogMarker();
    }
    {
        // The restart gave the run another temp folder: the first one is kept.
        ScopedTempFolderOverride temp(second.Path());
        EXPECT_EQ(first.Path() + L"halvora\\ZraCleanup\\", GetLogFolder());
        EXPECT_FALSE(DirectoryExists(second.Path() + L"halvora"));
        ClearOverwriteLogMarker();
        EXPECT_EQ(second.Path() + L"halvora\\ZraCleanup\\", GetLogFolder());
    }
}

TEST_F(ResumeMarker, ResumedRegistryBackupAppendsWithoutASecondHeader)
{
    ScopedTempDir folder(L"regback");
    ScopedTempFolderOverride temp(folder.Path());
    const std::wstring path = folder.Path() + L"halvora\\ZraCleanup\\RegBackup.reg";
    ASSERT_EQ(0u, CreateDirectoryPath(folder.Path() + L"halvora\\ZraCleanup"));
    WriteFileBytes(path, "from an older run\r\n");
    ASSERT_EQ("from an older run\r\n", ReadFileBytes(path));
    {
        CRegLog fresh;
        EXPECT_EQ(path, fresh.GetFilePath());
        fresh.WriteLine(L"[%ws\\%ws]", L"HKEY_LOCAL_MACHINE", L"First");
    }
    EXPECT_EQ(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\First]\r\n", ReadFileBytes(path));
    SetMarkerOfEarlierRun();
    EXPECT_TRUE(IsResumingEarlierRun());
    {
        CRegLog resumed;
        EXPECT_EQ(path, resumed.GetFilePath());
        resumed.WriteText(L"\"v\"=dword:00000001");
    }
    EXPECT_EQ(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\First]\r\n\"v\"=dword:00000001\r\n", ReadFileBytes(path));

    // A resumed run whose backup is gone (the first run exported nothing)
    // or empty starts it with the header: the importer rejects a file that
    // starts with a key.
    DeleteFileW(path.c_str());
    {
        CRegLog resumed;
        EXPECT_TRUE(resumed.IsOpen());
        resumed.WriteLine(L"[%ws\\%ws]", L"HKEY_LOCAL_MACHINE", L"Second");
    }
    EXPECT_EQ(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Second]\r\n", ReadFileBytes(path));
    WriteFileBytes(path, "");
    {
        CRegLog resumed;
        EXPECT_TRUE(resumed.IsOpen());
    }
    EXPECT_EQ(std::string(kHeader), ReadFileBytes(path));
}

// The checks below need a process of their own, because they are about the
// first use of the logs. The test program starts itself again for one of
// the DISABLED_ tests, in a temp folder and working folder of the test's own.
DWORD RunChild(const char* test, const std::wstring& workingFolder)
{
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=Child." +
                           std::wstring(test, test + strlen(test));
    return RunProcessAndWait(command, 120000, workingFolder);
}

TEST_F(ResumeMarker, FirstUseOfTheTextLogLogsRegistryFailuresAfterItsHeader)
{
    ScopedTempDir folder(L"firstuse");
    ScopedTempFolderOverride temp(folder.Path());
    ASSERT_EQ(0u, RunChild("DISABLED_FirstUse", folder.Path()));
    const std::string log = ReadFileBytes(folder.Path() + L"halvora\\ZraCleanup\\CleanupToolLog.txt");
    // The start header comes first; the marker lookup made while the log was
    // being created (the marker is absent) follows it.
    ASSERT_EQ(0u, log.find("\r\n2")) << log;
    const size_t version = log.find("\tVersion: ");
    const size_t held = log.find("\tCRegistryKey::QueryValue:RegQueryValueEx: failed with error: 2\r\n");
    ASSERT_NE(std::string::npos, version);
    ASSERT_NE(std::string::npos, held) << log;
    EXPECT_LT(version, held);
    EXPECT_NE(std::string::npos, log.find("\tchild was here\r\n"));
}

TEST_F(ResumeMarker, MarkerWithoutRememberedFolderUsesTheWorkingFolder)
{
    ScopedTempDir folder(L"nofolder");
    ScopedTempFolderOverride temp(folder.Path());
    CreateDirectoryW((folder.Path() + L"halvora").c_str(), nullptr);
    SetOverwriteLogMarker();
    ASSERT_EQ(0u, RunChild("DISABLED_FirstUse", folder.Path() + L"halvora\\"));
    ClearOverwriteLogMarker();
    const std::string log = ReadFileBytes(folder.Path() + L"halvora\\ZraCleanup\\CleanupToolLog.txt");
    EXPECT_NE(std::string::npos, log.find("\tchild was here\r\n")) << "the log is not under the working folder";
    EXPECT_NE(std::string::npos, log.find("\tCRegistryKey::QueryStringValue:RegQueryValueEx: failed with error: 2\r\n"))
        << log;
}

// A fresh run sets the marker while it prepares its steps, before anything
// is exported: its backup still starts anew with the header. The next start
// finds the marker and continues that backup.
TEST_F(ResumeMarker, FreshRunStartsTheBackupAfterSettingTheMarkerAndTheNextStartAppends)
{
    ScopedTempDir folder(L"freshrun");
    ScopedTempFolderOverride temp(folder.Path());
    const std::wstring path = folder.Path() + L"halvora\\ZraCleanup\\RegBackup.reg";
    ASSERT_EQ(0u, CreateDirectoryPath(folder.Path() + L"halvora\\ZraCleanup"));
    WriteFileBytes(path, "[HKEY_LOCAL_MACHINE\\From a completed run]\r\n\r\n");
    ASSERT_TRUE(FileExists(path));
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Halvora ResumeExport", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &created, nullptr));
    const DWORD one = 1;
    RegSetValueExW(created, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    RegCloseKey(created);

    const std::string block = "[HKEY_CURRENT_USER\\Software\\Halvora ResumeExport]\r\n\"v\"=dword:00000001\r\n\r\n";
    ASSERT_EQ(0u, RunChild("DISABLED_RunExports", folder.Path()));
    EXPECT_TRUE(IsOverwriteLogMarkerSet());
    EXPECT_EQ(std::string(kHeader) + block, ReadFileBytes(path));
    ASSERT_EQ(0u, RunChild("DISABLED_RunExports", folder.Path()));
    EXPECT_EQ(std::string(kHeader) + block + block, ReadFileBytes(path));
    DeleteRegistryTree(HKEY_CURRENT_USER, L"Software\\Halvora ResumeExport", KEY_WOW64_64KEY);
}

TEST_F(ResumeMarker, UnavailableBackupIsReportedOnce)
{
    ScopedTempDir folder(L"nobackup");
    ScopedTempFolderOverride temp(folder.Path());
    ASSERT_EQ(0u, RunChild("DISABLED_BackupUnavailable", folder.Path()));
    const std::string log = ReadFileBytes(folder.Path() + L"halvora\\ZraCleanup\\CleanupToolLog.txt");
    const std::string message = "\tCRegistryKey::ExportRegistryKeyAndSubkeys: Error: The registry backup file ";
    const size_t found = log.find(message);
    ASSERT_NE(std::string::npos, found) << log;
    EXPECT_NE(std::string::npos, log.find("could not be opened; registry data is not backed up\r\n", found));
    EXPECT_EQ(std::string::npos, log.find(message, found + 1)) << "reported more than once";
    EXPECT_EQ(std::string::npos, log.find("Error: The registry backup file", found + message.size()));
}

TEST(Child, DISABLED_FirstUse)
{
    GetDebugLog().WriteLine(L"%ws", L"child was here");
}

// A run as the driver makes it: the text log first, then the marker, then
// the exports of the steps.
TEST(Child, DISABLED_RunExports)
{
    GetDebugLog();
    SetOverwriteLogMarker();
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_CURRENT_USER, L"Software", KEY_READ);
    ASSERT_TRUE(key);
    EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, L"Software\\Halvora ResumeExport"));
}

TEST(Child, DISABLED_BackupUnavailable)
{
    GetDebugLog();
    // A log folder below a plain file cannot be created.
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring blocker = std::wstring(temp) + L"blocker";
    WriteFileBytes(blocker, "x");
    SetLogFolderOverride(blocker + L"\\logs");
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, L"Software", KEY_READ);
    ASSERT_TRUE(key);
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Halvora NoBackup", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &created, nullptr));
    RegCloseKey(created);
    EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, L"Software\\Halvora NoBackup"));
    EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, L"Software\\Halvora NoBackup"));
    EXPECT_FALSE(GetRegLog().IsOpen());
    DeleteRegistryTree(HKEY_CURRENT_USER, L"Software\\Halvora NoBackup", KEY_WOW64_64KEY);
}

} // namespace
