// Test helper for users' registry hives (NTUSER.DAT files):
//   zra-hive.exe save <path below HKEY_CURRENT_USER> <hive file>
//       saves a key of the current user (64-bit view) as a hive file, the
//       way a user's hive is kept while the user is not logged on;
//   zra-hive.exe has <hive file> <path inside the hive>
//       loads the hive for a moment and tells whether it holds the key
//       (exit code 0) or not (2).
// Any other failure exits with its Win32 error code.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void EnablePrivilege(HANDLE token, const wchar_t* name)
{
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

void EnableHivePrivileges()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    EnablePrivilege(token, L"SeBackupPrivilege");
    EnablePrivilege(token, L"SeRestorePrivilege");
    CloseHandle(token);
}

int Save(const wchar_t* path, const wchar_t* file)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (result != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"zra-hive: cannot open %ls: %ld\n", path, result);
        return static_cast<int>(result);
    }
    result = RegSaveKeyW(key, file, nullptr);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        std::fwprintf(stderr, L"zra-hive: cannot save %ls: %ld\n", file, result);
    return static_cast<int>(result);
}

int Has(const wchar_t* file, const wchar_t* path)
{
    const wchar_t* const name = L"zra-hive-check";
    LONG result = RegLoadKeyW(HKEY_USERS, name, file);
    if (result != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"zra-hive: cannot load %ls: %ld\n", file, result);
        return static_cast<int>(result);
    }
    HKEY key = nullptr;
    const std::wstring full = std::wstring(name) + L"\\" + path;
    result = RegOpenKeyExW(HKEY_USERS, full.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    RegUnLoadKeyW(HKEY_USERS, name);
    return result == ERROR_SUCCESS ? 0 : static_cast<int>(result);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: zra-hive save <HKCU path> <hive file> | has <hive file> <path>\n");
        return ERROR_BAD_ARGUMENTS;
    }
    EnableHivePrivileges();
    const std::wstring command = argv[1];
    if (command == L"save")
        return Save(argv[2], argv[3]);
    if (command == L"has")
        return Has(argv[2], argv[3]);
    return ERROR_BAD_ARGUMENTS;
}
