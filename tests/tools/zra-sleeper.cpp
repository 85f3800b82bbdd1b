// Stays running until it is ended, so that the process tests can start it
// under any image name. Usage: zra-sleeper [MILLISECONDS [READY-FILE]]
// Once running it creates READY-FILE, if given. After the given time
// (default two minutes) it ends by itself with exit code 77, which tells a
// test that nobody terminated it.
#include <windows.h>

#include <cwchar>

#include "system/UniqueHandle.h"

int wmain(int argc, wchar_t** argv)
{
    DWORD ms = 120000;
    if (argc > 1)
        ms = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
    if (argc > 2)
        UniqueKernelHandle ready(
            CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    Sleep(ms);
    return 77;
}
