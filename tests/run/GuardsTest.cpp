// The guards inside one process: the tool's own mutex is kept for the
// process life, and an installer guard that finds no installer leaves no
// mutex behind.
#include <windows.h>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "run/Guards.h"

namespace {

// True when a mutex of that name exists now.
bool MutexExists(const wchar_t* name)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

} // namespace

TEST(Guards, ToolInstanceMutexIsKeptSoThatAnotherStartFires)
{
    RunOptions options;
    options.silent = true;
    ASSERT_FALSE(MutexExists(L"Halvora.ZRACleanupTool"));
    EXPECT_FALSE(IsOneToolInstance(GetDebugLog(), options));
    EXPECT_TRUE(MutexExists(L"Halvora.ZRACleanupTool"));
    // A second check finds the mutex held: it fires, and the first holder
    // keeps its mutex.
    EXPECT_TRUE(IsOneToolInstance(GetDebugLog(), options));
    EXPECT_TRUE(MutexExists(L"Halvora.ZRACleanupTool"));
}

TEST(Guards, IdleInstallersPassAndLeaveNoMutex)
{
    RunOptions options;
    EXPECT_FALSE(IsOneMetaInstallerInstance(GetDebugLog(), options));
    EXPECT_FALSE(IsOneMSIInstance(GetDebugLog(), options));
    EXPECT_FALSE(MutexExists(L"Halvora.MetaInstaller"));
    EXPECT_FALSE(MutexExists(L"Global\\_MSIExecute"));
}
