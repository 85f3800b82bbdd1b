// Stays running until it is ended, so that the process tests can start it
// under any image name. Usage: zra-sleeper [MILLISECONDS]
// After the given time (default two minutes) it ends by itself with exit
// code 77, which tells a test that nobody terminated it.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    DWORD ms = 120000;
    if (argc > 1)
        ms = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
    Sleep(ms);
    return 77;
}
