#include "steps/FileStep.h"

#include <utility>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "steps/FilePathRules.h"
#include "steps/RemovalRecord.h"
#include "system/FileRemoval.h"
#include "system/Privileges.h"
#include "system/RegistryBackup.h"
#include "system/RegistryKey.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

const wchar_t* const FileStep::PersistentDataPaths[1] = {
    L"%programdata%\\Halvora\\NrvAgent\\LocallyPersistedData\\DeskLinkInfo",
};

const char* const FileStep::ListenerKeys[9] = {
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Console\\Kpa",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-1",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-2",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-3",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-CGP-HTML5",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-SSL",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\Kpa-TCP",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds\\kpawd",
};

namespace {

const wchar_t* const RemoveFilesName = L"FileStep::RemoveFiles";
const wchar_t* const RemovePersistentName = L"FileStep::RemoveZRAPersistantFiles";
const wchar_t* const RemoveRdsKeysName = L"FileStep::RemoveRdsKeys";

// Expands environment references into the step's fixed-size buffer. False
// with the Win32 code when expansion fails or the result does not fit.
bool ExpandPath(const std::wstring& path, std::wstring& expanded, DWORD& error)
{
    std::vector<wchar_t> buffer(FileStep::ExpansionBufferSize);
    const DWORD length = ExpandEnvironmentStringsW(path.c_str(), buffer.data(), FileStep::ExpansionBufferSize);
    if (length == 0) {
        error = GetLastError();
        return false;
    }
    if (length > FileStep::ExpansionBufferSize) {
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    expanded.assign(buffer.data());
    return true;
}

} // namespace

FileStep::FileStep(int number, const std::string& name)
    : FileStep(number, name, CConfiguration::GetInstance().GetFiles())
{
}

FileStep::FileStep(int number, const std::string& name, std::vector<FileEntry> files)
    : BaseStep(name, number), m_files(std::move(files))
{
}

void FileStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([this] {
        RemoveFiles();
        SetStatus(StatusContinue);
    });
}

void FileStep::DeleteWithRetry(const wchar_t* caller, const std::wstring& path, const std::wstring& shownPath)
{
    bool existed = false;
    HRESULT result = S_OK;
    bool deleted = DeleteFileOrDirectory(path, existed, result, shownPath);
    if (!existed)
        return;
    if (!deleted) {
        WriteDebugLine(L"%ws: Deleting %ws: retry", caller, shownPath.c_str());
        deleted = DeleteFileOrDirectory(path, existed, result, shownPath);
        // Gone by the second look: the first attempt did remove it.
        if (!existed) {
            deleted = true;
            result = S_OK;
        }
    }
    UninstallXmlLog::GetInstance().AddItem(FileXmlLogItem(deleted, result, WideToUtf8(shownPath)));
}

void FileStep::RemoveFiles()
{
    WriteDebugLine(L"%ws Entry", RemoveFilesName);
    RemoveZRAPersistantFiles();
    RemoveRdsKeys();
    if (m_files.empty()) {
        WriteDebugLine(L"%ws: Error: files count is %d", RemoveFilesName, static_cast<int>(m_files.size()));
        return;
    }
    const bool underWow64 = IsWow64();
    FileSystemAccess& fileSystem = GetWindowsFileSystem();
    for (const FileEntry& entry : m_files) {
        const std::wstring path = ApplyWow64FolderRules(Utf8ToWide(entry.path), entry.wow64Redir, underWow64);
        std::wstring expanded;
        DWORD error = 0;
        if (!ExpandPath(path, expanded, error)) {
            WriteDebugLine(L"%ws: Error: ExpandEnvironmentStrings error %d", RemoveFilesName, static_cast<int>(error));
            continue;
        }
        FolderWildcard wildcard;
        if (SplitFolderWildcard(expanded, wildcard)) {
            for (const WildcardMatch& match : ExpandFolderWildcard(wildcard, fileSystem, RemoveFilesName))
                DeleteWithRetry(RemoveFilesName, match.path, match.shownPath);
            continue;
        }
        DeleteWithRetry(RemoveFilesName, expanded, expanded);
    }
    WriteDebugLine(L"%ws Exit", RemoveFilesName);
}

