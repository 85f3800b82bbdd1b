// Test helper: keeps a file open without delete sharing for a while, as a
// running agent process holds its own files.
//
//   zra-file-holder.exe PATH MILLISECONDS
//
// Prints "holding" once the file is open, sleeps, closes it and exits with 0
// (1 when the file could not be opened).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: zra-file-holder PATH MILLISECONDS\n");
        return 255;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"zra-file-holder: CreateFileW failed (%lu)\n", GetLastError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    CloseHandle(file);
    return 0;
}
