// The registry step's repairs of what the agent changed in Windows' own
// settings, and the removal of its driver packages and devices.
#include "steps/RegistryStep.h"

#include <setupapi.h>

#include <cstring>
#include <map>

#include "logs/Log.h"
#include "steps/RegistryText.h"
#include "system/TextConvert.h"

namespace {

const wchar_t* const kRestoreRDPValues = L"RegistryStep::RestoreRDPValues";
const wchar_t* const kRestoreRegistryValues = L"RegistryStep::RestoreRegistryValues";
const wchar_t* const kRemoveAppInitValue = L"RegistryStep::RemoveAppInitValue";
const wchar_t* const kRestoreKbdMouseValues = L"RegistryStep::RestoreKbdMouseValues";
const wchar_t* const kRemoveVideoSubKeys = L"RegistryStep::RemoveVideoSubKeys";
const wchar_t* const kRemovePnpDriver = L"RegistryStep::RemovePnpDriver";
const wchar_t* const kRemovePnpDevice = L"RegistryStep::RemovePnpDevice";

const REGSAM kReadWriteCreate = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F

// Entries the agent added to Windows' lists, all under HKEY_LOCAL_MACHINE.
struct ListEntry {
    const wchar_t* entry;
    const wchar_t* valueName;
    const wchar_t* key;  // as logged, with "HKLM\"
};
const ListEntry kListEntries[] = {
    {L"NrvVmBoot", L"BootExecute", L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"},
    {L"PKpaClientNetwork", L"ProviderOrder", L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order"},
    {L"PKpaClientNetwork", L"ProviderOrder", L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\HwOrder"},
    {L"C:\\Program Files (x86)\\Halvora\\system32\\hvrauth", L"Security Packages",
     L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Lsa"},
    {L"HvrQdsFlt", L"UpperFilters",
     L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}"},
    {L"NrvVmAgent", L"DependOnService", L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer"},
    {L"NrvVmAgent", L"DependOnService", L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanWorkStation"},
};

struct AppInitEntry {
    REGSAM view;
    const wchar_t* entry;
    const wchar_t* valueName;
    const wchar_t* key;
};
const AppInitEntry kAppInitEntries[] = {
    {KEY_WOW64_64KEY, L"QUILLHOOK", L"AppInit_DLLs", L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows"},
    {KEY_WOW64_32KEY, L"QUILLHOOK", L"AppInit_DLLs", L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows"},
};

const wchar_t* WithoutHive(const wchar_t* key)
{
    return key + 5;  // "HKLM\"
}

// A value's whole data, read after asking for its size; false when the
// value cannot be read.
bool ReadValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < 4; ++attempt) {
        data.assign(size + sizeof(wchar_t), 0);
        DWORD read = size;
        result = RegQueryValueExW(key, name, nullptr, &type, data.data(), &read);
        if (result == ERROR_SUCCESS) {
            data.resize(read);
            return true;
        }
        if (result == ERROR_MORE_DATA) {
            size = read;
            result = ERROR_SUCCESS;
        }
    }
    return false;
}

std::vector<wchar_t> AsCharacters(const std::vector<BYTE>& data)
{
    std::vector<wchar_t> chars(data.size() / sizeof(wchar_t));
    if (!chars.empty())
        std::memcpy(chars.data(), data.data(), chars.size() * sizeof(wchar_t));
    return chars;
}

std::wstring AsText(const std::vector<BYTE>& data)
{
    const std::vector<wchar_t> chars = AsCharacters(data);
    std::wstring text(chars.begin(), chars.end());
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos)
        text.resize(nul);
    return text;
}

LONG WriteText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text)
{
    return SetRepairedValue(key, name, type, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LONG WriteCharacters(HKEY key, const wchar_t* name, DWORD type, const std::vector<wchar_t>& chars)
{
    return SetRepairedValue(key, name, type, reinterpret_cast<const BYTE*>(chars.data()),
                            static_cast<DWORD>(chars.size() * sizeof(wchar_t)));
}

// SetupGetInfPublishedNameW, taken from setupapi.dll when the program runs:
// older import libraries do not declare it.
typedef BOOL(WINAPI* SetupGetInfPublishedNameWFn)(PCWSTR, PWSTR, DWORD, PDWORD);

SetupGetInfPublishedNameWFn GetInfPublishedNameFunction()
{
    HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
    if (setupapi == nullptr)
        setupapi = LoadLibraryW(L"setupapi.dll");
    if (setupapi == nullptr)
        return nullptr;
    return reinterpret_cast<SetupGetInfPublishedNameWFn>(
        reinterpret_cast<void*>(GetProcAddress(setupapi, "SetupGetInfPublishedNameW")));
}

// The two device-level changes: uninstalling a driver package from the
// driver store and removing a device with its registry keys.
bool UninstallDriverPackage(const std::wstring& publishedName)
{
    return SetupUninstallOEMInfW(publishedName.c_str(), SUOI_FORCEDELETE, nullptr) != FALSE;
}

void RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_BOTH);
    SetupDiRemoveDevice(set, &device);
}

} // namespace

LONG SetRepairedValue(HKEY key, const std::wstring& valueName, DWORD type, const BYTE* data, DWORD size)
{
    return RegSetValueExW(key, valueName.c_str(), 0, type, data, size);
}

void RegistryStep::RestoreRDPValues()
{
    const wchar_t* const op = kRestoreRDPValues;
    WriteDebugLine(L"%ws Entry", op);
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp",
                      0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
        const wchar_t* const backupName = L"HalvoraBackupRdpTcpLoadableProtocol_Object";
        DWORD type = REG_NONE;
        DWORD size = 0;
        LONG result = RegQueryValueExW(key.get(), backupName, nullptr, &type, nullptr, &size);
        if (result != ERROR_SUCCESS) {
            WriteDebugLine(L"%ws: Fail to query RDP registry value backup with error %ld", op, static_cast<long>(result));
        } else {
            std::vector<BYTE> data(size + 1, 0);
            DWORD read = size;
            result = RegQueryValueExW(key.get(), backupName, nullptr, &type, data.data(), &read);
            if (result != ERROR_SUCCESS) {
                WriteDebugLine(L"%ws: Fail to query RDP registry value backup with error %ld", op,
                               static_cast<long>(result));
            } else {
                result = SetRepairedValue(key.get(), L"LoadableProtocol_Object", type, data.data(), read);
                if (result == ERROR_SUCCESS)
                    WriteDebugLine(L"%ws: Successfully reset RDP registry value to default", op);
                else
                    WriteDebugLine(L"%ws: Fail to reset RDP registry value to default with error %ld", op,
                                   static_cast<long>(result));
            }
        }
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::RestoreRegistryValues()
{
    const wchar_t* const op = kRestoreRegistryValues;
    WriteDebugLine(L"%ws Entry", op);
    RemoveAppInitValue();
    for (const ListEntry& row : kListEntries) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WithoutHive(row.key), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            continue;
        DWORD type = REG_NONE;
        DWORD size = 0;
        const LONG result = RegQueryValueExW(key.get(), row.valueName, nullptr, &type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) {
            WriteDebugLine(L"%ws: reg value %s -> %s does not exist", op, row.key, row.valueName);
            continue;
        }
        std::vector<BYTE> data;
        if (result != ERROR_SUCCESS || !ReadValue(key.get(), row.valueName, type, data))
            continue;
        bool removed = false;
        if (type == REG_MULTI_SZ) {
            std::vector<wchar_t> chars = AsCharacters(data);
            removed = RemoveMultiStringEntry(chars, row.entry);
            if (removed)
                WriteCharacters(key.get(), row.valueName, type, chars);
        } else if (type == REG_SZ) {
            std::wstring text = AsText(data);
            removed = RemoveListEntry(text, row.entry);
            if (removed)
                WriteText(key.get(), row.valueName, type, text);
        }
        if (!removed)
            WriteDebugLine(L"%ws: Error: reg values %s -> %s does not exist", op, row.key, row.entry);
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::RemoveAppInitValue()
{
    const wchar_t* const op = kRemoveAppInitValue;
    for (const AppInitEntry& row : kAppInitEntries) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WithoutHive(row.key), 0, KEY_ALL_ACCESS | row.view, key.put()) !=
            ERROR_SUCCESS)
            continue;
        DWORD type = REG_NONE;
        DWORD size = 0;
        const LONG result = RegQueryValueExW(key.get(), row.valueName, nullptr, &type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) {
            WriteDebugLine(L"%ws: reg values %s -> %s does not exist", op, row.key, row.valueName);
            continue;
        }
        std::vector<BYTE> data;
        if (result != ERROR_SUCCESS || !ReadValue(key.get(), row.valueName, type, data))
            continue;
        bool erased = false;
        if (type == REG_SZ) {
            std::wstring text = AsText(data);
            erased = RemoveAppInitEntry(text, row.entry);
            if (erased)
                WriteText(key.get(), row.valueName, type, text);
        }
        if (!erased)
            WriteDebugLine(L"%ws: Error: reg values %s -> %s does not exist", op, row.key, row.entry);
    }
}

void RegistryStep::RestoreKbdMouseValues()
{
    const wchar_t* const op = kRestoreKbdMouseValues;
    WriteDebugLine(L"%ws Entry", op);
    // Ordered by key: the keyboard class first.
    const std::map<std::wstring, std::wstring> filters = {
        {L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96B-E325-11CE-BFC1-08002BE10318}", L"zkbdflt"},
        {L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96F-E325-11CE-BFC1-08002BE10318}", L"zmouflt"},
    };
    for (const auto& filter : filters) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, filter.first.c_str(), 0, kReadWriteCreate, key.put()) != ERROR_SUCCESS)
            continue;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        if (!ReadValue(key.get(), L"UpperFilters", type, data) || type != REG_MULTI_SZ)
            continue;
        std::vector<wchar_t> chars = AsCharacters(data);
        if (!RemoveMultiStringEntry(chars, filter.second))
            continue;
        if (WriteCharacters(key.get(), L"UpperFilters", type, chars) == ERROR_SUCCESS)
            WriteDebugLine(L"%ws: Successfully reset filter driver %ws", op, filter.second.c_str());
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::RemoveVideoSubKeys()
{
    const wchar_t* const op = kRemoveVideoSubKeys;
    const wchar_t* const videoPath = L"SYSTEM\\CurrentControlSet\\Control\\Video";
    WriteDebugLine(L"%ws Entry", op);
    WriteDebugLine(L"%ws Entry %ws", op, videoPath);
    UniqueRegKey video;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, videoPath, 0, kReadWriteCreate, video.put()) != ERROR_SUCCESS) {
        WriteDebugLine(L"%ws Open reg key - %ws - failed", op, videoPath);
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t adapter[128];
        const LONG result = RegEnumKeyW(video.get(), index, adapter, 128);
        if (result == ERROR_NO_MORE_ITEMS) {
            WriteDebugLine(L"%ws Enum Reg key Done - No More Items", op);
            return;
        }
        if (result != ERROR_SUCCESS)
            return;
        const std::wstring subkeyPath = std::wstring(adapter) + L"\\Video";
        UniqueRegKey subkey;
        const LONG opened =
            RegOpenKeyExW(video.get(), subkeyPath.c_str(), 0, kReadWriteCreate | KEY_WOW64_32KEY, subkey.put());
        if (opened != ERROR_SUCCESS) {
            WriteDebugLine(L"%ws Open reg key - %ws - failed reason %d", op, subkeyPath.c_str(), static_cast<int>(opened));
            continue;
        }
        WriteDebugLine(L"%ws Open Reg Key - %ws - Passed", op, subkeyPath.c_str());
        for (DWORD valueIndex = 0;; ++valueIndex) {
            wchar_t name[32] = {};
            wchar_t data[17] = {};  // 32 bytes read, one more character for the terminator
            DWORD nameLength = 32;
            DWORD dataSize = 32;
            const LONG enumerated = RegEnumValueW(subkey.get(), valueIndex, name, &nameLength, nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(data), &dataSize);
            if (enumerated == ERROR_NO_MORE_ITEMS)
                break;
            if (enumerated != ERROR_SUCCESS)
                continue;
            WriteDebugLine(L"Key value:    %ws = %ws", name, data);
            if (_wcsicmp(data, L"zgfx") != 0)
                continue;
            WriteDebugLine(L"Zgfx Found - %ws = %ws", name, data);
            const LONG written = WriteText(subkey.get(), name, REG_SZ, L"vga");
            if (written == ERROR_SUCCESS)
                WriteDebugLine(L"Reg Set value - %ws  %ws", subkeyPath.c_str(), name);
            else
                WriteDebugLine(L"Reg Set value - %ws  %ws Failed reason %d", subkeyPath.c_str(), name,
                               static_cast<int>(written));
        }
    }
}

