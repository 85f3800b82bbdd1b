// A small Win32 service for the service tests. It reports running at once
// and honours the stop control, optionally staying in STOP_PENDING for a
// while with a chosen wait hint.
//
// Usage (as the service's command line):
//   zra-test-service NAME [--hint MS] [--pending MS] [--log FILE]
//     --hint MS     the wait hint reported while the stop is pending (0)
//     --pending MS  how long the stop stays pending; "forever" keeps it
//                   pending until the process is ended (0)
//     --log FILE    appends "stopped NAME" to FILE when the service stops
#include <windows.h>

#include <cwchar>
#include <string>

#include "system/UniqueHandle.h"

namespace {

std::wstring g_name;
std::wstring g_log;
DWORD g_hint = 0;
DWORD g_pending = 0;
bool g_pendingForever = false;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopRequested = nullptr;
DWORD g_checkPoint = 0;

void Report(DWORD state, DWORD waitHint)
{
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwWaitHint = waitHint;
    g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++g_checkPoint;
    SetServiceStatus(g_statusHandle, &g_status);
}

void AppendLog(const std::wstring& line)
{
    if (g_log.empty())
        return;
    UniqueKernelHandle file(CreateFileW(g_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    std::string bytes;
    for (wchar_t c : line)
        bytes.push_back(static_cast<char>(c));
    bytes += "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        Report(SERVICE_STOP_PENDING, g_hint);
        SetEvent(g_stopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_statusHandle = RegisterServiceCtrlHandlerExW(g_name.c_str(), Handler, nullptr);
    if (g_statusHandle == nullptr)
        return;
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(g_stopRequested, INFINITE);
    if (g_pendingForever) {
        // Stays pending; the test ends the process. Ten minutes at most.
        Sleep(600000);
    } else {
        Sleep(g_pending);
    }
    AppendLog(L"stopped " + g_name);
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    g_name = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        const std::wstring value = argv[i + 1];
        if (option == L"--hint")
            g_hint = static_cast<DWORD>(wcstoul(value.c_str(), nullptr, 10));
        else if (option == L"--pending" && value == L"forever")
            g_pendingForever = true;
        else if (option == L"--pending")
            g_pending = static_cast<DWORD>(wcstoul(value.c_str(), nullptr, 10));
        else if (option == L"--log")
            g_log = value;
    }
    UniqueKernelHandle stopRequested(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stopRequested = stopRequested.get();
    std::wstring name = g_name;
    SERVICE_TABLE_ENTRYW table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
