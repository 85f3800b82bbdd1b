#include "system/Privileges.h"

#include <aclapi.h>
#include <shlwapi.h>

#include <cstdio>

#include "system/AsciiText.h"
#include "system/Diagnostics.h"
#include "system/MachineChanges.h"
#include "system/ScopeGuards.h"
#include "system/UniqueHandle.h"

bool ParsePredefinedKey(const std::string& token, HKEY& root)
{
    struct Entry {
        const char* shortName;
        const char* longName;
        HKEY key;
    };
    static const Entry table[] = {
        {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKU", "HKEY_USERS", HKEY_USERS},
        {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const Entry& entry : table) {
        if (EqualsAsciiNoCase(token, entry.shortName) || EqualsAsciiNoCase(token, entry.longName)) {
            root = entry.key;
            return true;
        }
    }
    return false;
}

bool SetPrivilege(HANDLE token, const wchar_t* privilegeName, bool enable)
{
    const wchar_t* const op = L"SetPrivilege";
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, privilegeName, &luid)) {
        WriteDiagnosticLine(L"%ws: LookupPrivilegeValue error: %u", op, static_cast<unsigned>(GetLastError()));
        return false;
    }
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
        WriteDiagnosticLine(L"%ws: AdjustTokenPrivileges error: %u", op, static_cast<unsigned>(GetLastError()));
        return false;
    }
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        WriteDiagnosticLine(L"%ws: The token does not have the specified privilege.", op);
        return false;
    }
    return true;
}

bool TakeOwnership(const std::wstring& path)
{
    const wchar_t* const op = L"TakeOwnership";
    if (!PathFileExistsW(path.c_str()))
        return false;
    if (IsChangePreviewed(L"Take ownership", path))
        return true;

    // Declared in the reverse order of their release: the SIDs go first,
    // then the access list, then the token.
    UniqueKernelHandle token;
    UniqueLocal aclOwner;
    UniqueSid administrators;
    UniqueSid everyone;
    bool result = false;

    do {
        SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
        if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.put())) {
            everyone.release();  // a failed call gives nothing to free
            WriteDiagnosticLine(L"%ws:AllocateAndInitializeSid (Everyone) error %u", op,
                                static_cast<unsigned>(GetLastError()));
            break;
        }
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                      0, 0, 0, administrators.put())) {
            administrators.release();
            WriteDiagnosticLine(L"%ws:AllocateAndInitializeSid (Admin) error %u", op,
                                static_cast<unsigned>(GetLastError()));
            break;
        }

        EXPLICIT_ACCESSW entries[2];
        ZeroMemory(entries, sizeof(entries));
        entries[0].grfAccessPermissions = GENERIC_READ;
        entries[0].grfAccessMode = SET_ACCESS;
        entries[0].grfInheritance = CONTAINER_INHERIT_ACE;
        entries[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entries[0].Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());
        entries[1].grfAccessPermissions = GENERIC_ALL;
        entries[1].grfAccessMode = SET_ACCESS;
        entries[1].grfInheritance = CONTAINER_INHERIT_ACE;
        entries[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[1].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        entries[1].Trustee.ptstrName = static_cast<LPWSTR>(administrators.get());
        PACL acl = nullptr;
        const DWORD aclResult = SetEntriesInAclW(2, entries, nullptr, &acl);
        if (aclResult != ERROR_SUCCESS) {
            std::printf("Failed SetEntriesInAcl , error is %ld\n", static_cast<long>(aclResult));
            std::fflush(stdout);
            break;
        }
        aclOwner.reset(acl);

        std::wstring mutablePath = path;
        DWORD code = SetNamedSecurityInfoW(&mutablePath[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr);
        if (code == ERROR_SUCCESS) {
            WriteDiagnosticLine(L"%ws:Successfully changed DACL", op);
            result = true;
            break;
        }
        if (code != ERROR_ACCESS_DENIED) {
            WriteDiagnosticLine(L"%ws:First SetNamedSecurityInfo call failed: %u", op, static_cast<unsigned>(code));
            break;
        }

        // Access denied: make Administrators the owner, then try again.
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) {
            token.release();
            WriteDiagnosticLine(L"%ws:OpenProcessToken failed: %u\n", op, static_cast<unsigned>(GetLastError()));
            break;
        }
        // Enabled for the change of owner only.
        EnabledPrivilege takeOwnership(token.get(), SE_TAKE_OWNERSHIP_NAME);
        if (!takeOwnership.IsEnabled()) {
            WriteDiagnosticLine(L"%ws:You must be logged on as Administrator.", op);
            break;
        }
        code = SetNamedSecurityInfoW(&mutablePath[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                     administrators.get(), nullptr, nullptr, nullptr);
        if (code != ERROR_SUCCESS) {
            WriteDiagnosticLine(L"%ws:Could not set owner. Error: %u", op, static_cast<unsigned>(code));
            takeOwnership.Disable();
            break;
        }
        if (!takeOwnership.Disable()) {
            WriteDiagnosticLine(L"%ws:Failed SetPrivilege call unexpectedly.", op);
            break;
        }
        code = SetNamedSecurityInfoW(&mutablePath[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     acl, nullptr);
        if (code == ERROR_SUCCESS) {
            WriteDiagnosticLine(L"%ws:Successfully changed DACL", op);
            result = true;
        } else {
            WriteDiagnosticLine(L"%ws:Second SetNamedSecurityInfo call failed: %u", op, static_cast<unsigned>(code));
        }
    } while (false);

    return result;
}

bool LoadUserProfile(const std::wstring& hiveName, const std::wstring& hiveFile)
{
    const LONG code = RegLoadKeyW(HKEY_USERS, hiveName.c_str(), hiveFile.c_str());
    if (code != ERROR_SUCCESS) {
        WriteDiagnosticLine(L"%ws: RegLoadKey error: %u", L"LoadUserProfile", static_cast<unsigned>(code));
        return false;
    }
    return true;
}

void UnloadUserProfile(const std::wstring& hiveName)
{
    const LONG code = RegUnLoadKeyW(HKEY_USERS, hiveName.c_str());
    if (code != ERROR_SUCCESS)
        WriteDiagnosticLine(L"%ws: RegSaveKey error: %u", L"UnloadUserProfile", static_cast<unsigned>(code));
}
