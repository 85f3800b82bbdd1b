#include "steps/DriverStep.h"

#include <windows.h>

#include <utility>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "steps/Reboot.h"
#include "steps/RemovalRecord.h"
#include "steps/ServiceStep.h"
#include "system/RegistryKey.h"
#include "system/ScopeGuards.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

const DWORD ServiceDisabled = 4;  // SERVICE_DISABLED

} // namespace

DriverStep::DriverStep(int number, const std::string& name)
    : DriverStep(number, name, CConfiguration::GetInstance().GetDrivers())
{
}

DriverStep::DriverStep(int number, const std::string& name, std::vector<std::string> drivers)
    : BaseStep(name, number), m_drivers(std::move(drivers))
{
}

void DriverStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([this, options] {
        const bool driverReboot = options != nullptr && options->driverReboot;
        m_rebootRequired = DisableandRemoveDrivers(driverReboot);
        if (!Utils::IsPendingReboot() && !m_rebootRequired) {
            SetStatus(StatusContinue);
            return;
        }
        if (options != nullptr) {
            options->driverReboot = true;
            options->step = 6;
        }
        SetStatus(StatusDriverRestart);
        UninstallXmlLog::GetInstance().AddItem(RebootXmlLogItem("Driver Reboot"));
        Utils::SetDriverRebootFlag(true);
    });
}

bool DriverStep::DisableandRemoveDrivers(bool driverReboot)
{
    const wchar_t* const function = L"DriverStep::DisableandRemoveDrivers";
    WriteDebugLine(L"%ws Entry", function);
    bool result = false;

    UniqueServiceHandle manager(OpenSCManagerW(nullptr, L"ServicesActive", STANDARD_RIGHTS_REQUIRED));
    if (!manager) {
        WriteDebugLine(L"%ws: Error: OpenSCManager failed, error %d", function, static_cast<int>(GetLastError()));
        return false;
    }
    for (const std::string& driver : m_drivers) {
        const std::wstring wideName = Utf8ToWide(driver);
        UniqueServiceHandle service(
            OpenServiceW(manager.get(), wideName.c_str(), STANDARD_RIGHTS_REQUIRED | SERVICE_STOP));
        if (!service) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST)
                WriteDebugLine(L"%ws: Error: OpenService %ws failed, error %ld", function, wideName.c_str(),
                               static_cast<long>(error));
            continue;
        }
        result = true;
        SERVICE_STATUS status = {};
        if (!SendServiceStop(service.get(), status, wideName)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_NOT_ACTIVE)
                WriteDebugLine(L"%ws: Error: Stop Service %ws failed, error %ld", function, wideName.c_str(),
                               static_cast<long>(error));
        }
        const DWORD code = DeleteServiceByHandle(service.get(), wideName);
        if (code != 0)
            WriteDebugLine(L"%ws: Error: Delete Service %ws failed, error %ld", function, wideName.c_str(),
                           static_cast<long>(code));
        RecordRemoval(RemovalKind::Driver, driver, static_cast<long>(code));
    }
    manager.reset();

    // Backup and restore rights for reading and deleting the service keys;
    // whether they could be enabled is only logged by the guards.
    UniqueKernelHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
    EnabledPrivilege backup(token.get(), L"SeBackupPrivilege");
    EnabledPrivilege restore(token.get(), L"SeRestorePrivilege");

    for (const std::string& driver : m_drivers) {
        const std::wstring path = GetServiceKeyPath(Utf8ToWide(driver));
        if (path.empty())
            continue;
        if (driverReboot) {
            const auto key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
            if (!key)
                continue;
            key->ExportRegistryKeyAndSubkeys(HKEY_LOCAL_MACHINE, path);
            key->DeleteKeyAndSubkeys();
        } else {
            const auto key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_SET_VALUE);
            if (!key)
                continue;
            DWORD start = 0;
            if (key->QueryDwordValue(L"Start", start) == ERROR_SUCCESS && start != ServiceDisabled) {
                DisableServiceStart(*key);
                result = true;
            }
        }
    }

    backup.Disable();
    restore.Disable();
    token.reset();
    WriteDebugLine(L"%ws Exit", function);
    return result;
}
