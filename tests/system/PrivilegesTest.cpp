#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/Privileges.h"
#include "system/RegistryKey.h"

namespace {

std::string LogSince(size_t start)
{
    return ReadFileBytes(GetDebugLog().GetFilePath()).substr(start);
}

size_t LogSize()
{
    return ReadFileBytes(GetDebugLog().GetFilePath()).size();
}

class ProcessToken {
public:
    ProcessToken() { OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &m_token); }
    ~ProcessToken()
    {
        if (m_token != nullptr)
            CloseHandle(m_token);
    }
    HANDLE Get() const { return m_token; }

private:
    HANDLE m_token = nullptr;
};

TEST(Privileges, PredefinedKeyTokens)
{
    HKEY root = nullptr;
    EXPECT_TRUE(ParsePredefinedKey("hklm", root));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    EXPECT_TRUE(ParsePredefinedKey("Hkey_Users", root));
    EXPECT_EQ(HKEY_USERS, root);
    EXPECT_TRUE(ParsePredefinedKey("HKCC", root));
    EXPECT_EQ(HKEY_CURRENT_CONFIG, root);
    for (const char* token : {"HKEY_LOCAL", "HKPD", "", "HKLM ", "HKLMX", "HKEY_PERFORMANCE_DATA"}) {
        root = HKEY_DYN_DATA;
        EXPECT_FALSE(ParsePredefinedKey(token, root)) << token;
        EXPECT_EQ(HKEY_DYN_DATA, root) << token;
    }
    EXPECT_FALSE(ParsePredefinedKey(std::string("HKLM\0x", 6), root));
}

TEST(Privileges, EnableAndDisableAgain)
{
    ProcessToken token;
    ASSERT_NE(nullptr, token.Get());
    ASSERT_TRUE(SetPrivilege(token.Get(), L"SeBackupPrivilege", true));
    EXPECT_TRUE(IsPrivilegeEnabled(token.Get(), L"SeBackupPrivilege"));
    ASSERT_TRUE(SetPrivilege(token.Get(), L"SeBackupPrivilege", false));
    EXPECT_FALSE(IsPrivilegeEnabled(token.Get(), L"SeBackupPrivilege"));

    const size_t start = LogSize();
    EXPECT_FALSE(SetPrivilege(token.Get(), L"SeNoSuchPrivilege", true));
    EXPECT_NE(std::string::npos, LogSince(start).find("\tSetPrivilege: LookupPrivilegeValue error: 1313\r\n"))
        << LogSince(start);
}

TEST(Privileges, PrivilegeTheTokenLacks)
{
    ProcessToken token;
    ASSERT_NE(nullptr, token.Get());
    // Privileges an administrator's token does not normally hold.
    const wchar_t* candidates[] = {L"SeCreateTokenPrivilege", L"SeTcbPrivilege", L"SeAssignPrimaryTokenPrivilege",
                                   L"SeTrustedCredManAccessPrivilege", L"SeRelabelPrivilege"};
    for (const wchar_t* name : candidates) {
        const size_t start = LogSize();
        if (SetPrivilege(token.Get(), name, true)) {
            SetPrivilege(token.Get(), name, false);
            continue;
        }
        const std::string added = LogSince(start);
        if (added.find("LookupPrivilegeValue") != std::string::npos)
            continue;
        EXPECT_NE(std::string::npos, added.find("\tSetPrivilege: The token does not have the specified privilege.\r\n"))
            << added;
        return;
    }
    GTEST_SKIP() << "this Wine token holds every candidate privilege, so a privilege the token lacks cannot be shown";
}

TEST(Privileges, TakeOwnership)
{
    size_t start = LogSize();
    EXPECT_FALSE(TakeOwnership(L"C:\\no\\such\\halvora\\file.txt"));
    EXPECT_EQ("", LogSince(start));

    ScopedTempDir folder(L"owner");
    const std::wstring file = folder.Path() + L"owned.txt";
    WriteFileBytes(file, "x");
    start = LogSize();
    const bool changed = TakeOwnership(file);
    const std::string added = LogSince(start);
    if (!changed && added.find("First SetNamedSecurityInfo call failed") != std::string::npos)
        GTEST_SKIP() << "Wine refused to set the file's access list: " << added;
    EXPECT_TRUE(changed) << added;
    EXPECT_NE(std::string::npos, added.find("\tTakeOwnership:Successfully changed DACL\r\n")) << added;
    EXPECT_TRUE(TakeOwnership(folder.Path()));
}

TEST(Privileges, HiveLoadAndUnload)
{
    ProcessToken token;
    ASSERT_NE(nullptr, token.Get());
    if (!SetPrivilege(token.Get(), L"SeBackupPrivilege", true) ||
        !SetPrivilege(token.Get(), L"SeRestorePrivilege", true))
        GTEST_SKIP() << "the backup and restore privileges cannot be enabled here";

    // A small hive saved from a key of our own.
    HKEY source = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Halvora HiveSource", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &source, nullptr));
    const DWORD marker = 0x5a5a;
    RegSetValueExW(source, L"marker", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&marker), sizeof(marker));
    HKEY child = nullptr;
    RegCreateKeyExW(source, L"Child", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &child, nullptr);
    RegCloseKey(child);
    ScopedTempDir folder(L"hive");
    const std::wstring hiveFile = folder.Path() + L"NTUSER.DAT";
    const LONG saved = RegSaveKeyW(source, hiveFile.c_str(), nullptr);
    RegCloseKey(source);
    DeleteRegistryTree(HKEY_CURRENT_USER, L"Software\\Halvora HiveSource", KEY_WOW64_64KEY);
    if (saved != ERROR_SUCCESS)
        GTEST_SKIP() << "Wine refused RegSaveKeyW: error " << saved;

    const std::wstring hive = L"HalvoraTestUser";
    ASSERT_TRUE(LoadUserProfile(hive, hiveFile));
    {
        std::shared_ptr<CRegistryKey> loaded = CRegistryKey::Open(HKEY_USERS, hive, KEY_READ);
        ASSERT_TRUE(loaded);
        DWORD value = 0;
        EXPECT_EQ(ERROR_SUCCESS, loaded->QueryDwordValue(L"marker", value));
        EXPECT_EQ(marker, value);
        EXPECT_TRUE(CRegistryKey::Open(HKEY_USERS, hive + L"\\Child", KEY_READ));
    }
    size_t start = LogSize();
    UnloadUserProfile(hive);
    EXPECT_EQ("", LogSince(start));
    EXPECT_FALSE(CRegistryKey::Open(HKEY_USERS, hive, KEY_READ));

    // Unloading what is not loaded, and loading a missing file, are logged.
    start = LogSize();
    UnloadUserProfile(hive);
    EXPECT_FALSE(LoadUserProfile(L"HalvoraMissing", folder.Path() + L"missing\\NTUSER.DAT"));
    const std::string added = LogSince(start);
    EXPECT_NE(std::string::npos, added.find("\tUnloadUserProfile: RegSaveKey error: ")) << added;
    EXPECT_NE(std::string::npos, added.find("\tLoadUserProfile: RegLoadKey error: ")) << added;
    EXPECT_FALSE(CRegistryKey::Open(HKEY_USERS, L"HalvoraMissing", KEY_READ));

    SetPrivilege(token.Get(), L"SeRestorePrivilege", false);
    SetPrivilege(token.Get(), L"SeBackupPrivilege", false);
}

} // namespace
