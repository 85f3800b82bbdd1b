#include "logs/ResumeMarker.h"

#include "system/MachineChanges.h"
#include "system/RegistryKey.h"

namespace {

const wchar_t* const kMarkerKey = L"Software\\Microsoft\\Windows\\CurrentVersion";
const wchar_t* const kMarkerValue = L"HvrZraCleanupOverwriteLog";
const wchar_t* const kTempFolderValue = L"HalvoraTempFolder";

// Set when this process turned the marker on (it was not set before).
bool g_markerSetByThisProcess = false;

} // namespace

// A preview leaves no state behind for a later run: the marker and the
// remembered folder are neither written nor removed.
void SetOverwriteLogMarker()
{
    if (IsPreviewMode())
        return;
    const bool wasSet = g_markerSetByThisProcess || IsOverwriteLogMarkerSet();
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (key && key->SetDwordValue(kMarkerValue, 0) == ERROR_SUCCESS && !wasSet)
        g_markerSetByThisProcess = true;
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
    if (IsPreviewMode())
        return;
    g_markerSetByThisProcess = false;
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (!key)
        return;
    key->DeleteValue(kMarkerValue);
    key->DeleteValue(kTempFolderValue);
}

bool IsResumingEarlierRun()
{
    return !g_markerSetByThisProcess && IsOverwriteLogMarkerSet();
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
    if (IsPreviewMode())
        return;
    std::shared_ptr<CRegistryKey> key =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, kMarkerKey, KEY_SET_VALUE | KEY_WOW64_64KEY);
    if (key)
        key->SetStringValue(kTempFolderValue, folder);
}
