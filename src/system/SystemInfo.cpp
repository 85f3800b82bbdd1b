#include "system/SystemInfo.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <tinyxml2.h>

#include "system/AsciiText.h"
#include "system/Diagnostics.h"
#include "system/XmlFile.h"
#include "system/Format.h"
#include "system/RegistryKey.h"
#include "system/TextConvert.h"

namespace {

// The program's own values are read in the 64-bit view, query access only.
const REGSAM QueryAccess = KEY_QUERY_VALUE | KEY_WOW64_64KEY;

const wchar_t* const MetaInstallKey = L"SOFTWARE\\Halvora\\MetaInstall";
const wchar_t* const ZraVersionsKey = L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander";
const wchar_t* const ZraUpgradeKey = L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander\\History\\Upgrade";
const wchar_t* const ZraInitialInstallKey =
    L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander\\History\\Initial Install";
const wchar_t* const ZraUninstallKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Halvora Zorander";
const wchar_t* const ZraProductName = L"Halvora Zorander";
const wchar_t* const SessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::shared_ptr<CRegistryKey> OpenMachineKey(const wchar_t* path)
{
    return CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, QueryAccess);
}

// The string data of the first value whose name contains the given text;
// empty when there is none.
std::string FirstStringValueNamed(CRegistryKey& key, const wchar_t* nameContains)
{
    std::vector<std::wstring> names;
    if (key.EnumerateValueNames(names) != ERROR_SUCCESS)
        return std::string();
    for (const std::wstring& name : names) {
        if (name.find(nameContains) == std::wstring::npos)
            continue;
        std::wstring data;
        if (key.QueryStringValue(name.c_str(), data) != ERROR_SUCCESS)
            return std::string();
        return WideToUtf8(data);
    }
    return std::string();
}

// The extended version record as RtlGetVersion fills it; zero when the
// function is missing.
RTL_OSVERSIONINFOEXW QueryOsVersion()
{
    RTL_OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    typedef LONG(WINAPI * RtlGetVersionFn)(PRTL_OSVERSIONINFOEXW);
    if (HMODULE ntdll = GetModuleHandleW(L"NTDLL")) {
        RtlGetVersionFn rtlGetVersion =
            reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (rtlGetVersion != nullptr && rtlGetVersion(&info) != 0) {
            ZeroMemory(&info, sizeof(info));
        }
    }
    return info;
}

const char* ProductName(DWORD major, DWORD minor, bool server)
{
    if (major == 6 && minor == 1)
        return server ? "Windows Server 2008 R2" : "Windows 7";
    if (major == 6 && minor == 2)
        return server ? "Windows Server 2012" : "Windows 8";
    if (major == 6 && minor == 3)
        return server ? "Windows Server 2012 R2" : "Windows 8.1";
    if (major == 10 && minor == 0)
        return server ? "Windows Server 2016" : "Windows 10";
    return "";
}

const char* EditionName(const RTL_OSVERSIONINFOEXW& info)
{
    typedef BOOL(WINAPI * GetProductInfoFn)(DWORD, DWORD, DWORD, DWORD, PDWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return "";
    GetProductInfoFn getProductInfo =
        reinterpret_cast<GetProductInfoFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetProductInfo")));
    if (getProductInfo == nullptr)
        return "";
    DWORD type = 0;
    if (!getProductInfo(info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor, info.wServicePackMinor,
                        &type))
        return "";
    switch (type) {
    case 1:
        return " Ultimate";
    case 2:
        return " HomeBasic";
    case 4:
        return " Enterprise";
    case 7:
        return " Standard";
    default:
        return "";
    }
}

} // namespace

std::string GetOSDescription()
{
    const RTL_OSVERSIONINFOEXW info = QueryOsVersion();
    std::string text = ProductName(info.dwMajorVersion, info.dwMinorVersion, IsServerOS());
    text += EditionName(info);
    text += IsWow64() ? " x64 " : " x86 ";
    text += FormatNarrow("%lu", static_cast<unsigned long>(info.dwBuildNumber));
    return text;
}

