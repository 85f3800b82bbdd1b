#include "steps/ServiceStep.h"

#include <memory>
#include <new>
#include <utility>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "steps/RemovalRecord.h"
#include "system/MachineChanges.h"
#include "system/RegistryKey.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

// How long a stop already pending, and all dependents of one service
// together, are waited for.
const DWORD StopWaitLimitMs = 30000;

const DWORD ServiceDisabled = 4;  // SERVICE_DISABLED

DWORD Elapsed(DWORD startTicks)
{
    return GetTickCount() - startTicks;  // wraps correctly
}

// Opens the service's key for reading and writing "Start"; empty when the
// name is no service key name or the key does not open.
std::shared_ptr<CRegistryKey> OpenServiceKey(const std::string& service)
{
    const std::wstring path = GetServiceKeyPath(Utf8ToWide(service));
    if (path.empty())
        return std::shared_ptr<CRegistryKey>();
    return CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_SET_VALUE);
}

} // namespace

ServiceStep::ServiceStep(int number, const std::string& name)
    : ServiceStep(number, name, CConfiguration::GetInstance().GetServices())
{
}

ServiceStep::ServiceStep(int number, const std::string& name, std::vector<std::string> services)
    : BaseStep(name, number), m_services(std::move(services))
{
}

void ServiceStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([this] {
        RemoveServices();
        SetStatus(StatusContinue);
    });
}

void ServiceStep::RemoveServices()
{
    const wchar_t* const function = L"ServiceStep::RemoveServices";
    WriteDebugLine(L"%ws Entry", function);
    if (m_services.empty()) {
        WriteDebugLine(L"%ws: Error: services count is %d", function, static_cast<int>(m_services.size()));
        return;
    }
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, L"ServicesActive", STANDARD_RIGHTS_REQUIRED));
    if (!manager) {
        WriteDebugLine(L"%ws: Error: OpenSCManager failed, error %d", function, static_cast<int>(GetLastError()));
        return;
    }
    for (const std::string& service : m_services) {
        const std::wstring wideName = Utf8ToWide(service);
        UniqueServiceHandle handle(
            OpenServiceW(manager.get(), wideName.c_str(), STANDARD_RIGHTS_REQUIRED | SERVICE_STOP));
        if (!handle) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST)
                WriteDebugLine(L"%ws: Error: OpenService %ws failed, error %ld", function, wideName.c_str(),
                               static_cast<long>(error));
            continue;
        }
        SERVICE_STATUS status = {};
        if (!SendServiceStop(handle.get(), status, wideName)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_NOT_ACTIVE)
                WriteDebugLine(L"%ws: Error: Stop Service %ws failed, error %ld", function, wideName.c_str(),
                               static_cast<long>(error));
        }
        const DWORD code = DeleteServiceByHandle(handle.get(), wideName);
        if (code != 0)
            WriteDebugLine(L"%ws: Error: Delete Service %ws failed, error %ld", function, wideName.c_str(),
                           static_cast<long>(code));
        RecordRemoval(RemovalKind::Service, service, static_cast<long>(code));
    }
    manager.reset();
    WriteDebugLine(L"%ws Exit", function);
}

namespace {

// Whether the named service is known to be stopped (a preview's look at a
// service whose handle may lack the right to query it).
bool IsServiceKnownStopped(const std::wstring& name)
{
    if (name.empty())
        return false;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    return service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
}

} // namespace

BOOL SendServiceStop(SC_HANDLE service, SERVICE_STATUS& status, const std::wstring& name)
{
    // A stopped service takes no stop control: the real call fails with
    // ERROR_SERVICE_NOT_ACTIVE, and so does the preview.
    if (IsPreviewMode() && IsServiceKnownStopped(name)) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (IsChangePreviewed(L"Stop service", name)) {
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWaitHint = 0;
        return TRUE;
    }
    return ControlService(service, SERVICE_CONTROL_STOP, &status);
}

DWORD DeleteServiceByHandle(SC_HANDLE service, const std::wstring& name)
{
    if (IsChangePreviewed(L"Delete service", name))
        return 0;
    return DeleteService(service) ? 0 : GetLastError();
}

LONG DisableServiceStart(CRegistryKey& serviceKey)
{
    return serviceKey.SetDwordValue(L"Start", ServiceDisabled);
}

DWORD GetStopPendingPollInterval(DWORD waitHint)
{
    DWORD interval = waitHint / 10;
    if (interval < 1000)
        interval = 1000;
    if (interval > 10000)
        interval = 10000;
    return interval;
}

