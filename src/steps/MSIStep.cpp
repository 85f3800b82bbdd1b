#include "steps/MSIStep.h"

#include <msi.h>

#include <map>
#include <utility>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "steps/MetaInstallerStep.h"
#include "steps/Reboot.h"
#include "system/Console.h"
#include "system/MachineChanges.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

namespace {

bool MsiRebootNeeded = false;

// A braced GUID and its terminator.
const DWORD ProductCodeLength = 39;

} // namespace

const wchar_t* const MSIStep::UninstallCommandLine =
    L"MSIRESTARTMANAGERCONTROL=0 REBOOTRETURNCODE=YES REBOOT=ReallySuppress";

void SetMsiRebootNeeded(bool needed)
{
    MsiRebootNeeded = needed;
}

bool IsMsiRebootNeeded()
{
    return MsiRebootNeeded;
}

MSIStep::MSIStep(int number, const std::string& name)
    : MSIStep(number, name, CConfiguration::GetInstance().GetProducts())
{
}

MSIStep::MSIStep(int number, const std::string& name, std::vector<ProductEntry> products)
    : BaseStep(name, number), m_products(std::move(products))
{
}

void MSIStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([this, options] {
        if (options == nullptr || !options->silent)
            ConsoleWriteLine(LongUninstallWarning);
        CallMSI();
        if (!IsMsiRebootNeeded())
            SetMsiRebootNeeded(Utils::IsPendingReboot());

        std::string reason;
        if (IsMetaInstallerRebootNeeded())
            reason = "MetaInstallerRebootNeeded";
        else if (IsMsiRebootNeeded())
            reason = "MsiRebootNeeded";
        if (reason.empty()) {
            SetStatus(StatusContinue);
            return;
        }
        if (options != nullptr)
            options->step = 4;
        SetStatus(StatusRestart);
        UninstallXmlLog::GetInstance().AddItem(RebootXmlLogItem(reason));
        Utils::SetRebootParamRun(options != nullptr ? *options : RunOptions());
    });
}

void MSIStep::CallMSI()
{
    const wchar_t* const function = L"MSIStep::CallMSI";
    WriteDebugLine(L"%ws Entry", function);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    if (m_products.empty()) {
        WriteDebugLine(L"%ws: Error: upgrade codes count is %d", function, 0);
        return;
    }
    UninstallXmlLog& resultLog = UninstallXmlLog::GetInstance();
    for (const ProductEntry& product : m_products) {
        const std::wstring upgradeCode = Utf8ToWide(product.upgradeCode);
        const std::wstring productName = Utf8ToWide(product.name);
        // The related products are listed before the first is removed:
        // every removal shortens Windows Installer's list, so an index
        // advanced past a removed product would skip the next one.
        UINT result = ERROR_NO_MORE_ITEMS;
        const std::vector<std::wstring> productCodes = EnumRelatedProducts(upgradeCode, result);
        for (const std::wstring& productCode : productCodes) {
            if (m_firstFoundPending) {
                resultLog.SetValue("MetaData", "FirstMsiFound", product.name);
                std::map<int, std::string> fields;
                fields[XmlLogField::UpgradeCode] = product.upgradeCode;
                fields[XmlLogField::TimeStamp] = GetTimeStamp();
                resultLog.UpdateLastItem(fields, "MetaData", "FirstMsiFound");
                m_firstFoundPending = false;
            }
            const std::string version = GetMsiProductVersion(productCode);
            WriteDebugLine(L"%ws: Component - %ws, UpgradeCode - %ws", function, productName.c_str(),
                           upgradeCode.c_str());
            const UINT rc = UninstallMsiProduct(productCode);
            if (rc != ERROR_SUCCESS)
                WriteDebugLine(L"%ws: Error - Uninstall product with upgrade code %ws failed. return value %d",
                               function, upgradeCode.c_str(), static_cast<int>(rc));
            resultLog.AddItem(MSIXmlLogItem(static_cast<int>(rc), product.name, product.upgradeCode, version));
            if (rc == ERROR_SUCCESS_REBOOT_INITIATED || rc == ERROR_SUCCESS_REBOOT_REQUIRED)
                SetMsiRebootNeeded(true);
        }
        if (result != ERROR_SUCCESS && result != ERROR_NO_MORE_ITEMS)
            WriteDebugLine(L"%ws: Error: enumerate Upgradecode %ws failed. return value %d", function,
                           upgradeCode.c_str(), static_cast<int>(result));
    }
    WriteDebugLine(L"%ws Exit", function);
}

std::vector<std::wstring> EnumRelatedProducts(const std::wstring& upgradeCode, UINT& result)
{
    std::vector<std::wstring> productCodes;
    for (DWORD index = 0;; ++index) {
        wchar_t productCode[ProductCodeLength] = {};
        result = MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, index, productCode);
        if (result != ERROR_SUCCESS)
            break;
        productCodes.push_back(productCode);
    }
    return productCodes;
}

std::string GetMsiProductVersion(const std::wstring& productCode)
{
    DWORD length = 0;
    if (MsiGetProductInfoExW(productCode.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, L"VersionString",
                             nullptr, &length) != ERROR_SUCCESS)
        return std::string();
    std::vector<wchar_t> buffer(length + 1, L'\0');
    length = static_cast<DWORD>(buffer.size());
    if (MsiGetProductInfoExW(productCode.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, L"VersionString",
                             buffer.data(), &length) != ERROR_SUCCESS)
        return std::string();
    return WideToUtf8(buffer.data());
}

UINT UninstallMsiProduct(const std::wstring& productCode)
{
    if (IsChangePreviewed(L"Uninstall product", productCode))
        return ERROR_SUCCESS;
    return MsiConfigureProductExW(productCode.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                                  MSIStep::UninstallCommandLine);
}