bool IsServerOS()
{
    OSVERSIONINFOEXW wanted;
    ZeroMemory(&wanted, sizeof(wanted));
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.wProductType = VER_NT_WORKSTATION;
    const DWORDLONG condition = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return !VerifyVersionInfoW(&wanted, VER_PRODUCT_TYPE, condition);
}

bool IsWow64()
{
    static const bool wow64 = [] {
        typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
        HMODULE kernel = GetModuleHandleW(L"kernel32");
        if (kernel == nullptr)
            return false;
        IsWow64ProcessFn isWow64Process =
            reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
        BOOL result = FALSE;
        if (isWow64Process == nullptr || !isWow64Process(GetCurrentProcess(), &result))
            return false;
        return result != FALSE;
    }();
    return wow64;
}

std::string GetMachineId()
{
    std::shared_ptr<CRegistryKey> key = OpenMachineKey(MetaInstallKey);
    std::wstring id;
    if (!key || key->QueryStringValue(L"MachineID", id) != ERROR_SUCCESS)
        return std::string();
    return WideToUtf8(id);
}

int GetZraInstallationType()
{
    if (!OpenMachineKey(ZraVersionsKey))
        return 2;
    return OpenMachineKey(ZraUpgradeKey) ? 0 : 1;
}

std::string GetZraPreviousVersion()
{
    if (GetZraInstallationType() != 0)
        return std::string();
    std::shared_ptr<CRegistryKey> key = OpenMachineKey(ZraInitialInstallKey);
    std::vector<std::wstring> states;
    if (!key || key->QueryMulStringValue(L"Pre-existing State", states) != ERROR_SUCCESS || states.empty())
        return std::string();
    const std::wstring& first = states.front();
    const size_t colon = first.find(L':');
    return WideToUtf8(colon == std::wstring::npos ? first : first.substr(colon + 1));
}

std::string GetZraCurrentVersion()
{
    if (std::shared_ptr<CRegistryKey> versions = OpenMachineKey(ZraVersionsKey))
        return FirstStringValueNamed(*versions, ZraProductName);
    if (std::shared_ptr<CRegistryKey> uninstall = OpenMachineKey(ZraUninstallKey))
        return FirstStringValueNamed(*uninstall, L"DisplayVersion");
    return std::string();
}

namespace Utils {

std::string GetZraVersionFromXmlLog(const std::wstring& path)
{
    const wchar_t* const operation = L"Utils::GetZraVersionFromXmlLog";
    WriteDiagnosticLine(L"%ws Entry", operation);

    tinyxml2::XMLDocument document;
    const tinyxml2::XMLError error = LoadXmlDocument(path, document);
    if (error != tinyxml2::XML_SUCCESS) {
        WriteDiagnosticLine(L"%ws failed. Open xml log file failed with %d", operation, static_cast<int>(error));
        return std::string();
    }

    std::string version;
    const tinyxml2::XMLElement* element = document.FirstChildElement("Uninstall");
    if (element != nullptr)
        element = element->FirstChildElement("MetaData");
    if (element != nullptr)
        element = element->FirstChildElement("CurrentVersion");
    if (element != nullptr && element->GetText() != nullptr)
        version = element->GetText();

    WriteDiagnosticLine(L"%ws Exit", operation);
    return version;
}

bool IsPendingReboot()
{
    const wchar_t* const operation = L"Utils::IsPendingReboot";
    WriteDiagnosticLine(L"%ws Entry", operation);

    bool pending = false;
    std::vector<std::wstring> renames;
    std::shared_ptr<CRegistryKey> key = OpenMachineKey(SessionManagerKey);
    if (key && key->QueryMulStringValue(L"PendingFileRenameOperations", renames) == ERROR_SUCCESS) {
        for (const std::wstring& entry : renames) {
            if (ToAsciiUpper(WideToUtf8(entry)).find("HALVORA") != std::string::npos)
                pending = true;
        }
    }

    WriteDiagnosticLine(L"%ws Exit", operation);
    return pending;
}

} // namespace Utils
