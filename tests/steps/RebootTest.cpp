// The restart request and the RunOnce check: what they leave behind in the
// process token, the registry and the text log.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logs/Log.h"
#include "steps/Reboot.h"
#include "support/TestSupport.h"

namespace {

// -1 when the process token does not hold the privilege, else 1 when it is
// enabled and 0 when it is not.
int PrivilegeState(const wchar_t* name)
{
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
        return -1;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return -1;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    int state = -1;
    if (size != 0 && GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID& held = privileges->Privileges[i].Luid;
            if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart)
                state = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0 ? 1 : 0;
        }
    }
    CloseHandle(token);
    return state;
}

void SetRunOnceValue(const BYTE* data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, Utils::RunOnceValueName, 0, REG_SZ, data, size));
    RegCloseKey(key);
}

void DeleteRunOnceValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key, Utils::RunOnceValueName);
        RegCloseKey(key);
    }
}

} // namespace

TEST(Reboot, SilentRestartLeavesNoPrivilegeEnabled)
{
    for (const wchar_t* name : {L"SeDebugPrivilege", L"SeShutdownPrivilege"}) {
        ASSERT_NE(-1, PrivilegeState(name)) << "the test process token lacks " << name;
    }
    EXPECT_TRUE(Utils::RunReboot(true));
    EXPECT_EQ(0, PrivilegeState(L"SeDebugPrivilege"));
    EXPECT_EQ(0, PrivilegeState(L"SeShutdownPrivilege"));
    const std::string log = ReadFileBytes(GetDebugLog().GetFilePath());
    EXPECT_NE(std::string::npos, log.find("\tUtils::RunReboot: Rebooting System\r\n"));
    EXPECT_EQ(std::string::npos, log.find("SetPrivilege Failed"));
}

TEST(Reboot, RunOnceCheckCountsAnyValueAndLogsNothingWhenThereIsNone)
{
    DeleteRunOnceValue();
    const std::string before = ReadFileBytes(GetDebugLog().GetFilePath());
    EXPECT_FALSE(Utils::IsRunOnceValueSet());
    // A fresh start asks this every time: no error line for the usual answer.
    EXPECT_EQ(before, ReadFileBytes(GetDebugLog().GetFilePath()));

    // A value without data is still a pending re-launch.
    SetRunOnceValue(nullptr, 0);
    EXPECT_TRUE(Utils::IsRunOnceValueSet());

    const std::wstring line = L"\"C:\\zra\\ZRACleanupUtility.exe\" -Step 4";
    SetRunOnceValue(reinterpret_cast<const BYTE*>(line.c_str()), static_cast<DWORD>((line.size() + 1) * 2));
    EXPECT_TRUE(Utils::IsRunOnceValueSet());
    DeleteRunOnceValue();
    EXPECT_FALSE(Utils::IsRunOnceValueSet());
}
