// Test helper: holds a named mutex for a while, as a busy installer does.
//
//   zra-mutex-holder.exe NAME MILLISECONDS
//
// Creates the mutex owned, prints "holding" once it owns it, sleeps, then
// releases it and exits with 0 (1 when the mutex could not be taken).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: zra-mutex-holder NAME MILLISECONDS\n");
        return 255;
    }
    HANDLE mutex = CreateMutexW(nullptr, TRUE, argv[1]);
    if (mutex == nullptr) {
        std::fwprintf(stderr, L"zra-mutex-holder: CreateMutexW failed (%lu)\n", GetLastError());
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && WaitForSingleObject(mutex, INFINITE) == WAIT_FAILED)
        return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}
