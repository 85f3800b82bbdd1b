// The registry step on a large agent tree: removing 50,000 values in 5,050
// keys with their backup, timed beside Wine's own "reg export" + "reg delete
// /f" of the same tree; and the value search over a tree of 100,000 keys.
#include <windows.h>

#include <cstdio>
#include <string>

#include "logs/Log.h"
#include "steps/RegistryStep.h"
#include "support/TestSupport.h"

namespace {

const wchar_t kTop[] = L"SOFTWARE\\Halvora Bench Agent";
const char kTopName[] = "HKLM\\SOFTWARE\\Halvora Bench Agent";
const wchar_t kSearchTop[] = L"SOFTWARE\\Halvora Bench Search";

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

void SetText(HKEY key, const std::wstring& name, const std::wstring& text)
{
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// 50 groups of 100 keys of 10 values (text, number, binary).
void BuildAgentTree()
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kTop, KEY_WOW64_64KEY);
    HKEY top = Create(HKEY_LOCAL_MACHINE, kTop);
    BYTE binary[32];
    for (int i = 0; i < 32; ++i)
        binary[i] = static_cast<BYTE>(i * 7);
    for (int g = 0; g < 50; ++g) {
        HKEY group = Create(top, L"Component " + std::to_wstring(g));
        for (int k = 0; k < 100; ++k) {
            HKEY key = Create(group, L"Setting " + std::to_wstring(k));
            for (int v = 0; v < 10; ++v) {
                const std::wstring name = L"Value" + std::to_wstring(v);
                if (v % 3 == 0) {
                    SetText(key, name, L"C:\\Program Files\\Halvora\\Zorander\\part" + std::to_wstring(v) + L".dll");
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

// keys sub keys below Products, each with an InstallProperties key holding
// a display name; the last product is the agent's.
void BuildSearchTree(int products)
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kSearchTop, KEY_WOW64_64KEY);
    HKEY top = Create(HKEY_LOCAL_MACHINE, std::wstring(kSearchTop) + L"\\S-1-5-18\\Products");
    for (int p = 0; p < products; ++p) {
        HKEY product = Create(top, L"P" + std::to_wstring(100000 + p));
        HKEY properties = Create(product, L"InstallProperties");
        SetText(properties, L"Publisher", L"Another Vendor");
        SetText(properties, L"DisplayName",
                p + 1 == products ? L"Halvora Zorander" : L"Application " + std::to_wstring(p));
        RegCloseKey(properties);
        RegCloseKey(product);
    }
    RegCloseKey(top);
}

} // namespace

int main()
{
    ScopedTempDir folder(L"bench");
    ScopedTempFolderOverride temp(folder.Path());
    GetDebugLog();
    GetRegLog();

    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring reg = L"\"" + std::wstring(system) + L"\\reg.exe\" ";
    const std::wstring regFile = folder.Path() + L"reg-export.reg";

    // The machine may be shared: two rounds each, alternating, best counts.
    double ours = 1e9, theirs = 1e9;
    for (int round = 0; round < 2; ++round) {
        BuildAgentTree();
        RegistryStepLists lists;
        lists.keys = {{kTopName, false}};
        RegistryStep step(8, "registry", lists);
        double start = Now();
        step.RemoveRegistryKeys();
        double elapsed = Now() - start;
        ours = elapsed < ours ? elapsed : ours;
        HKEY left = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTop, 0, KEY_READ | KEY_WOW64_64KEY, &left) == ERROR_SUCCESS) {
            RegCloseKey(left);
            std::printf("the registry step left the tree behind\n");
            return 1;
        }

        BuildAgentTree();
        start = Now();
        const DWORD exported =
            RunProcessAndWait(reg + L"export \"HKLM\\" + kTop + L"\" \"" + regFile + L"\" /y /reg:64");
        const DWORD deleted = RunProcessAndWait(reg + L"delete \"HKLM\\" + kTop + L"\" /f /reg:64");
        elapsed = Now() - start;
        theirs = elapsed < theirs ? elapsed : theirs;
        if (exported != 0 || deleted != 0)
            std::printf("reg export/delete exit codes %lu/%lu\n", static_cast<unsigned long>(exported),
                        static_cast<unsigned long>(deleted));
    }
    std::printf("tree: 5,051 keys, 50,000 values\n");
    std::printf("RegistryStep::RemoveRegistryKeys (backup + delete): %.2f s\n", ours);
    std::printf("reg export + reg delete /f (same tree):             %.2f s\n", theirs);
    std::printf("registry step relative to reg export + delete: %.2fx faster (best of 2 rounds each)\n", theirs / ours);

    const int products = 50000;  // two keys each: 100,000 keys searched
    double start = Now();
    BuildSearchTree(products);
    std::printf("search tree: %d keys (built in %.2f s)\n", products * 2 + 3, Now() - start);
    RegistryStepLists lists;
    lists.searches = {{"HKLM\\SOFTWARE\\Halvora Bench Search\\*\\Products", "Halvora Zorander", "InstallProperties", false}};
    RegistryStep step(8, "registry", lists);
    start = Now();
    step.SearchAndRemoveRegistryKeys();
    const double searched = Now() - start;
    std::printf("RegistryStep::SearchAndRemoveRegistryKeys over %d keys: %.2f s (%.0f keys/s)\n", products * 2 + 3,
                searched, (products * 2 + 3) / searched);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kSearchTop, KEY_WOW64_64KEY);
    return 0;
}
