#pragma once
#include <windows.h>

#include <string>

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