void RegistryStep::RemovePnpDriver()
{
    const wchar_t* const op = kRemovePnpDriver;
    WriteDebugLine(L"%ws Entry", op);
    wchar_t systemFolder[256];
    const UINT length = GetSystemDirectoryW(systemFolder, 256);
    if (length == 0 || length >= 256) {
        WriteDebugLine(L"%ws: Get system32 folder failed, error code :%ld", op, static_cast<long>(GetLastError()));
        return;
    }
    for (const std::string& driver : m_lists.drivers) {
        const std::wstring driverName = Utf8ToWide(driver);
        const DriverPackageSearch search = MakeDriverPackageSearch(systemFolder, driverName);
        WIN32_FIND_DATAW found;
        UniqueFindHandle packages(FindFirstFileExW(search.pattern.c_str(), FindExInfoStandard, &found,
                                                   FindExSearchLimitToDirectories, nullptr, 0));
        if (!packages)
            continue;
        do {
            const std::wstring infPath = search.folder + found.cFileName + L"\\" + search.infName;
            const SetupGetInfPublishedNameWFn getPublishedName = GetInfPublishedNameFunction();
            wchar_t publishedName[260] = {};
            if (getPublishedName == nullptr || !getPublishedName(infPath.c_str(), publishedName, 260, nullptr)) {
                const DWORD error = getPublishedName == nullptr ? ERROR_PROC_NOT_FOUND : GetLastError();
                WriteDebugLine(L"%ws: Error in SetupGetInfPublishedName of driver %s, error %ld", op,
                               driverName.c_str(), static_cast<long>(error));
                continue;
            }
            if (UninstallDriverPackage(publishedName))
                WriteDebugLine(L"%ws: Succeed in %ws driver removal", op, driverName.c_str());
        } while (FindNextFileW(packages.get(), &found));
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::RemovePnpDevice()
{
    const wchar_t* const op = kRemovePnpDevice;
    WriteDebugLine(L"%ws Entry", op);
    RemovePnpDriver();
    UniqueDeviceInfoSet devices(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (devices) {
        for (DWORD index = 0;; ++index) {
            SP_DEVINFO_DATA device;
            std::memset(&device, 0, sizeof(device));
            device.cbSize = sizeof(device);
            if (!SetupDiEnumDeviceInfo(devices.get(), index, &device))
                break;
            std::vector<BYTE> buffer;
            DWORD required = 0;
            bool read = false;
            for (int attempt = 0; attempt < 4; ++attempt) {
                if (SetupDiGetDeviceRegistryPropertyW(devices.get(), &device, SPDRP_SERVICE, nullptr,
                                                      buffer.empty() ? nullptr : buffer.data(),
                                                      static_cast<DWORD>(buffer.size()), &required)) {
                    read = true;
                    break;
                }
                if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                    break;
                buffer.assign(required + sizeof(wchar_t), 0);
            }
            if (!read || buffer.empty())
                continue;
            const std::wstring service = AsText(buffer);
            if (service.empty() || !IsAgentDriverService(service, m_lists.drivers))
                continue;
            WriteDebugLine(L"Remove device related to service: %ws", service.c_str());
            RemoveDevice(devices.get(), device);
        }
    }
    WriteDebugLine(L"%ws Exit", op);
}
