// Test helper: a stand-in for the agent's meta-installer (and for a custom
// action of a test Windows Installer package).
//
//     zra-meta-installer.exe <record-file> <exit-code> [more arguments...]
//
// Appends its whole command line as one UTF-8 line to the record file
// (skipped when the file is "-") and exits with the given code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: zra-meta-installer <record-file> <exit-code> [arguments...]\n");
        return 255;
    }
    const std::wstring record = argv[1];
    if (record != L"-") {
        const wchar_t* commandLine = GetCommandLineW();
        const int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
        std::string line(size > 0 ? size - 1 : 0, '\0');
        if (size > 1)
            WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, &line[0], size, nullptr, nullptr);
        FILE* file = _wfopen(record.c_str(), L"ab");
        if (file != nullptr) {
            std::fprintf(file, "%s\n", line.c_str());
            std::fclose(file);
        }
    }
    return static_cast<int>(std::wcstol(argv[2], nullptr, 10));
}
