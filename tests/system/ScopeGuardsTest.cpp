#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/Privileges.h"
#include "system/RegistryKey.h"
#include "system/ScopeGuards.h"
#include "system/UniqueHandle.h"

namespace {

UniqueKernelHandle OpenOwnToken()
{
    UniqueKernelHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
    return token;
}

size_t LogSize()
{
    return ReadFileBytes(GetDebugLog().GetFilePath()).size();
}

std::string LogSince(size_t start)
{
    return ReadFileBytes(GetDebugLog().GetFilePath()).substr(start);
}

TEST(ScopeGuards, PrivilegeIsDisabledWhenAnExceptionLeavesTheScope)
{
    UniqueKernelHandle token = OpenOwnToken();
    ASSERT_TRUE(token);
    SetPrivilege(token.get(), L"SeBackupPrivilege", false);
    ASSERT_FALSE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
    try {
        EnabledPrivilege backup(token.get(), L"SeBackupPrivilege");
        if (!backup.IsEnabled())
            GTEST_SKIP() << "the backup privilege cannot be enabled here";
        EXPECT_TRUE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
        throw std::runtime_error("step body failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
}

TEST(ScopeGuards, PrivilegeDisabledExplicitlyIsNotDisabledAgainAndMovesOnce)
{
    UniqueKernelHandle token = OpenOwnToken();
    ASSERT_TRUE(token);
    {
        std::vector<EnabledPrivilege> privileges;
        privileges.emplace_back(token.get(), L"SeBackupPrivilege");
        privileges.emplace_back(token.get(), L"SeRestorePrivilege");  // moves the first guard
        if (!privileges[0].IsEnabled() || !privileges[1].IsEnabled())
            GTEST_SKIP() << "the backup and restore privileges cannot be enabled here";
        EXPECT_TRUE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
        EXPECT_TRUE(privileges[0].Disable());
        EXPECT_FALSE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
        // Enabled again behind the guard's back: the guard owes nothing more.
        SetPrivilege(token.get(), L"SeBackupPrivilege", true);
    }
    EXPECT_TRUE(IsPrivilegeEnabled(token.get(), L"SeBackupPrivilege"));
    EXPECT_FALSE(IsPrivilegeEnabled(token.get(), L"SeRestorePrivilege"));
    SetPrivilege(token.get(), L"SeBackupPrivilege", false);
}

TEST(ScopeGuards, PrivilegeThatDidNotEnableIsNotDisabledByTheDestructor)
{
    UniqueKernelHandle token = OpenOwnToken();
    ASSERT_TRUE(token);
    size_t start = LogSize();
    {
        EnabledPrivilege missing(token.get(), L"SeNoSuchPrivilege");
        EXPECT_FALSE(missing.IsEnabled());
    }
    // One failed lookup (the enabling); the destructor adds none.
    std::string added = LogSince(start);
    const std::string line = "\tSetPrivilege: LookupPrivilegeValue error: 1313\r\n";
    ASSERT_NE(std::string::npos, added.find(line)) << added;
    EXPECT_EQ(std::string::npos, added.find(line, added.find(line) + 1)) << added;

    // An explicit release disables either way, as the registry step's does.
    start = LogSize();
    {
        EnabledPrivilege missing(token.get(), L"SeNoSuchPrivilege");
        EXPECT_FALSE(missing.Disable());
        EXPECT_TRUE(missing.Disable());
    }
    added = LogSince(start);
    const size_t first = added.find(line);
    ASSERT_NE(std::string::npos, first) << added;
    const size_t second = added.find(line, first + 1);
    ASSERT_NE(std::string::npos, second) << added;
    EXPECT_EQ(std::string::npos, added.find(line, second + 1)) << added;
}

TEST(ScopeGuards, HiveIsUnloadedWhenAnExceptionLeavesTheScope)
{
    UniqueKernelHandle token = OpenOwnToken();
    ASSERT_TRUE(token);
    EnabledPrivilege backup(token.get(), L"SeBackupPrivilege");
    EnabledPrivilege restore(token.get(), L"SeRestorePrivilege");
    if (!backup.IsEnabled() || !restore.IsEnabled())
        GTEST_SKIP() << "the backup and restore privileges cannot be enabled here";

    UniqueRegKey source;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Halvora GuardHive", 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, source.put(), nullptr));
    const DWORD marker = 7;
    RegSetValueExW(source.get(), L"marker", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&marker), sizeof(marker));
    ScopedTempDir folder(L"guardhive");
    const std::wstring hiveFile = folder.Path() + L"NTUSER.DAT";
    const LONG saved = RegSaveKeyW(source.get(), hiveFile.c_str(), nullptr);
    source.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Halvora GuardHive");
    if (saved != ERROR_SUCCESS)
        GTEST_SKIP() << "Wine refused RegSaveKeyW: error " << saved;

    const std::wstring name = L"HalvoraGuardUser";
    try {
        std::vector<LoadedUserHive> hives;
        hives.emplace_back(name, hiveFile);
        hives.emplace_back(L"HalvoraGuardMissing", folder.Path() + L"missing\\NTUSER.DAT");
        ASSERT_TRUE(hives[0].IsLoaded());
        EXPECT_FALSE(hives[1].IsLoaded());
        EXPECT_TRUE(CRegistryKey::Open(HKEY_USERS, name, KEY_READ | KEY_WOW64_64KEY));
        throw std::runtime_error("step body failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(CRegistryKey::Open(HKEY_USERS, name, KEY_READ | KEY_WOW64_64KEY));

    // Unloaded explicitly: the destructor does not unload (and log) again.
    LoadedUserHive hive(name, hiveFile);
    ASSERT_TRUE(hive.IsLoaded());
    hive.Unload();
    EXPECT_FALSE(hive.IsLoaded());
    const size_t start = LogSize();
    hive.Unload();
    EXPECT_EQ("", LogSince(start));
    EXPECT_FALSE(CRegistryKey::Open(HKEY_USERS, name, KEY_READ | KEY_WOW64_64KEY));
}

TEST(ScopeGuards, ComIsUninitialisedOncePerSuccessfulInitialisation)
{
    {
        ComInitialization com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        ASSERT_TRUE(com.Succeeded()) << std::hex << com.GetResult();
        {
            ComInitialization nested(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
            EXPECT_EQ(S_FALSE, nested.GetResult());
        }
        // A different model on the same thread is refused and not balanced.
        ComInitialization other(COINIT_MULTITHREADED);
        EXPECT_EQ(RPC_E_CHANGED_MODE, other.GetResult());
        other.Uninitialize();
        // Still initialised: the outer guard's count is intact.
        ComInitialization again(COINIT_APARTMENTTHREADED);
        EXPECT_EQ(S_FALSE, again.GetResult());
    }
    // Every guard balanced its own initialisation: COM is off again, so a
    // new initialisation is the first one.
    ComInitialization fresh(COINIT_MULTITHREADED);
    EXPECT_EQ(S_OK, fresh.GetResult());
}

// A handle kind that counts its closes, to show that ownership moves and is
// given up exactly once.
int g_closes = 0;
struct CountedTraits {
    using Type = int;
    static Type None() noexcept { return 0; }
    static bool IsValid(Type value) noexcept { return value != 0; }
    static void Close(Type) noexcept { ++g_closes; }
};
using CountedHandle = UniqueHandle<CountedTraits>;

TEST(ScopeGuards, MovedHandleIsClosedOnce)
{
    g_closes = 0;
    {
        CountedHandle first(1);
        CountedHandle second(std::move(first));
        EXPECT_FALSE(first.valid());
        CountedHandle third;
        third = std::move(second);
        EXPECT_EQ(1, third.get());
        EXPECT_EQ(0, g_closes);
        third = CountedHandle(2);  // closes 1
        EXPECT_EQ(1, g_closes);
        const int given = third.release();
        EXPECT_EQ(2, given);
    }
    EXPECT_EQ(1, g_closes);

    // A real kernel handle: closed by the last owner, and only then.
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        UniqueKernelHandle owner(raw);
        UniqueKernelHandle next(std::move(owner));
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // A failed CreateFile result is not a handle to close.
    UniqueKernelHandle missing(CreateFileW(L"C:\\no\\such\\halvora.file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                           nullptr));
    EXPECT_FALSE(missing);
}

TEST(ScopeGuards, ScopeExitRunsOnEveryPathUnlessDismissed)
{
    int runs = 0;
    try {
        auto guard = MakeScopeExit([&runs] { ++runs; });
        throw std::runtime_error("left early");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(1, runs);
    {
        auto guard = MakeScopeExit([&runs] { ++runs; });
        guard.Dismiss();
    }
    EXPECT_EQ(1, runs);
}

} // namespace
