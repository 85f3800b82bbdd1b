#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "steps/ProcessStep.h"
#include "steps/RegistryStep.h"
#include "steps/ServiceStep.h"
#include "support/TestSupport.h"
#include "system/FileRemoval.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/Privileges.h"
#include "system/RegistryBackup.h"
#include "system/RegistryKey.h"

namespace {

std::vector<PlannedChange> g_reported;

void Collect(const PlannedChange& change)
{
    g_reported.push_back(change);
}

// Preview mode with a collecting sink for the object's lifetime.
class ScopedPreview {
public:
    explicit ScopedPreview(int step = 6)
    {
        g_reported.clear();
        SetChangeMode(ChangeMode::Preview);
        SetPlannedChangeSink(Collect);
        SetChangeStep(step);
    }
    ~ScopedPreview()
    {
        SetChangeMode(ChangeMode::Apply);
        SetPlannedChangeSink(nullptr);
        SetChangeStep(0);
    }
};

const wchar_t* const TestKey = L"Software\\ZraTests\\MachineChanges";

} // namespace

TEST(MachineChanges, ApplyModeLetsTheChangeHappenAndReportsNothing)
{
    g_reported.clear();
    SetPlannedChangeSink(Collect);
    EXPECT_FALSE(IsPreviewMode());
    EXPECT_FALSE(IsChangePreviewed(L"Delete file", L"C:\\x"));
    EXPECT_TRUE(g_reported.empty());
    EXPECT_EQ(0, GetPlannedChangeCount());
    SetPlannedChangeSink(nullptr);
}

TEST(MachineChanges, PreviewReportsKindTargetAndStepAndCounts)
{
    {
        ScopedPreview preview(4);
        EXPECT_TRUE(IsPreviewMode());
        EXPECT_TRUE(IsChangePreviewed(L"Terminate process", L"a.exe"));
        SetChangeStep(5);
        EXPECT_TRUE(IsChangePreviewed(L"Delete service", L"Svc"));
        ASSERT_EQ(2u, g_reported.size());
        EXPECT_EQ(L"Terminate process", g_reported[0].kind);
        EXPECT_EQ(L"a.exe", g_reported[0].target);
        EXPECT_EQ(4, g_reported[0].step);
        EXPECT_EQ(5, g_reported[1].step);
        EXPECT_EQ(2, GetPlannedChangeCount());
        // Without a sink the change is still held back and counted.
        SetPlannedChangeSink(nullptr);
        EXPECT_TRUE(IsChangePreviewed(nullptr, L"x"));
        EXPECT_EQ(3, GetPlannedChangeCount());
    }
    EXPECT_FALSE(IsPreviewMode());
    EXPECT_EQ(0, GetPlannedChangeCount());
}

TEST(MachineChanges, RegistryChangesAreReportedAndTheKeyStaysAsItWas)
{
    DeleteRegistryTree(HKEY_CURRENT_USER, TestKey, KEY_WOW64_64KEY);
    HKEY created = CreateRegistryKey(HKEY_CURRENT_USER, std::wstring(TestKey) + L"\\Sub", KEY_WOW64_64KEY);
    ASSERT_NE(nullptr, created);
    RegCloseKey(created);
    {
        auto key = CRegistryKey::Open(HKEY_CURRENT_USER, TestKey, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
        ASSERT_TRUE(key);
        ASSERT_EQ(ERROR_SUCCESS, key->SetStringValue(L"Kept", L"agent"));
        const std::string backupBefore = ReadFileBytes(GetRegLog().GetFilePath());

        ScopedPreview preview(8);
        EXPECT_EQ(ERROR_SUCCESS, key->DeleteValue(L"Kept"));
        EXPECT_EQ(ERROR_SUCCESS, key->SetDwordValue(L"Start", 4));
        EXPECT_EQ(ERROR_SUCCESS, key->SetStringValue(L"Kept", L"repaired"));
        EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, TestKey));
        EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryValue(HKEY_CURRENT_USER, TestKey, L"Kept"));
        EXPECT_TRUE(IsRegistryBackupWritten());
        EXPECT_EQ(ERROR_SUCCESS, key->DeleteKeyAndSubkeys());

        const std::wstring shown = std::wstring(L"HKEY_CURRENT_USER\\") + TestKey;
        ASSERT_EQ(4u, g_reported.size());
        EXPECT_EQ(L"Delete registry value", g_reported[0].kind);
        EXPECT_EQ(shown + L" : Kept", g_reported[0].target);
        EXPECT_EQ(L"Set registry value", g_reported[1].kind);
        EXPECT_EQ(shown + L" : Start = 4", g_reported[1].target);
        EXPECT_EQ(shown + L" : Kept = \"repaired\"", g_reported[2].target);
        EXPECT_EQ(L"Delete registry key", g_reported[3].kind);
        EXPECT_EQ(shown, g_reported[3].target);
        EXPECT_EQ(8, g_reported[3].step);

        std::wstring text;
        EXPECT_EQ(ERROR_SUCCESS, key->QueryStringValue(L"Kept", text));
        EXPECT_EQ(L"agent", text);
        DWORD value = 0;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, key->QueryDwordValue(L"Start", value));
        EXPECT_TRUE(CRegistryKey::Open(HKEY_CURRENT_USER, std::wstring(TestKey) + L"\\Sub",
                                       KEY_READ | KEY_WOW64_64KEY));
        EXPECT_EQ(backupBefore, ReadFileBytes(GetRegLog().GetFilePath()));

        // A value that is not there is already gone, in a preview as in a
        // real run, also through a key opened only to set values.
        g_reported.clear();
        auto setOnly = CRegistryKey::Open(HKEY_CURRENT_USER, TestKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
        ASSERT_TRUE(setOnly);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, setOnly->DeleteValue(L"Missing"));
        EXPECT_TRUE(g_reported.empty());
        EXPECT_EQ(ERROR_SUCCESS, setOnly->DeleteValue(L"Kept"));
        ASSERT_EQ(1u, g_reported.size());
        EXPECT_EQ(shown + L" : Kept", g_reported[0].target);
        EXPECT_EQ(ERROR_SUCCESS, key->QueryStringValue(L"Kept", text));
    }
    auto view32 = CRegistryKey::Open(HKEY_CURRENT_USER, TestKey, KEY_READ | KEY_WOW64_32KEY);
    ASSERT_TRUE(view32);
    EXPECT_EQ(std::wstring(L"HKEY_CURRENT_USER\\") + TestKey + L" (32-bit view)", view32->GetDisplayPath());
    view32.reset();
    DeleteRegistryTree(HKEY_CURRENT_USER, TestKey, KEY_WOW64_64KEY);
}

