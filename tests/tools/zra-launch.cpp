// Test launcher: runs a program with the rest of its own command line and
// writes the program's exact exit code (Wine hands only its low byte to
// Linux) as signed decimal text to a file.
//
//   zra-launch.exe EXITCODE_FILE PROGRAM [ARGUMENTS...]
//
// Every environment variable ZRA_ENV_<NAME> sets <NAME> for the program:
// Wine fills TMP, TEMP and the profile variables itself, so tests change
// them this way.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>
#include <cwchar>

namespace {

// Skips one argument of a raw command line, by the C runtime's rules for
// the program name and the plain rules for the rest.
const wchar_t* SkipArgument(const wchar_t* p)
{
    while (*p == L' ' || *p == L'\t')
        ++p;
    bool quoted = false;
    for (; *p; ++p) {
        if (*p == L'"')
            quoted = !quoted;
        else if (!quoted && (*p == L' ' || *p == L'\t'))
            break;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: zra-launch EXITCODE_FILE PROGRAM [ARGUMENTS...]\n");
        return 255;
    }
    const wchar_t* rest = SkipArgument(SkipArgument(GetCommandLineW()));
    if (wchar_t* block = GetEnvironmentStringsW()) {
        std::vector<std::pair<std::wstring, std::wstring>> settings;
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
            const std::wstring text = entry;
            const size_t equals = text.find(L'=', 1);
            if (text.compare(0, 8, L"ZRA_ENV_") == 0 && equals != std::wstring::npos)
                settings.emplace_back(text.substr(8, equals - 8), text.substr(equals + 1));
        }
        FreeEnvironmentStringsW(block);
        for (const auto& setting : settings)
            SetEnvironmentVariableW(setting.first.c_str(), setting.second.c_str());
    }
    std::wstring commandLine = rest;

    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE h = GetStdHandle(which);
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fwprintf(stderr, L"zra-launch: cannot start %ls (error %lu)\n", commandLine.c_str(), GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    FILE* out = _wfopen(argv[1], L"w");
    if (out != nullptr) {
        std::fprintf(out, "%ld\n", static_cast<long>(static_cast<LONG>(code)));
        std::fclose(out);
    }
    return static_cast<int>(code);
}
