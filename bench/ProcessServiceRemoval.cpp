// Process and service removal figures, each set compared in the same run
// with Wine's own tools:
//  - ending P running processes of N configured names (P/N copies of the
//    test program per name) with the process step, then the same set with
//    "taskkill /f /im NAME" per name;
//  - stopping and deleting S running services with the service step, then
//    the same set with "sc stop NAME" and "sc delete NAME" per service.
// Usage: bench_ProcessServiceRemoval [P [N [S]]]   (default 200 20 100)
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "logs/LogFolder.h"
#include "steps/ProcessStep.h"
#include "steps/ServiceStep.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// The build puts the test programs next to the tests, one folder over.
std::wstring TestProgram(const wchar_t* name)
{
    return ProgramFolder() + L"..\\tests\\" + name;
}

std::wstring ProcessName(int i)
{
    return L"zrabench" + std::to_wstring(i) + L".exe";
}

std::wstring ServiceName(int i)
{
    return L"ZraBenchSvc" + std::to_wstring(i);
}

// Starts count copies of the sleeper spread over names image names and
// returns their handles once all are listed in a process snapshot.
std::vector<UniqueKernelHandle> StartProcesses(const std::wstring& folder, int count, int names)
{
    std::vector<UniqueKernelHandle> processes;
    for (int i = 0; i < count; ++i) {
        const std::wstring path = folder + ProcessName(i % names);
        if (!FileExists(path))
            CopyFileW(TestProgram(L"zra-sleeper.exe").c_str(), path.c_str(), FALSE);
        std::wstring commandLine = L"\"" + path + L"\" 600000";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                            &startup, &info)) {
            std::printf("cannot start %s: error %lu\n", WideToUtf8(path).c_str(), GetLastError());
            continue;
        }
        UniqueKernelHandle thread(info.hThread);
        processes.emplace_back(info.hProcess);
    }
    return processes;
}

// Waits (a minute at most) until the snapshot lists count test copies.
void WaitListed(size_t count)
{
    for (int attempt = 0; attempt < 600; ++attempt) {
        size_t listed = 0;
        UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        if (snapshot && Process32FirstW(snapshot.get(), &entry)) {
            do {
                if (wcsncmp(entry.szExeFile, L"zrabench", 8) == 0)
                    ++listed;
            } while (Process32NextW(snapshot.get(), &entry));
        }
        if (listed >= count)
            return;
        Sleep(100);
    }
}

// Waits until every process has ended; false after two minutes.
bool WaitAllEnded(const std::vector<UniqueKernelHandle>& processes)
{
    for (const auto& process : processes)
        if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0)
            return false;
    return true;
}

void EndLeftovers(const std::vector<UniqueKernelHandle>& processes)
{
    for (const auto& process : processes)
        TerminateProcess(process.get(), 1);
}

bool CreateAndStartServices(int count)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const std::wstring program = TestProgram(L"zra-test-service.exe");
    for (int i = 0; i < count; ++i) {
        const std::wstring commandLine = L"\"" + program + L"\" " + ServiceName(i);
        UniqueServiceHandle service(CreateServiceW(manager.get(), ServiceName(i).c_str(), ServiceName(i).c_str(),
                                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                   SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, commandLine.c_str(),
                                                   nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service || !StartServiceW(service.get(), 0, nullptr)) {
            std::printf("cannot create or start %s: error %lu\n", WideToUtf8(ServiceName(i)).c_str(),
                        GetLastError());
            return false;
        }
    }
    // Running means the service's own process has reported in.
    for (int i = 0; i < count; ++i) {
        UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName(i).c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        for (int attempt = 0; attempt < 600; ++attempt) {
            if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
                break;
            Sleep(50);
        }
    }
    return true;
}

// Waits until the service manager has let every service go.
void WaitServicesGone(int count)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    for (int i = 0; i < count; ++i) {
        for (int attempt = 0; attempt < 600; ++attempt) {
            UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName(i).c_str(), SERVICE_QUERY_STATUS));
            if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
                break;
            Sleep(50);
        }
    }
}

// The figures, printed together at the end after the tools' own output.
std::vector<std::string> g_figures;

void Report(const char* what, int items, double seconds)
{
    char line[200];
    std::snprintf(line, sizeof(line), "  %-44s %4d items  %8.3f s  %8.2f ms/item", what, items, seconds,
                  items > 0 ? seconds * 1000.0 / items : 0.0);
    g_figures.push_back(line);
}

void Heading(const std::string& text)
{
    g_figures.push_back(text);
}

int ArgOr(int argc, wchar_t** argv, int index, int fallback)
{
    return argc > index ? static_cast<int>(wcstol(argv[index], nullptr, 10)) : fallback;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int processCount = ArgOr(argc, argv, 1, 200);
    const int nameCount = ArgOr(argc, argv, 2, 20);
    const int serviceCount = ArgOr(argc, argv, 3, 100);
    ScopedTempDir dir(L"zrabench");
    SetLogFolderOverride(dir.Path());

    Heading("Ending " + std::to_string(processCount) + " processes of " + std::to_string(nameCount) + " names");
    std::vector<std::string> names;
    for (int i = 0; i < nameCount; ++i)
        names.push_back(WideToUtf8(ProcessName(i)));
    {
        auto processes = StartProcesses(dir.Path(), processCount, nameCount);
        WaitListed(processes.size());
        ProcessStep step(4, "Terminating ZRA processes...", names);
        const LARGE_INTEGER start = Now();
        step.TerminateProcesses();
        const double seconds = Seconds(start, Now());
        const bool ended = WaitAllEnded(processes);
        Report(ended ? "process step" : "process step (NOT ALL ENDED)", static_cast<int>(processes.size()), seconds);
        EndLeftovers(processes);
    }
    {
        auto processes = StartProcesses(dir.Path(), processCount, nameCount);
        WaitListed(processes.size());
        const LARGE_INTEGER start = Now();
        for (const auto& name : names)
            RunProcessAndWait(L"taskkill.exe /f /im " + Utf8ToWide(name));
        const double seconds = Seconds(start, Now());
        const bool ended = WaitAllEnded(processes);
        Report(ended ? "taskkill /f /im per name" : "taskkill /f /im per name (NOT ALL ENDED)",
               static_cast<int>(processes.size()), seconds);
        EndLeftovers(processes);
    }

    Heading("Stopping and deleting " + std::to_string(serviceCount) + " running services");
    std::vector<std::string> services;
    for (int i = 0; i < serviceCount; ++i)
        services.push_back(WideToUtf8(ServiceName(i)));
    if (CreateAndStartServices(serviceCount)) {
        ServiceStep step(5, "Removing ZRA services...", services);
        const LARGE_INTEGER start = Now();
        step.RemoveServices();
        Report("service step", serviceCount, Seconds(start, Now()));
        WaitServicesGone(serviceCount);
    }
    if (CreateAndStartServices(serviceCount)) {
        const LARGE_INTEGER start = Now();
        for (const auto& name : services) {
            RunProcessAndWait(L"sc.exe stop " + Utf8ToWide(name));
            RunProcessAndWait(L"sc.exe delete " + Utf8ToWide(name));
        }
        Report("sc stop + sc delete per service", serviceCount, Seconds(start, Now()));
        WaitServicesGone(serviceCount);
    }
    std::printf("\n");
    for (const auto& line : g_figures)
        std::printf("%s\n", line.c_str());
    return 0;
}
