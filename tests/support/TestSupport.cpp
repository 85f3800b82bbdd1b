#include "support/TestSupport.h"

#include "system/UniqueHandle.h"
#include "system/XmlFile.h"

#include <cstdio>
#include <vector>

namespace {

std::wstring GetEnv(const wchar_t* name, bool& present)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    present = size > 0;
    if (!present)
        return std::wstring();
    std::vector<wchar_t> buffer(size + 1);
    GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    return buffer.data();
}

} // namespace

std::string ReadRegistryValueBytes(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& name,
                                   DWORD* type)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return "<absent>";
    DWORD size = 0;
    DWORD kind = 0;
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &kind, nullptr, &size) != ERROR_SUCCESS)
        return "<absent>";
    std::string data(size, '\0');
    if (size > 0 &&
        RegQueryValueExW(key.get(), name.c_str(), nullptr, &kind, reinterpret_cast<BYTE*>(&data[0]), &size) !=
            ERROR_SUCCESS)
        return "<absent>";
    if (type != nullptr)
        *type = kind;
    return data.substr(0, size);
}

void DeleteRegistryTree(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(root, path.c_str(), view, 0);
}

HKEY CreateRegistryKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool IsPrivilegeEnabled(HANDLE token, const wchar_t* name)
{
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
        return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (!GetTokenInformation(token, TokenPrivileges, &buffer[0], size, &size))
        return false;
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart)
            return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
}

ScopedTempDir::ScopedTempDir(const std::wstring& hint)
{
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        m_path = std::wstring(base) + hint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter) + L"\\";
        if (CreateDirectoryW(m_path.c_str(), nullptr))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            m_path.clear();
            break;
        }
    }
}

ScopedTempDir::~ScopedTempDir()
{
    if (!m_path.empty())
        RemoveTree(m_path);
}

ScopedVariable::ScopedVariable(const wchar_t* name, const std::wstring& value) : m_name(name)
{
    m_old = GetEnv(name, m_had);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedVariable::~ScopedVariable()
{
    SetEnvironmentVariableW(m_name.c_str(), m_had ? m_old.c_str() : nullptr);
}

ScopedTempFolderOverride::ScopedTempFolderOverride(const std::wstring& folder)
{
    m_oldTmp = GetEnv(L"TMP", m_hadTmp);
    m_oldTemp = GetEnv(L"TEMP", m_hadTemp);
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

ScopedTempFolderOverride::~ScopedTempFolderOverride()
{
    SetEnvironmentVariableW(L"TMP", m_hadTmp ? m_oldTmp.c_str() : nullptr);
    SetEnvironmentVariableW(L"TEMP", m_hadTemp ? m_oldTemp.c_str() : nullptr);
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD RunProcessAndWait(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& workingFolder)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring command = commandLine;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process))
        return 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 0xFFFFFFFD);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

bool LoadXmlFile(const std::wstring& path, tinyxml2::XMLDocument& doc)
{
    return LoadXmlDocument(path, doc) == tinyxml2::XML_SUCCESS;
}

void RemoveTree(const std::wstring& path)
{
    std::wstring folder = path;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(folder + name);
            else {
                SetFileAttributesW((folder + name).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW((folder + name).c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}