void FileStep::RemoveZRAPersistantFiles()
{
    WriteDebugLine(L"%ws Entry", RemovePersistentName);
    FileSystemAccess& fileSystem = GetWindowsFileSystem();
    for (const wchar_t* configured : PersistentDataPaths) {
        std::wstring path;
        DWORD error = 0;
        if (!ExpandPath(configured, path, error))
            continue;
        const size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos)
            continue;
        // Ownership is never taken through a link: that would open up
        // whatever the link points at. Such a path goes straight to the
        // deletion, which removes a link as itself and refuses a path
        // below one.
        FolderEntry entry;
        const bool exists = fileSystem.QueryEntry(path, entry) == 0;
        if ((exists && entry.IsLink()) ||
            CheckDeletionTarget(path, GetProtectedFolders(), fileSystem) != DeletionCheck::Allowed) {
            WriteDebugLine(L"%ws: %ws is reached through a link; ownership is not taken", RemovePersistentName,
                           path.c_str());
            DeleteWithRetry(RemovePersistentName, path, path);
            continue;
        }
        if (!TakeOwnership(path.substr(0, slash)) || !TakeOwnership(path))
            continue;
        bool existed = false;
        HRESULT result = S_OK;
        bool deleted = DeleteFileOrDirectory(path, existed, result);
        if (!existed) {
            WriteDebugLine(L"%ws File %ws not found\n", RemovePersistentName, path.c_str());
            continue;
        }
        if (!deleted) {
            WriteDebugLine(L"%ws: Deleting %ws: retry", RemovePersistentName, path.c_str());
            deleted = DeleteFileOrDirectory(path, existed, result);
            if (!existed) {
                deleted = true;
                result = S_OK;
            }
        }
        UninstallXmlLog::GetInstance().AddItem(FileXmlLogItem(deleted, result, WideToUtf8(path)));
    }
    WriteDebugLine(L"%ws Exit", RemovePersistentName);
}

void FileStep::RemoveRdsKeys()
{
    WriteDebugLine(L"%ws Entry", RemoveRdsKeysName);
    for (const char* keyPath : ListenerKeys) {
        const std::string text(keyPath);
        const size_t slash = text.find('\\');
        const std::string rootName = slash == std::string::npos ? text : text.substr(0, slash);
        const std::wstring subkey = slash == std::string::npos ? std::wstring() : Utf8ToWide(text.substr(slash + 1));
        HKEY root = nullptr;
        if (!ParsePredefinedKey(rootName, root)) {
            WriteDebugLine(L"%ws: Error: unrecognized predefined Key %ws", RemoveRdsKeysName,
                           Utf8ToWide(rootName).c_str());
            continue;
        }
        // The keys live in the machine's own (64-bit) view.
        std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, subkey, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
        if (!key)
            continue;
        LONG code = key->ExportRegistryKeyAndSubkeys(root, subkey);
        if (code == ERROR_SUCCESS && !IsRegistryBackupWritten())
            code = ERROR_WRITE_FAULT;
        if (code != ERROR_SUCCESS) {
            // Without its backup the key is not deleted.
            WriteDebugLine(L"%ws: Error: Export key %ws failed with error: %ld; the key is kept", RemoveRdsKeysName,
                           Utf8ToWide(text).c_str(), static_cast<long>(code));
        } else {
            code = key->DeleteKeyAndSubkeys();
        }
        RecordRemoval(RemovalKind::Registry, text, code);
        if (code != ERROR_SUCCESS)
            WriteDebugLine(L"%ws: Error: Delete key %ws failed with error: %ld", RemoveRdsKeysName,
                           Utf8ToWide(text).c_str(), static_cast<long>(code));
    }
    WriteDebugLine(L"%ws Exit", RemoveRdsKeysName);
}
