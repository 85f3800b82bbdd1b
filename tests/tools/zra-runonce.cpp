// Test helper: does what Windows does with the tool's RunOnce entry at the
// next administrator logon. Reads "HalvoraZraCleanup" under HKEY_LOCAL_MACHINE
// Software\Microsoft\Windows\CurrentVersion\RunOnce (64-bit view), deletes
// the value, runs its command line exactly as stored with this program's
// standard handles, in the system folder as the logon does (so a relative
// path in the command line does not resolve against the folder the tool was
// first started from), and exits with the command's exit code (255 when
// there is no value or it cannot be started).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain()
{
    const wchar_t* const keyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    const wchar_t* const valueName = L"HalvoraZraCleanup";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        std::fwprintf(stderr, L"zra-runonce: no RunOnce key\n");
        return 255;
    }
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        RegCloseKey(key);
        std::fwprintf(stderr, L"zra-runonce: no RunOnce value\n");
        return 255;
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    RegDeleteValueW(key, valueName);
    RegCloseKey(key);

    std::wstring commandLine = data.data();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    wchar_t systemFolder[MAX_PATH + 1] = {};
    GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, systemFolder, &startup,
                        &process)) {
        std::fwprintf(stderr, L"zra-runonce: cannot start %ls (%lu)\n", commandLine.c_str(), GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
