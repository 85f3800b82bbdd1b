#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Deletion of files and folder trees. Every file, folder and link the
// program removes goes through DeleteFileOrDirectory, which refuses
// malformed paths, protected system locations and paths reached through a
// link, and never follows a link inside a folder it deletes: a junction or
// symbolic link is removed as a link, its target stays untouched.

// One entry of a folder listing.
struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
    DWORD reparseTag = 0;  // meaningful with FILE_ATTRIBUTE_REPARSE_POINT

    bool IsDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A junction, symbolic link or any other reparse point that stands for
    // another name: removed as itself, never descended into.
    bool IsLink() const;
};

// The file-system operations the tree removal is built from: listing one
// folder, looking at one entry and removing one entry.
class FileSystemAccess {
public:
    virtual ~FileSystemAccess();
    // The entries of a folder, without "." and "..". 0 or a Win32 error.
    virtual DWORD ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) = 0;
    // The entry a path names, without following a link at its end
    // (entry.name is left empty). 0 or a Win32 error (2 or 3: missing).
    virtual DWORD QueryEntry(const std::wstring& path, FolderEntry& entry) = 0;
    // Removes one file, one empty folder or one link (not its target),
    // clearing a read-only attribute that stands in the way. 0 or a Win32
    // error.
    virtual DWORD RemoveEntry(const std::wstring& path, const FolderEntry& entry) = 0;
};

// The real file system. Paths are handed to Windows in their "\\?\" form,
// so trees deeper than MAX_PATH are reached too.
FileSystemAccess& GetWindowsFileSystem();

// A location no deletion may touch: the folder itself, every folder above
// it and every folder down to `depth` levels below it.
struct ProtectedFolder {
    std::wstring path;
    int depth = 0;
};

// This machine's protected locations: the Windows and system folders and
// their sub folders, the program-files and program-data folders, the users
// folder down to each profile's AppData sub folders, the own profile and
// the temp folder.
std::vector<ProtectedFolder> GetProtectedFolders();

// Why a path may not be deleted.
enum class DeletionCheck {
    Allowed,
    BadPath,        // relative, ".", "..", device or volume paths
    Protected,      // a drive root or a protected location
    ThroughLink,    // a folder above it is a link
};

// The absolute, long-name form of a path for comparisons: "/" folded to
// "\", no trailing separator, no "\\?\" prefix. Empty when the path is not
// an absolute drive or UNC path, or holds a "." or ".." component.
std::wstring NormalizeDeletionPath(const std::wstring& path);

// Whether a normalized folder path is a drive or share root, a protected
// folder, an ancestor of one, or lies within its protected depth.
// Case-insensitive. Files are never protected locations: the agent's own
// files may lie right inside a system folder.
bool IsProtectedLocation(const std::wstring& normalizedPath, const std::vector<ProtectedFolder>& folders,
                         bool isFolder = true);

// Checks a path before deletion; the folders above it are looked at through
// the file-system access.
DeletionCheck CheckDeletionTarget(const std::wstring& path, const std::vector<ProtectedFolder>& folders,
                                  FileSystemAccess& fileSystem);

// Removes a file, a link, or a folder with everything below it, depth first
// and without recursion. Links met on the way are removed as links. Every
// entry that can be removed is; the result is 0 when the whole path is gone,
// otherwise the Win32 error of the first entry that could not be removed.
// Failures are logged with the entry's path below shownPath.
DWORD RemoveTree(const std::wstring& path, FileSystemAccess& fileSystem, const std::wstring& shownPath);

// Whether the folder tree holds a link anywhere below it.
bool TreeContainsLink(const std::wstring& path, FileSystemAccess& fileSystem);

// Deletes a file or a folder with all of its contents. existed tells
// whether the path was there; result is the HRESULT of the deletion (left
// as it was when the path did not exist). The shell's file-operation
// engine does the work; where it is not available (not registered or not
// implemented), or where the tree holds links, the own tree removal does.
// shownPath replaces the path in log lines (a masked user folder); empty
// means the path itself. In a preview (system/MachineChanges.h) a path
// that would be deleted is reported as "Delete file"/"Delete folder" and
// the call returns true without deleting.
bool DeleteFileOrDirectory(const std::wstring& path, bool& existed, HRESULT& result,
                           const std::wstring& shownPath = std::wstring());
