#include "steps/SpecialZRAStep.h"

#include <windows.h>

#include <msi.h>

#include <cstdio>
#include <exception>

#include "config/AgentProductData.h"
#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "steps/Reboot.h"
#include "steps/ServiceStep.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

SpecialZRAStep::SpecialZRAStep(int number, const std::string& name)
    : BaseStep(name, number)
{
}

std::vector<std::string> SpecialZRAStep::GetSpecialVersionDrivers()
{
    std::vector<std::string> drivers;
    for (const wchar_t* driver : ZraSpecialVersionDrivers)
        drivers.push_back(WideToUtf8(driver));
    return drivers;
}

bool SpecialZRAStep::IsSpecialRelease(const std::string& version, bool windows8OrLater)
{
    bool special = false;
    if (version.size() >= 7) {
        int major = 0, minor = 0, build = 0, revision = 0;
        if (std::sscanf(version.c_str(), "%d.%d.%d.%d", &major, &minor, &build, &revision) >= 2)
            special = major >= 7 && minor >= 7 && minor <= 11;
    }
    return special && windows8OrLater;
}

bool SpecialZRAStep::ShouldRun()
{
    // Both are asked, so that the version always reaches the text log.
    const std::string version = GetZraVersion();
    const bool windows8OrLater = IsWindows8OrLater();
    return IsSpecialRelease(version, windows8OrLater);
}

void SpecialZRAStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    try {
        std::string reason;
        int status = StatusContinue;
        if (ShouldRun()) {
            reason = "Stop services to reduce uninstall time";
            const std::vector<std::string> drivers = GetSpecialVersionDrivers();
            if (options != nullptr && options->noReboot) {
                StopListedServices(drivers);
                status = StatusContinue;
            } else {
                if (!AreListedServicesDisabled(drivers))
                    DisableListedServices(drivers);
                status = StatusRestart;
            }
        } else if (Utils::IsPendingReboot()) {
            status = StatusRestart;
            reason = "Pending Reboot";
        }
        if (options != nullptr)
            options->step = 2;
        SetStatus(status);
        if (status == StatusRestart) {
            UninstallXmlLog::GetInstance().AddItem(RebootXmlLogItem(reason));
            Utils::SetRebootParamRun(options != nullptr ? *options : RunOptions());
        }
    } catch (const std::exception&) {
        SetStatus(StatusFailed);
    }
}

std::string GetZraVersion()
{
    const wchar_t* const function = L"GetZraVersion";
    wchar_t productCode[39] = {};
    UINT result = MsiEnumRelatedProductsW(ZraBrokerUpgradeCode, 0, 0, productCode);
    if (result == ERROR_NO_MORE_ITEMS) {
        WriteDebugLine(L"%ws: Did not find ZRA msi on system", function);
        return std::string();
    }
    if (result != ERROR_SUCCESS) {
        WriteDebugLine(L"%ws: Error: MsiEnumRelatedProducts returned %d", function, static_cast<int>(result));
        return std::string();
    }
    wchar_t version[40] = {};
    DWORD length = 40;
    result = MsiGetProductInfoW(productCode, L"VersionString", version, &length);
    if (result != ERROR_SUCCESS) {
        WriteDebugLine(L"%ws: Error: MsiGetProductInfo returned %d", function, static_cast<int>(result));
        return std::string();
    }
    WriteDebugLine(L"%ws: Found ZRA version: %ws", function, version);
    return WideToUtf8(version);
}

bool IsWindows8OrLater()
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 2;
    info.wServicePackMajor = 0;
    DWORDLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}
