#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

// The printable name of a predefined root key: L"HKEY_LOCAL_MACHINE", ...;
// L"" for any other handle.
const wchar_t* GetRootKeyName(HKEY root);

// Where a key really lives, in the form a registration-entries file names
// it: the kernel's name of an open key ("\REGISTRY\MACHINE\...",
// "\REGISTRY\USER\...") turned into a root name and a path. Keys of the
// current user (the kernel name of HKEY_CURRENT_USER is currentUserName;
// its classes live in currentUserName + "_Classes") keep their
// HKEY_CURRENT_USER form when root is HKEY_CURRENT_USER or HKEY_CLASSES_ROOT;
// other user keys are named under HKEY_USERS and machine keys under
// HKEY_LOCAL_MACHINE. False when the name has neither form.
bool TranslateKernelKeyName(const std::wstring& kernelName, HKEY root, const std::wstring& currentUserName,
                            std::wstring& rootName, std::wstring& path);

// The kernel's name of an open key (NtQueryKey with KeyNameInformation,
// looked up in ntdll at run time); false when it cannot be read.
bool QueryKernelKeyName(HKEY key, std::wstring& name);

// One open registry key. Created only by Open and held through a shared
// pointer; the last holder closes the handle. The registry-view bits of the
// access mask (KEY_WOW64_64KEY / KEY_WOW64_32KEY) are kept and reused for
// sub keys, deletion and the exports. Every failure is written to the text
// log; the Win32 code is returned to the caller.
class CRegistryKey {
public:
    // An empty pointer when the key does not open (a missing key is silent).
    static std::shared_ptr<CRegistryKey> Open(HKEY root, const std::wstring& path, REGSAM access);
    virtual ~CRegistryKey();

    HKEY GetHandle() const;
    REGSAM GetViewFlags() const;     // access & 0x300

    LONG DeleteValue(const std::wstring& name);
    LONG SetDwordValue(const std::wstring& name, DWORD value);
    LONG SetStringValue(const std::wstring& name, const std::wstring& text);
    LONG QueryValue(const std::wstring& name, DWORD& type, std::vector<BYTE>& data);
    LONG QueryDwordValue(const std::wstring& name, DWORD& value);
    LONG QueryStringValue(const std::wstring& name, std::wstring& text);
    LONG QueryMulStringValue(const std::wstring& name, std::vector<std::wstring>& values);
    void EnumerateSubkeyNames(std::vector<std::wstring>& names);
    LONG EnumerateValueNames(std::vector<std::wstring>& names);
    // Deletes this key with everything below it, deepest keys first.
    LONG DeleteKeyAndSubkeys();

    // Builds one registration-entries value line ("name"=data) into line;
    // line is left empty when the value cannot be given a line.
    void GetValueDataPair(DWORD type, const std::wstring& name, DWORD nameLength, const BYTE* data, DWORD size, std::wstring& line);
    // Write the key tree, or the single value under its key header, to the
    // registry backup "RegBackup.reg". They open their own handle from root
    // and path, in this key's registry view. Each key is written under the
    // path where it really lives, so that a key read through the 32-bit
    // view on 64-bit Windows is restored there (under Wow6432Node) by an
    // import without a view switch.
    LONG ExportRegistryKeyAndSubkeys(HKEY root, const std::wstring& path);
    LONG ExportRegistryValue(HKEY root, const std::wstring& path, const std::wstring& valueName);

    CRegistryKey(const CRegistryKey&) = delete; CRegistryKey& operator=(const CRegistryKey&) = delete;

private:
    CRegistryKey(HKEY handle, REGSAM viewFlags);
    // Exports root\path; a sub key is opened through its parent's handle.
    // headerPath is where the key is expected to live in the backup's
    // terms (root name and path), corrected by the key's real location.
    LONG ExportTree(HKEY root, const wchar_t* rootName, const std::wstring& path, HKEY parent,
                    const std::wstring& nameInParent, const std::wstring& headerRoot,
                    const std::wstring& headerPath);

    HKEY m_handle;
    REGSAM m_viewFlags;
};