TEST(MachineChanges, FilesAndFoldersAreReportedOnlyWhenTheRealRunWouldDeleteThem)
{
    ScopedTempDir temp;
    const std::wstring folder = temp.Path() + L"Agent";
    const std::wstring file = folder + L"\\agent.dll";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteFileBytes(file, "agent");

    ScopedPreview preview;
    bool existed = false;
    HRESULT result = E_FAIL;
    EXPECT_TRUE(DeleteFileOrDirectory(file, existed, result));
    EXPECT_TRUE(existed);
    EXPECT_EQ(S_OK, result);
    EXPECT_TRUE(DeleteFileOrDirectory(folder, existed, result, L"C:\\Users\\*****\\Agent"));
    EXPECT_FALSE(DeleteFileOrDirectory(temp.Path() + L"missing", existed, result));
    EXPECT_FALSE(existed);
    // Refused in a real run: refused, and not listed, in a preview.
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_FALSE(DeleteFileOrDirectory(windows, existed, result));

    ASSERT_EQ(2u, g_reported.size());
    EXPECT_EQ(L"Delete file", g_reported[0].kind);
    EXPECT_EQ(file, g_reported[0].target);
    EXPECT_EQ(L"Delete folder", g_reported[1].kind);
    EXPECT_EQ(L"C:\\Users\\*****\\Agent", g_reported[1].target);
    EXPECT_EQ("agent", ReadFileBytes(file));

    g_reported.clear();
    EXPECT_TRUE(TakeOwnership(file));
    ASSERT_EQ(1u, g_reported.size());
    EXPECT_EQ(L"Take ownership", g_reported[0].kind);
}

TEST(MachineChanges, ProcessesAndServicesAreOnlyReported)
{
    ScopedPreview preview(4);
    bool opened = false;
    DWORD error = 1;
    // This very process: a real call would end the test.
    EXPECT_TRUE(TerminateProcessById(GetCurrentProcessId(), opened, error, L"test_system.exe"));
    EXPECT_TRUE(opened);
    EXPECT_EQ(0u, error);

    SetChangeStep(5);
    SERVICE_STATUS status = {};
    status.dwCurrentState = SERVICE_RUNNING;
    EXPECT_TRUE(SendServiceStop(nullptr, status, L"ZraNoSuchService"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, DeleteServiceByHandle(nullptr, L"ZraNoSuchService"));

    ASSERT_EQ(3u, g_reported.size());
    EXPECT_EQ(L"Terminate process", g_reported[0].kind);
    EXPECT_EQ(FormatWide(L"test_system.exe (process id %lu)", GetCurrentProcessId()), g_reported[0].target);
    EXPECT_EQ(4, g_reported[0].step);
    EXPECT_EQ(L"Stop service", g_reported[1].kind);
    EXPECT_EQ(L"ZraNoSuchService", g_reported[1].target);
    EXPECT_EQ(L"Delete service", g_reported[2].kind);
    EXPECT_EQ(5, g_reported[2].step);
}

TEST(MachineChanges, ARepairedValueIsReportedWithTheKernelNameOfItsKey)
{
    DeleteRegistryTree(HKEY_CURRENT_USER, TestKey, KEY_WOW64_64KEY);
    HKEY created = CreateRegistryKey(HKEY_CURRENT_USER, TestKey, KEY_WOW64_64KEY);
    ASSERT_NE(nullptr, created);
    {
        ScopedPreview preview(8);
        const wchar_t data[] = L"repaired";
        EXPECT_EQ(ERROR_SUCCESS, SetRepairedValue(created, L"Repaired", REG_SZ, reinterpret_cast<const BYTE*>(data),
                                                  sizeof(data)));
        ASSERT_EQ(1u, g_reported.size());
        EXPECT_EQ(L"Set registry value", g_reported[0].kind);
        const std::wstring suffix = L"\\ZraTests\\MachineChanges : Repaired";
        const std::wstring& target = g_reported[0].target;
        ASSERT_GT(target.size(), suffix.size());
        EXPECT_EQ(0, _wcsicmp(suffix.c_str(), target.substr(target.size() - suffix.size()).c_str())) << target;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(created, L"Repaired", nullptr, nullptr, nullptr, nullptr));
    }
    RegCloseKey(created);
    DeleteRegistryTree(HKEY_CURRENT_USER, TestKey, KEY_WOW64_64KEY);
}
