// What only a 32-bit process on 64-bit Windows shows: the WOW64 answer, the
// registry and file-system redirection the product must bypass, and that
// faults reach the program as the processor raised them. In the 64-bit test
// build these cases are skipped with their reason.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/RegistryKey.h"
#include "system/SystemInfo.h"
#include "system/UniqueHandle.h"

namespace {

#ifdef _WIN64
constexpr bool kThirtyTwoBit = false;
#else
constexpr bool kThirtyTwoBit = true;
#endif

#define SKIP_UNLESS_WOW64()                                                                              \
    do {                                                                                                 \
        if (!kThirtyTwoBit)                                                                              \
            GTEST_SKIP() << "a 64-bit process never runs under WOW64; this needs the 32-bit build";      \
    } while (0)

// --- faults ----------------------------------------------------------------

struct FaultRecord {
    DWORD code = 0;
    ULONG_PTR kind = 99;     // ExceptionInformation[0]: 0 read, 1 write
    ULONG_PTR address = 0;   // ExceptionInformation[1]
};

FaultRecord g_fault;
DWORD g_faultThread = 0;

LONG CALLBACK RecordFault(EXCEPTION_POINTERS* info)
{
    if (GetCurrentThreadId() != g_faultThread) return EXCEPTION_CONTINUE_SEARCH;
    g_fault.code = info->ExceptionRecord->ExceptionCode;
    if (info->ExceptionRecord->NumberParameters >= 2) {
        g_fault.kind = info->ExceptionRecord->ExceptionInformation[0];
        g_fault.address = info->ExceptionRecord->ExceptionInformation[1];
    }
    // The faulting thread has nothing left to do.
    ExitThread(0);
}

DWORD WINAPI WriteThroughBadPointer(void* target)
{
    *static_cast<volatile int*>(target) = 1;
    return 1;
}

DWORD WINAPI ReadThroughBadPointer(void* target)
{
    return static_cast<DWORD>(*static_cast<volatile int*>(target)) + 1;
}

FaultRecord RunFaulting(LPTHREAD_START_ROUTINE body, void* target)
{
    g_fault = FaultRecord();
    void* handler = AddVectoredExceptionHandler(1, RecordFault);
    DWORD id = 0;
    UniqueKernelHandle thread(CreateThread(nullptr, 0, body, target, CREATE_SUSPENDED, &id));
    g_faultThread = id;
    ResumeThread(thread.get());
    WaitForSingleObject(thread.get(), 30000);
    RemoveVectoredExceptionHandler(handler);
    return g_fault;
}

TEST(FaultDelivery, AccessViolationsArriveAsAccessViolations)
{
    void* const bad = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x10));
    FaultRecord write = RunFaulting(WriteThroughBadPointer, bad);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), write.code);
    EXPECT_EQ(1u, write.kind);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(bad), write.address);

    FaultRecord read = RunFaulting(ReadThroughBadPointer, bad);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), read.code);
    EXPECT_EQ(0u, read.kind);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(bad), read.address);
}

// --- the WOW64 answer -------------------------------------------------------

TEST(Wow64Bed, ThirtyTwoBitProcessRunsUnderWow64)
{
    SKIP_UNLESS_WOW64();
    EXPECT_TRUE(IsWow64());
    EXPECT_NE(std::string::npos, GetOSDescription().find(" x64 ")) << GetOSDescription();
}

// --- registry redirection ---------------------------------------------------

bool KeyExists(const std::wstring& path, REGSAM view)
{
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

void DeleteBoth(const std::wstring& path)
{
    for (REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(KEY_WOW64_32KEY)}) {
        UniqueRegKey software;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, software.put()) == 0)
            RegDeleteTreeW(software.get(), path.substr(wcslen(L"Software\\")).c_str());
    }
}

TEST(Wow64Bed, UnflaggedKeyOfThe32BitProcessLandsUnderWow6432Node)
{
    SKIP_UNLESS_WOW64();
    const std::wstring path = L"Software\\Halvora Bed Unflagged";
    DeleteBoth(path);
    {
        UniqueRegKey created;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, created.put(), nullptr));
    }
    // Written through the product's wrapper without view bits.
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS);
    ASSERT_TRUE(key);
    EXPECT_EQ(ERROR_SUCCESS, key->SetStringValue(L"Where", L"32"));
    key.reset();

    EXPECT_TRUE(KeyExists(L"Software\\Wow6432Node\\Halvora Bed Unflagged", KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(path, KEY_WOW64_32KEY));
    EXPECT_FALSE(KeyExists(path, KEY_WOW64_64KEY));
    DeleteBoth(path);
}

TEST(Wow64Bed, TreeDeletionReachesTheNamedViewFromThe32BitProcess)
{
    SKIP_UNLESS_WOW64();
    // RegDeleteKeyExW, looked up at run time, is what lets the 32-bit process
    // delete in the 64-bit view; RegDeleteKeyW would act on its own view.
    ASSERT_NE(nullptr, GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW"));
    const std::wstring path = L"Software\\Halvora Bed Views";
    for (REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(KEY_WOW64_32KEY)}) {
        const REGSAM other = view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        DeleteBoth(path);
        for (REGSAM v : {view, other}) {
            UniqueRegKey created;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\sub\\deep").c_str(), 0,
                                                     nullptr, 0, KEY_ALL_ACCESS | v, nullptr, created.put(),
                                                     nullptr));
        }
        std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS | view);
        ASSERT_TRUE(key);
        EXPECT_EQ(ERROR_SUCCESS, key->DeleteKeyAndSubkeys());
        key.reset();
        EXPECT_FALSE(KeyExists(path, view));
        EXPECT_TRUE(KeyExists(path + L"\\sub\\deep", other));
    }
    DeleteBoth(path);
}

// --- file-system redirection -------------------------------------------------

std::wstring WindowsFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer) + L"\\";
}

TEST(Wow64Bed, System32WritesLandInSysWow64UnlessRedirectionIsOff)
{
    SKIP_UNLESS_WOW64();
    const std::wstring windows = WindowsFolder();
    const std::wstring redirected = L"halvora-bed-redirected.txt";
    const std::wstring direct = L"halvora-bed-direct.txt";
    for (const std::wstring& folder : {windows + L"SysWOW64\\drivers\\", windows + L"Sysnative\\drivers\\"}) {
        DeleteFileW((folder + redirected).c_str());
        DeleteFileW((folder + direct).c_str());
    }

    WriteFileBytes(windows + L"System32\\drivers\\" + redirected, "redirected");
    EXPECT_TRUE(FileExists(windows + L"SysWOW64\\drivers\\" + redirected));
    EXPECT_FALSE(FileExists(windows + L"Sysnative\\drivers\\" + redirected));

    PVOID state = nullptr;
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&state));
    WriteFileBytes(windows + L"System32\\drivers\\" + direct, "direct");
    Wow64RevertWow64FsRedirection(state);
    EXPECT_TRUE(FileExists(windows + L"Sysnative\\drivers\\" + direct));
    EXPECT_FALSE(FileExists(windows + L"SysWOW64\\drivers\\" + direct));

    for (const std::wstring& folder : {windows + L"SysWOW64\\drivers\\", windows + L"Sysnative\\drivers\\"}) {
        DeleteFileW((folder + redirected).c_str());
        DeleteFileW((folder + direct).c_str());
    }
}

}  // namespace
