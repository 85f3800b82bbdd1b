// Exports a registry tree of 5,050 keys and 50,000 values into the registry
// backup with CRegistryKey, beside Wine's own "reg export" of the same tree,
// and times DeleteKeyAndSubkeys on it and on flat keys of growing size.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/RegistryKey.h"

namespace {

const wchar_t kTop[] = L"Software\\Halvora Bench";
const int kGroups = 50;
const int kKeysPerGroup = 100;
const int kValuesPerKey = 10;

double Now()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HKEY Create(HKEY parent, const std::wstring& name)
{
    HKEY key = nullptr;
    RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    return key;
}

void BuildTree()
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kTop, KEY_WOW64_64KEY);
    HKEY top = Create(HKEY_LOCAL_MACHINE, kTop);
    BYTE binary[48];
    for (int i = 0; i < 48; ++i)
        binary[i] = static_cast<BYTE>(i * 5);
    for (int g = 0; g < kGroups; ++g) {
        HKEY group = Create(top, L"Group " + std::to_wstring(g));
        for (int k = 0; k < kKeysPerGroup; ++k) {
            HKEY key = Create(group, L"{7E3D5B" + std::to_wstring(g * 1000 + k) + L"-HALVORA-ZRA}");
            for (int v = 0; v < kValuesPerKey; ++v) {
                const std::wstring name = L"Value" + std::to_wstring(v);
                if (v % 3 == 0) {
                    const std::wstring text = L"C:\\Program Files\\Halvora\\ZRA\\component" + std::to_wstring(v) + L".dll";
                    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>((text.size() + 1) * 2));
                } else if (v % 3 == 1) {
                    const DWORD value = static_cast<DWORD>(g * k + v);
                    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
                } else {
                    RegSetValueExW(key, name.c_str(), 0, REG_BINARY, binary, sizeof(binary));
                }
            }
            RegCloseKey(key);
        }
        RegCloseKey(group);
    }
    RegCloseKey(top);
}

double TimeFlatDelete(int subkeys)
{
    const std::wstring path = std::wstring(kTop) + L" Flat";
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
    HKEY top = Create(HKEY_LOCAL_MACHINE, path);
    for (int i = 0; i < subkeys; ++i)
        RegCloseKey(Create(top, L"Sub key " + std::to_wstring(i)));
    RegCloseKey(top);
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    const double start = Now();
    const LONG result = key->DeleteKeyAndSubkeys();
    const double seconds = Now() - start;
    if (result != ERROR_SUCCESS)
        std::printf("  flat delete of %d sub keys failed: %ld\n", subkeys, static_cast<long>(result));
    return seconds;
}

} // namespace

int main()
{
    ScopedTempDir folder(L"bench");
    ScopedTempFolderOverride temp(folder.Path());
    GetDebugLog();
    CRegLog& backup = GetRegLog();

    double start = Now();
    BuildTree();
    std::printf("tree: %d keys, %d values (built in %.2f s)\n", kGroups * kKeysPerGroup + kGroups + 1,
                kGroups * kKeysPerGroup * kValuesPerKey, Now() - start);
    const double values = kGroups * kKeysPerGroup * kValuesPerKey;

    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, kTop, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    if (!key) {
        std::printf("cannot open the tree\n");
        return 1;
    }
    // The machine may be shared: each export runs three times, alternating
    // with reg export, and the best round of each counts.
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring regFile = folder.Path() + L"reg-export.reg";
    const std::wstring regCommand =
        L"\"" + std::wstring(system) + L"\\reg.exe\" export \"HKLM\\" + kTop + L"\" \"" + regFile + L"\" /y /reg:64";
    double ours = 1e9, theirs = 1e9;
    size_t bytes = 0, regBytes = 0;
    LONG exported = 0;
    DWORD regCode = 0;
    for (int round = 0; round < 3; ++round) {
        const size_t before = ReadFileBytes(backup.GetFilePath()).size();
        start = Now();
        exported = key->ExportRegistryKeyAndSubkeys(HKEY_LOCAL_MACHINE, kTop);
        const double elapsed = Now() - start;
        ours = elapsed < ours ? elapsed : ours;
        bytes = ReadFileBytes(backup.GetFilePath()).size() - before;

        start = Now();
        regCode = RunProcessAndWait(regCommand);
        const double regElapsed = Now() - start;
        theirs = regElapsed < theirs ? regElapsed : theirs;
        regBytes = ReadFileBytes(regFile).size();
    }

    std::printf("CRegistryKey::ExportRegistryKeyAndSubkeys: %.2f s, %.0f values/s, %zu bytes (result %ld)\n", ours,
                values / ours, bytes, static_cast<long>(exported));
    std::printf("reg export (same tree, UTF-16 file):      %.2f s, %.0f values/s, %zu bytes (exit code %lu)\n",
                theirs, values / theirs, regBytes, static_cast<unsigned long>(regCode));
    std::printf("export speed relative to reg export: %.2fx (best of 3 rounds each)\n", theirs / ours);

    start = Now();
    const LONG deleted = key->DeleteKeyAndSubkeys();
    std::printf("DeleteKeyAndSubkeys of the whole tree: %.2f s (result %ld)\n", Now() - start,
                static_cast<long>(deleted));
    key.reset();

    const double small = TimeFlatDelete(1250);
    const double large = TimeFlatDelete(5000);
    std::printf("DeleteKeyAndSubkeys of one key with 1,250 sub keys: %.3f s; with 5,000: %.3f s (ratio %.1f; "
                "linear 4, quadratic 16)\n",
                small, large, large / small);
    return 0;
}
