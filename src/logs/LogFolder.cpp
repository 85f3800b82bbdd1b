#include "logs/LogFolder.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "logs/ResumeMarker.h"
#include "system/UniqueHandle.h"

namespace {

std::wstring& LogFolderOverride()
{
    static std::wstring value;
    return value;
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Length of the part of the path that names a volume rather than a folder
// and so is never created: "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\".
size_t RootLength(const std::wstring& path)
{
    auto skipComponents = [&path](size_t pos, int count) {
        while (count-- > 0 && pos < path.size()) {
            while (pos < path.size() && !IsSeparator(path[pos]))
                ++pos;
            if (pos < path.size())
                ++pos;
        }
        return pos;
    };
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
            if (path.compare(4, 4, L"UNC\\") == 0)
                return skipComponents(8, 2);
            return skipComponents(4, 1);
        }
        return skipComponents(2, 2);
    }
    return 0;
}

} // namespace

void SetLogFolderOverride(const std::wstring& folder)
{
    LogFolderOverride() = folder;
}

const std::wstring& GetLogFolderOverride()
{
    return LogFolderOverride();
}

unsigned long CreateDirectoryPath(const std::wstring& path)
{
    std::wstring full = path;
    if (full.empty() || !IsSeparator(full.back()))
        full += L'\\';
    const size_t root = RootLength(full);
    for (size_t i = 0; i < full.size(); ++i) {
        if (!IsSeparator(full[i]) || i + 1 <= root)
            continue;
        const std::wstring prefix = full.substr(0, i + 1);
        if (GetFileAttributesW(prefix.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                return error != 0 ? error : ERROR_PATH_NOT_FOUND;
        }
    }
    return 0;
}

namespace {

std::wstring GetFreshCleanupTempFolder()
{
    std::wstring base;
    const DWORD needed = GetTempPathW(0, nullptr);
    if (needed > 0) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length > 0 && length < buffer.size())
            base.assign(buffer.data(), length);
    }
    if (base.empty())
        return L"./";
    if (!IsSeparator(base.back()))
        base += L'\\';
    return base + L"halvora\\";
}

} // namespace

std::wstring GetCleanupTempFolder()
{
    // A run started while the resume marker is set continues in the first
    // run's folder; a missing record leaves the base empty.
    if (IsOverwriteLogMarkerSet()) {
        std::wstring remembered;
        ReadRememberedTempFolder(remembered);
        if (!remembered.empty() && !IsSeparator(remembered.back()))
            remembered += L'\\';
        return remembered;
    }
    const std::wstring folder = GetFreshCleanupTempFolder();
    RememberTempFolder(folder);
    return folder;
}

std::wstring GetLogFolder()
{
    std::wstring folder = GetCleanupTempFolder() + L"ZraCleanup\\";
    CreateDirectoryPath(folder);
    const std::wstring& override = GetLogFolderOverride();
    if (!override.empty()) {
        std::wstring base = override;
        if (!IsSeparator(base.back()))
            base += L'\\';
        folder = base + L"ZraCleanup\\";
        CreateDirectoryPath(folder);
    }
    return folder;
}

std::wstring GetFullPath(const std::wstring& path)
{
    if (path.empty())
        return path;
    std::vector<wchar_t> buffer(512);
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0)
            return path;
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

std::wstring GetLogFilePath(const std::wstring& folder, const std::wstring& fileName)
{
    return GetFullPath(folder + L"\\" + fileName);
}

bool IsUsableLogFolder(const std::wstring& folder, unsigned long& error)
{
    std::wstring base = folder;
    if (base.empty() || !IsSeparator(base.back()))
        base += L'\\';
    const DWORD attributes = GetFileAttributesW(base.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        return false;
    }
    // A name no other file has: the process and the moment.
    wchar_t name[64];
    swprintf(name, 64, L"ZraCleanupProbe-%lu-%llu.tmp", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(GetTickCount64()));
    // Removed by the system when the handle closes.
    const UniqueKernelHandle probe(CreateFileW((base + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN |
                                                   FILE_FLAG_DELETE_ON_CLOSE,
                                               nullptr));
    if (!probe) {
        error = GetLastError();
        return false;
    }
    error = 0;
    return true;
}
