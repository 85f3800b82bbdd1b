#pragma once
#include <windows.h>

#include <string>

#include <tinyxml2.h>

// A fresh folder under the process's temp folder, removed with everything
// in it when the object goes.
class ScopedTempDir {
public:
    explicit ScopedTempDir(const std::wstring& hint = L"zra");
    ~ScopedTempDir();
    const std::wstring& Path() const { return m_path; }  // with trailing backslash
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

private:
    std::wstring m_path;
};

// Sets an environment variable of the process for the object's lifetime;
// the earlier value (or its absence) comes back afterwards.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::wstring m_name, m_old;
    bool m_had = false;
};

// Points the process's temp folder (TMP and TEMP) at another folder for the
// object's lifetime, so that the log folder logic picks it up.
class ScopedTempFolderOverride {
public:
    explicit ScopedTempFolderOverride(const std::wstring& folder);
    ~ScopedTempFolderOverride();

private:
    std::wstring m_oldTmp, m_oldTemp;
    bool m_hadTmp = false, m_hadTemp = false;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// Registry helpers of the tests. Each names its registry view
// (KEY_WOW64_64KEY or KEY_WOW64_32KEY): a 32-bit test process would
// otherwise be redirected to the 32-bit view for paths under Software.
// DeleteRegistryTree removes root\path with everything below it (a missing
// key is fine); CreateRegistryKey returns an open key to be closed by the
// caller, or null.
void DeleteRegistryTree(HKEY root, const std::wstring& path, REGSAM view);
HKEY CreateRegistryKey(HKEY root, const std::wstring& path, REGSAM view);
// The raw bytes of root\path's value name in the view, its type in *type
// when given; "<absent>" when it cannot be read.
std::string ReadRegistryValueBytes(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& name,
                                   DWORD* type = nullptr);

// Whether the privilege is enabled on the token right now.
bool IsPrivilegeEnabled(HANDLE token, const wchar_t* name);

// Runs a command line and waits for it; a process still running after the
// time-out is ended. Returns its exit code, 0xFFFFFFFF when it could not be
// started, 0xFFFFFFFE when its code could not be read.
DWORD RunProcessAndWait(const std::wstring& commandLine, DWORD timeoutMs = 120000,
                        const std::wstring& workingFolder = std::wstring());

// Loads an XML file through a wide path; false when it is missing or not a
// whole document.
bool LoadXmlFile(const std::wstring& path, tinyxml2::XMLDocument& doc);