void StopListedServices(const std::vector<std::string>& services)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return;
    for (const std::string& name : services) {
        const std::wstring wideName = Utf8ToWide(name);
        UniqueServiceHandle service(OpenServiceW(manager.get(), wideName.c_str(), SERVICE_ALL_ACCESS));
        if (!service)
            continue;
        const DWORD start = GetTickCount();
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.get(), &status))
            continue;
        if (status.dwCurrentState == SERVICE_STOPPED)
            continue;
        if (status.dwCurrentState == SERVICE_STOP_PENDING)
            WaitWhileStopPending(service.get(), status, start);
        StopActiveDependents(service.get(), manager.get());
        // ControlService fills the status only for some failures; what the
        // last query showed stands otherwise.
        SERVICE_STATUS stopStatus = status;
        SendServiceStop(service.get(), stopStatus, wideName);  // a failure is ignored
        if (stopStatus.dwCurrentState != SERVICE_STOPPED) {
            DWORD pause = stopStatus.dwWaitHint;
            if (pause > MaxWaitHintSleepMs)
                pause = MaxWaitHintSleepMs;
            Sleep(pause);
            SERVICE_STATUS again = {};
            SendServiceStop(service.get(), again, wideName);
        }
    }
}

void WaitWhileStopPending(SC_HANDLE service, SERVICE_STATUS& status, DWORD startTicks)
{
    for (;;) {
        Sleep(GetStopPendingPollInterval(status.dwWaitHint));
        SERVICE_STATUS queried = {};
        if (QueryServiceStatus(service, &queried)) {
            status = queried;
            if (status.dwCurrentState != SERVICE_STOP_PENDING)
                return;
        }
        if (Elapsed(startTicks) > StopWaitLimitMs)
            return;
    }
}

bool StopActiveDependents(SC_HANDLE service, SC_HANDLE manager)
{
    const DWORD start = GetTickCount();
    DWORD bytesNeeded = 0;
    DWORD count = 0;
    if (EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &bytesNeeded, &count))
        return true;
    if (GetLastError() != ERROR_MORE_DATA || bytesNeeded == 0)
        return false;

    // ENUM_SERVICE_STATUSW records followed by their strings; new[] gives
    // the records their alignment.
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[bytesNeeded]());
    if (!buffer)
        return false;
    auto* dependents = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.get());
    if (!EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, bytesNeeded, &bytesNeeded, &count))
        return false;

    std::vector<std::wstring> names;
    for (DWORD i = 0; i < count; ++i)
        names.push_back(dependents[i].lpServiceName ? dependents[i].lpServiceName : L"");
    return StopServicesInTurn(manager, names, start);
}

bool StopServicesInTurn(SC_HANDLE manager, const std::vector<std::wstring>& services, DWORD startTicks)
{
    for (const std::wstring& name : services) {
        UniqueServiceHandle dependent(OpenServiceW(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (!dependent)
            return false;
        SERVICE_STATUS stopStatus = {};
        if (!SendServiceStop(dependent.get(), stopStatus, name))
            return false;
        SERVICE_STATUS_PROCESS status = {};
        status.dwCurrentState = stopStatus.dwCurrentState;
        status.dwWaitHint = stopStatus.dwWaitHint;
        while (status.dwCurrentState != SERVICE_STOPPED) {
            // Sleep on the service's wait hint, but never past the limit
            // shared by all of them.
            const DWORD elapsed = Elapsed(startTicks);
            DWORD pause = status.dwWaitHint;
            const DWORD remaining = elapsed < StopWaitLimitMs ? StopWaitLimitMs - elapsed : 0;
            if (pause > remaining)
                pause = remaining;
            Sleep(pause);
            DWORD bytes = 0;
            if (!QueryServiceStatusEx(dependent.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                      sizeof(status), &bytes))
                return false;
            if (status.dwCurrentState == SERVICE_STOPPED)
                break;
            if (Elapsed(startTicks) > StopWaitLimitMs)
                return false;
        }
    }
    return true;
}

std::wstring GetServiceKeyPath(const std::wstring& service)
{
    if (service.empty() || service.size() > 256 || service.find_first_of(L"\\/") != std::wstring::npos)
        return std::wstring();
    return L"System\\CurrentControlSet\\Services\\" + service;
}

void DisableListedServices(const std::vector<std::string>& services)
{
    for (const std::string& name : services) {
        const auto key = OpenServiceKey(name);
        if (!key)
            continue;
        DWORD start = 0;
        if (key->QueryDwordValue(L"Start", start) != ERROR_SUCCESS)
            continue;
        if (start != ServiceDisabled)
            DisableServiceStart(*key);
    }
}

bool AreListedServicesDisabled(const std::vector<std::string>& services)
{
    bool disabled = true;
    for (const std::string& name : services) {
        const auto key = OpenServiceKey(name);
        if (!key)
            continue;
        DWORD start = 0;
        if (key->QueryDwordValue(L"Start", start) == ERROR_SUCCESS && start != ServiceDisabled)
            disabled = false;
    }
    return disabled;
}
