#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "steps/BaseStep.h"

class CRegistryKey;

// Step 5: the removal of the agent's services. Each configured service is
// sent one stop control and deleted; one result item is recorded per
// service that could be opened.
class ServiceStep : public BaseStep {
public:
    // Takes the service list of the process-wide configuration.
    ServiceStep(int number, const std::string& name);
    // Takes the given service list (UTF-8 service key names).
    ServiceStep(int number, const std::string& name, std::vector<std::string> services);
    void Run(RunOptions* options) override;

    // The step body: stops and deletes every listed service and records
    // one "Services"/"service" item per service it could open.
    void RemoveServices();

    const std::vector<std::string>& GetServices() const { return m_services; }

private:
    std::vector<std::string> m_services;
};

// The operations below work on a list of service key names of their own
// (the pre-step's fixed list of the product's drivers and services). They
// log nothing; a failure only shortens the work.

// Stops every listed service that is not stopped: a stop already pending is
// waited for (polled every wait hint / 10, clamped to 1 s .. 10 s, for at
// most 30 s), the service's active dependents are stopped first, then the
// service is sent its stop control (a second one after its wait hint, 10 s
// at most, when it has not stopped at once).
void StopListedServices(const std::vector<std::string>& services);

// Stops every active dependent of the service and waits until each has
// stopped, 30 s at most for all of them together. True when every active
// dependent stopped or there was none.
bool StopActiveDependents(SC_HANDLE service, SC_HANDLE manager);

// The wait of StopListedServices for a stop already pending: sleeps a poll
// interval (from the wait hint of the last status read), queries, and ends
// when a query shows another state or once more than 30 s have passed since
// startTicks (GetTickCount), also when the queries keep failing. status
// holds the last status read.
void WaitWhileStopPending(SC_HANDLE service, SERVICE_STATUS& status, DWORD startTicks);

// The second half of StopActiveDependents, on the enumerated names: sends
// each service its stop control and waits until it has stopped, sleeping on
// its wait hint but never past 30 s after startTicks (GetTickCount).
// False as soon as one cannot be opened, stopped or queried, or the time is
// up.
bool StopServicesInTurn(SC_HANDLE manager, const std::vector<std::wstring>& services, DWORD startTicks);

// Sets "Start" = 4 (disabled) under each listed service's key where it
// reads as another value. Missing keys and unreadable values are skipped.
void DisableListedServices(const std::vector<std::string>& services);

// False when any listed service's "Start" value reads as anything but 4;
// missing keys and unreadable values do not count. True for an empty list.
bool AreListedServicesDisabled(const std::vector<std::string>& services);

// The service key of a service below HKEY_LOCAL_MACHINE:
// "System\\CurrentControlSet\\Services\\" + name. Empty for a name that
// cannot be a service key name (empty, longer than 256 characters, or
// holding "\\" or "/"), which would otherwise name another key.
std::wstring GetServiceKeyPath(const std::wstring& service);

// The pause between two status queries of a stop-pending service: a tenth
// of its wait hint, at least 1,000 ms and at most 10,000 ms.
DWORD GetStopPendingPollInterval(DWORD waitHint);

// The longest single sleep on a service's wait hint: a hint is the
// service's own estimate and may be anything up to 49 days.
static constexpr DWORD MaxWaitHintSleepMs = 10000;

// The one place where a service is sent its stop control. status receives
// what ControlService reports. Returns the ControlService result; on
// failure the thread's last-error code is the call's. A preview reports
// "Stop service" with the name and returns TRUE with a stopped status.
BOOL SendServiceStop(SC_HANDLE service, SERVICE_STATUS& status, const std::wstring& name);

// The one place where a service is deleted (it goes once its last handle
// is closed). Returns 0 or the DeleteService error code. A preview reports
// "Delete service" with the name and returns 0.
DWORD DeleteServiceByHandle(SC_HANDLE service, const std::wstring& name);

// The one place where a service's start type is changed: writes "Start" =
// 4 (disabled) into its open service key. Returns the registry result. A
// preview reports "Set registry value" through the key.
LONG DisableServiceStart(CRegistryKey& serviceKey);
