#include "system/FileRemoval.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <userenv.h>

#include <cwchar>

#include "system/Diagnostics.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/UniqueHandle.h"

#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif

namespace {

const wchar_t* const OperationName = L"DeleteFileOrDirectory";

// The shell's file-operation engine and the interfaces used with it.
const CLSID FileOperationClass = {0x3AD05575, 0x8857, 0x4850, {0x92, 0x77, 0x11, 0xB8, 0x5B, 0xDB, 0x8E, 0x09}};
const IID FileOperationInterface = {0x947AAB5F, 0x0A5C, 0x4C13, {0xB4, 0xD6, 0x4B, 0xF7, 0x83, 0x6F, 0xC9, 0xF8}};
const IID ShellItemInterface = {0x43826D1E, 0xE718, 0x42EE, {0xBC, 0x55, 0xA1, 0xE2, 0x61, 0xC3, 0x7B, 0xFE}};

// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI, without FOF_ALLOWUNDO:
// no progress window, no questions, no error dialogs, no recycle bin.
const DWORD ShellDeleteFlags = 0x414;

bool IsMissingCode(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The "\\?\" form of an absolute path, which lifts the MAX_PATH limit.
std::wstring ToExtendedPath(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    if (path.size() >= 2 && path[1] == L':')
        return L"\\\\?\\" + path;
    return path;
}

// Releases a COM interface pointer when the scope is left.
template <typename T>
struct ComRelease {
    T* pointer = nullptr;
    ~ComRelease()
    {
        if (pointer != nullptr)
            pointer->Release();
    }
};

bool EqualNoCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength)
{
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

// The components of a normalized path; the first is the root ("C:" or
// "\\server\share").
std::vector<std::wstring> SplitComponents(const std::wstring& path)
{
    if (path.compare(0, 2, L"\\\\") != 0)
        return SplitAtBackslashes(path);
    size_t server = path.find(L'\\', 2);
    size_t share = server == std::wstring::npos ? std::wstring::npos : path.find(L'\\', server + 1);
    std::vector<std::wstring> parts{path.substr(0, share)};
    if (share == std::wstring::npos)
        return parts;
    const std::vector<std::wstring> rest = SplitAtBackslashes(path, share + 1);
    parts.insert(parts.end(), rest.begin(), rest.end());
    return parts;
}

class WindowsFileSystem : public FileSystemAccess {
public:
    DWORD ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) override
    {
        entries.clear();
        WIN32_FIND_DATAW data;
        UniqueFindHandle search(FindFirstFileExW((ToExtendedPath(folder) + L"\\*").c_str(), FindExInfoBasic, &data,
                                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (!search) {
            const DWORD code = GetLastError();
            return code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES ? 0 : code;
        }
        do {
            if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
                continue;
            FolderEntry entry;
            entry.name = data.cFileName;
            entry.attributes = data.dwFileAttributes;
            entry.reparseTag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
            entries.push_back(entry);
        } while (FindNextFileW(search.get(), &data));
        const DWORD code = GetLastError();
        return code == ERROR_NO_MORE_FILES ? 0 : code;
    }

    DWORD QueryEntry(const std::wstring& path, FolderEntry& entry) override
    {
        entry = FolderEntry();
        if (path.find_first_of(L"*?") != std::wstring::npos)
            return ERROR_INVALID_NAME;
        const std::wstring extended = ToExtendedPath(path);
        const DWORD attributes = GetFileAttributesW(extended.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return GetLastError();
        entry.attributes = attributes;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            WIN32_FIND_DATAW data;
            UniqueFindHandle search(
                FindFirstFileExW(extended.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
            if (search)
                entry.reparseTag = data.dwReserved0;
        }
        return 0;
    }

    DWORD RemoveEntry(const std::wstring& path, const FolderEntry& entry) override
    {
        const std::wstring extended = ToExtendedPath(path);
        if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0)
            ClearReadOnly(extended, entry);
        const BOOL removed =
            entry.IsDirectory() ? RemoveDirectoryW(extended.c_str()) : DeleteFileW(extended.c_str());
        return removed ? 0 : GetLastError();
    }

private:
    static void ClearReadOnly(const std::wstring& extended, const FolderEntry& entry)
    {
        const DWORD attributes = entry.attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
                                                      FILE_ATTRIBUTE_REPARSE_POINT);
        if (!entry.IsLink()) {
            SetFileAttributesW(extended.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes);
            return;
        }
        // A link's own attributes are changed through a handle to the link,
        // so that its target is not touched.
        UniqueKernelHandle link(CreateFileW(extended.c_str(), FILE_WRITE_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
        if (!link)
            return;
        FILE_BASIC_INFO info;
        ZeroMemory(&info, sizeof(info));
        info.FileAttributes = entry.attributes & ~FILE_ATTRIBUTE_READONLY;
        SetFileInformationByHandle(link.get(), FileBasicInfo, &info, sizeof(info));
    }
};

void AddProtected(std::vector<ProtectedFolder>& folders, const std::wstring& path, int depth)
{
    const std::wstring normalized = NormalizeDeletionPath(path);
    if (!normalized.empty())
        folders.push_back(ProtectedFolder{normalized, depth});
}

std::wstring Expand(const wchar_t* text)
{
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = ExpandEnvironmentStringsW(text, buffer, MAX_PATH * 2);
    if (length == 0 || length > MAX_PATH * 2)
        return std::wstring();
    std::wstring value(buffer);
    // An unset variable stays as it was written.
    return value.find(L'%') == std::wstring::npos ? value : std::wstring();
}

// What an entry looks like when the path itself is reported: the tail of
// the real path below root, appended to the shown root.
std::wstring ShownEntryPath(const std::wstring& root, const std::wstring& shownRoot, const std::wstring& path)
{
    return shownRoot + path.substr(root.size());
}

bool PathExists(const std::wstring& path)
{
    if (path.size() < MAX_PATH)
        return PathFileExistsW(path.c_str()) != FALSE;
    return GetFileAttributesW(ToExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The shell's deletion. Sets result to the HRESULT of the last call made
// and shellUnavailable when the engine cannot be used here at all.
bool DeleteWithShell(const std::wstring& path, const std::wstring& shownPath, HRESULT& result,
                     bool& shellUnavailable)
{
    shellUnavailable = false;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    result = hr;
    if (FAILED(hr)) {
        shellUnavailable = true;
        return false;
    }
    auto uninitialize = MakeScopeExit([] { CoUninitialize(); });

    ComRelease<IFileOperation> operation;
    hr = CoCreateInstance(FileOperationClass, nullptr,
                          CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                          FileOperationInterface, reinterpret_cast<void**>(&operation.pointer));
    result = hr;
    if (FAILED(hr)) {
        shellUnavailable = true;
        return false;
    }
    bool notImplemented = false;
    hr = operation.pointer->SetOperationFlags(ShellDeleteFlags);
    result = hr;
    notImplemented = notImplemented || hr == E_NOTIMPL;
    if (SUCCEEDED(hr)) {
        ComRelease<IShellItem> item;
        hr = SHCreateItemFromParsingName(path.c_str(), nullptr, ShellItemInterface,
                                         reinterpret_cast<void**>(&item.pointer));
        result = hr;
        if (SUCCEEDED(hr)) {
            hr = operation.pointer->DeleteItem(item.pointer, nullptr);
            result = hr;
            notImplemented = notImplemented || hr == E_NOTIMPL;
        }
    }
    hr = operation.pointer->PerformOperations();
    result = hr;
    notImplemented = notImplemented || hr == E_NOTIMPL;
    if (notImplemented) {
        shellUnavailable = true;
        return false;
    }
    if (FAILED(hr)) {
        WriteDiagnosticLine(L"%ws: Deleting %ws ERROR: IFileOperation failed with error %ld", OperationName,
                       shownPath.c_str(), static_cast<long>(hr));
        return false;
    }
    return true;
}

}  // namespace

bool FolderEntry::IsLink() const
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    // A reparse point of unknown kind counts as a link: it is removed as
    // itself rather than entered.
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

FileSystemAccess::~FileSystemAccess() = default;

FileSystemAccess& GetWindowsFileSystem()
{
    static WindowsFileSystem fileSystem;
    return fileSystem;
}

std::wstring NormalizeDeletionPath(const std::wstring& path)
{
    std::wstring text = path;
    if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        text = L"\\\\" + text.substr(8);
    else if (text.compare(0, 4, L"\\\\?\\") == 0)
        text = text.substr(4);
    for (wchar_t& c : text) {
        if (c == L'/')
            c = L'\\';
    }
    const bool drive = text.size() >= 3 && text[1] == L':' && text[2] == L'\\' &&
                       ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
    const bool unc = text.size() > 2 && text.compare(0, 2, L"\\\\") == 0 && text[2] != L'?' && text[2] != L'.';
    if (!drive && !unc)
        return std::wstring();
    // "." and ".." never name a target; a path that needs them is refused
    // rather than resolved.
    size_t start = drive ? 3 : 2;
    while (start <= text.size()) {
        size_t end = text.find(L'\\', start);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring part = text.substr(start, end - start);
        if (part == L"." || part == L"..")
            return std::wstring();
        if (part.find_first_of(L"*?\"<>|:") != std::wstring::npos)
            return std::wstring();
        start = end + 1;
    }

    std::vector<wchar_t> buffer(text.size() + MAX_PATH);
    DWORD length = GetFullPathNameW(text.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    std::wstring full(buffer.data(), length);

    // Short (8.3) names are replaced by the long ones where the path exists.
    const std::wstring extended = ToExtendedPath(full);
    length = GetLongPathNameW(extended.c_str(), nullptr, 0);
    if (length != 0) {
        std::vector<wchar_t> longBuffer(length + 1);
        const DWORD written = GetLongPathNameW(extended.c_str(), longBuffer.data(), length + 1);
        if (written != 0 && written <= length) {
            full.assign(longBuffer.data(), written);
            if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0)
                full = L"\\\\" + full.substr(8);
            else if (full.compare(0, 4, L"\\\\?\\") == 0)
                full = full.substr(4);
        }
    }
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return full;
}

bool IsProtectedLocation(const std::wstring& normalizedPath, const std::vector<ProtectedFolder>& folders,
                         bool isFolder)
{
    if (!isFolder)
        return false;
    const std::vector<std::wstring> parts = SplitComponents(normalizedPath);
    // A drive root ("C:") or a share ("\\server\share") on its own.
    if (parts.size() <= 1)
        return true;
    for (const ProtectedFolder& folder : folders) {
        const std::vector<std::wstring> protectedParts = SplitComponents(folder.path);
        const size_t common = parts.size() < protectedParts.size() ? parts.size() : protectedParts.size();
        size_t same = 0;
        while (same < common && EqualNoCase(parts[same].c_str(), parts[same].size(), protectedParts[same].c_str(),
                                            protectedParts[same].size()))
            ++same;
        if (same < common)
            continue;
        // The path is the protected folder, lies above it, or lies within
        // its protected depth below it.
        if (parts.size() <= protectedParts.size())
            return true;
        if (static_cast<int>(parts.size() - protectedParts.size()) <= folder.depth)
            return true;
    }
    return false;
}

std::vector<ProtectedFolder> GetProtectedFolders()
{
    std::vector<ProtectedFolder> folders;
    wchar_t buffer[MAX_PATH + 1];
    std::wstring windows;
    if (GetWindowsDirectoryW(buffer, MAX_PATH + 1) != 0) {
        windows = buffer;
        AddProtected(folders, windows, 1);
        for (const wchar_t* name : {L"\\System32", L"\\SysWOW64", L"\\Sysnative"})
            AddProtected(folders, windows + name, 1);
    }
    if (GetSystemWindowsDirectoryW(buffer, MAX_PATH + 1) != 0)
        AddProtected(folders, buffer, 1);
    if (GetSystemDirectoryW(buffer, MAX_PATH + 1) != 0)
        AddProtected(folders, buffer, 1);
    if (GetSystemWow64DirectoryW(buffer, MAX_PATH + 1) != 0)
        AddProtected(folders, buffer, 1);
    for (const wchar_t* name :
         {L"%ProgramFiles%", L"%ProgramFiles(x86)%", L"%ProgramW6432%", L"%CommonProgramFiles%",
          L"%CommonProgramFiles(x86)%", L"%CommonProgramW6432%", L"%ProgramData%", L"%ALLUSERSPROFILE%",
          L"%ProgramData%\\Microsoft"})
        AddProtected(folders, Expand(name), 0);
    // Every profile down to its AppData\Local, Roaming and LocalLow.
    DWORD size = MAX_PATH + 1;
    if (GetProfilesDirectoryW(buffer, &size))
        AddProtected(folders, buffer, 3);
    AddProtected(folders, Expand(L"%SystemDrive%\\Users"), 3);
    AddProtected(folders, Expand(L"%USERPROFILE%"), 2);
    AddProtected(folders, Expand(L"%PUBLIC%"), 1);
    if (GetTempPathW(MAX_PATH + 1, buffer) != 0)
        AddProtected(folders, buffer, 0);
    return folders;
}

DeletionCheck CheckDeletionTarget(const std::wstring& path, const std::vector<ProtectedFolder>& folders,
                                  FileSystemAccess& fileSystem)
{
    const std::wstring normalized = NormalizeDeletionPath(path);
    if (normalized.empty())
        return DeletionCheck::BadPath;
    // A path that cannot be looked at counts as a folder.
    FolderEntry target;
    const bool isFolder = fileSystem.QueryEntry(normalized, target) != 0 || target.IsDirectory();
    if (IsProtectedLocation(normalized, folders, isFolder))
        return DeletionCheck::Protected;
    // Every folder between the root and the path must be a real folder: a
    // link there would carry the deletion somewhere else.
    const std::vector<std::wstring> parts = SplitComponents(normalized);
    std::wstring ancestor = parts[0];
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
        ancestor += L"\\" + parts[i];
        FolderEntry entry;
        if (fileSystem.QueryEntry(ancestor, entry) == 0 && entry.IsLink())
            return DeletionCheck::ThroughLink;
    }
    return DeletionCheck::Allowed;
}

DWORD RemoveTree(const std::wstring& path, FileSystemAccess& fileSystem, const std::wstring& shownPath)
{
    struct Pending {
        std::wstring path;
        FolderEntry entry;
        bool listed;
    };
    FolderEntry top;
    DWORD code = fileSystem.QueryEntry(path, top);
    if (code != 0)
        return IsMissingCode(code) ? 0 : code;

    DWORD firstError = 0;
    const std::wstring& shownRoot = shownPath.empty() ? path : shownPath;
    auto note = [&](const std::wstring& entryPath, DWORD entryCode) {
        if (entryCode == 0 || IsMissingCode(entryCode))
            return;
        // A folder left behind by a failure below it needs no line of its own.
        if (!(entryCode == ERROR_DIR_NOT_EMPTY && firstError != 0))
            WriteDiagnosticLine(L"%ws: Error: cannot delete %ws: %ld", OperationName,
                           ShownEntryPath(path, shownRoot, entryPath).c_str(), static_cast<long>(entryCode));
        if (firstError == 0)
            firstError = entryCode;
    };

    std::vector<Pending> stack;
    stack.push_back(Pending{path, top, false});
    std::vector<FolderEntry> entries;
    while (!stack.empty()) {
        Pending& current = stack.back();
        if (!current.entry.IsDirectory() || current.entry.IsLink() || current.listed) {
            note(current.path, fileSystem.RemoveEntry(current.path, current.entry));
            stack.pop_back();
            continue;
        }
        current.listed = true;
        code = fileSystem.ListFolder(current.path, entries);
        if (code != 0) {
            note(current.path, code);
            stack.pop_back();
            continue;
        }
        const std::wstring folder = current.path;
        for (const FolderEntry& entry : entries) {
            if (entry.name.empty() || entry.name == L"." || entry.name == L"..")
                continue;
            stack.push_back(Pending{folder + L"\\" + entry.name, entry, false});
        }
    }
    return firstError;
}

bool TreeContainsLink(const std::wstring& path, FileSystemAccess& fileSystem)
{
    std::vector<std::wstring> folders(1, path);
    std::vector<FolderEntry> entries;
    while (!folders.empty()) {
        const std::wstring folder = folders.back();
        folders.pop_back();
        if (fileSystem.ListFolder(folder, entries) != 0)
            continue;
        for (const FolderEntry& entry : entries) {
            if (entry.IsLink())
                return true;
            if (entry.IsDirectory() && entry.name != L"." && entry.name != L"..")
                folders.push_back(folder + L"\\" + entry.name);
        }
    }
    return false;
}

bool DeleteFileOrDirectory(const std::wstring& path, bool& existed, HRESULT& result, const std::wstring& shownPath)
{
    const std::wstring& shown = shownPath.empty() ? path : shownPath;
    if (!PathExists(path)) {
        existed = false;
        return false;
    }
    existed = true;

    FileSystemAccess& fileSystem = GetWindowsFileSystem();
    switch (CheckDeletionTarget(path, GetProtectedFolders(), fileSystem)) {
    case DeletionCheck::Allowed:
        break;
    case DeletionCheck::BadPath:
        WriteDiagnosticLine(L"%ws: Error: %ws is not a path that can be deleted", OperationName, shown.c_str());
        result = HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        return false;
    case DeletionCheck::Protected:
        WriteDiagnosticLine(L"%ws: Error: %ws is a protected location, not deleted", OperationName, shown.c_str());
        result = E_ACCESSDENIED;
        return false;
    case DeletionCheck::ThroughLink:
        WriteDiagnosticLine(L"%ws: Error: %ws lies below a link, not followed", OperationName, shown.c_str());
        result = HRESULT_FROM_WIN32(ERROR_STOPPED_ON_SYMLINK);
        return false;
    }
    const std::wstring target = NormalizeDeletionPath(path);
    FolderEntry named;
    const bool isFolder = fileSystem.QueryEntry(target, named) == 0 && named.IsDirectory() && !named.IsLink();
    if (IsChangePreviewed(isFolder ? L"Delete folder" : L"Delete file", shown)) {
        result = S_OK;
        return true;
    }

    // A link named directly is removed as itself; a tree holding links is
    // removed entry by entry, so that no link is ever followed.
    FolderEntry entry;
    bool ownRemoval = fileSystem.QueryEntry(target, entry) == 0 &&
                      (entry.IsLink() || (entry.IsDirectory() && TreeContainsLink(target, fileSystem)));
    if (!ownRemoval) {
        bool shellUnavailable = false;
        if (DeleteWithShell(target, shown, result, shellUnavailable)) {
            // The engine reports done also when it skipped what it could
            // not delete; whatever is left is removed here, with its reason.
            if (!PathExists(target))
                return true;
            ownRemoval = true;
        } else if (shellUnavailable) {
            // Said once per run: where the engine is missing it is missing
            // for every path.
            static bool told = false;
            if (!told)
                WriteDiagnosticLine(L"%ws: IFileOperation is not available (%ld), deleting %ws and every later path "
                               L"with the own tree removal",
                               OperationName, static_cast<long>(result), shown.c_str());
            told = true;
            ownRemoval = true;
        } else {
            return false;
        }
    }
    const DWORD code = RemoveTree(target, fileSystem, shown);
    result = HRESULT_FROM_WIN32(code);
    if (code != 0) {
        WriteDiagnosticLine(L"%ws: Deleting %ws ERROR: removal failed with error %ld", OperationName, shown.c_str(),
                       static_cast<long>(result));
        return false;
    }
    return true;
}
