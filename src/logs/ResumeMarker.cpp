#include "logs/ResumeMarker.h"

#include "system/RegistryKey.h"

namespace {

const wchar_t* const kMarkerKey = L"Software\\Microsoft\\Windows\\CurrentVersion";
const wchar_t* const kMarkerValue = L"HvrZraCleanupOverwriteLog";
const wchar_t* const kTempFolderValue = L"HalvoraTempFolder";

} // namespace

void SetOverwriteLogMarker()
{
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (key)
        key->SetDwordValue(kMarkerValue, 0);
}

bool IsOverwriteLogMarkerSet()
{
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
    if (!key)
        return false;
    DWORD value = 0;
    return key->QueryDwordValue(kMarkerValue, value) == ERROR_SUCCESS;
}

void ClearOverwriteLogMarker()
{
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (!key)
        return;
    key->DeleteValue(kMarkerValue);
    key->DeleteValue(kTempFolderValue);
}

// The remembered cleanup temp folder; used by the log folder logic.
bool ReadRememberedTempFolder(std::wstring& folder)
{
    folder.clear();
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY);
    return key && key->QueryStringValue(kTempFolderValue, folder) == ERROR_SUCCESS;
}

void RememberTempFolder(const std::wstring& folder)
{
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (key)
        key->SetStringValue(kTempFolderValue, folder);
}
