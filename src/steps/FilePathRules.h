#pragma once
#include <string>
#include <vector>

class FileSystemAccess;

// How the file step turns a configured path into the paths it deletes.

// The text shown in place of a folder name matched by "*", in the logs and
// the result log.
extern const wchar_t* const MaskedFolderName;

// The 32/64-bit folder rules, applied before environment expansion. Only
// for a 32-bit process on 64-bit Windows (underWow64): with wow64Redir the
// first "%programfiles%" (exact case) becomes "%programfiles(x86)%";
// without it the first "%programfiles%" becomes "%ProgramW6432%" and the
// first "%systemroot%\System32" (any letter case) becomes
// "%systemroot%\Sysnative", so that the 64-bit folders are reached.
// Otherwise the path is returned as it is.
std::wstring ApplyWow64FolderRules(const std::wstring& path, bool wow64Redir, bool underWow64);

// A path whose first "*" stands for one folder name: folder (up to and
// including the "\" before the name), namePattern (the whole name holding
// the "*") and tail (from the "\" after the name to the end).
struct FolderWildcard {
    std::wstring folder;
    std::wstring namePattern;
    std::wstring tail;
};

// False when the path holds no "*", or no "\" before or after it: such a
// path is taken as a plain path.
bool SplitFolderWildcard(const std::wstring& path, FolderWildcard& wildcard);

// Whether a name matches a pattern of "*" (any run) and "?" (any one
// character), ignoring letter case.
bool MatchesNamePattern(const std::wstring& name, const std::wstring& pattern);

// One path a wildcard stands for: the real path and the path as shown in
// logs and result items (with the matched name masked).
struct WildcardMatch {
    std::wstring path;
    std::wstring shownPath;
};

// The folders of wildcard.folder whose names match, each joined with the
// tail. "." and ".." never match; neither does an entry that is not a
// folder, nor a link (a junction or symbolic link in place of a folder is
// not followed: it is logged with its masked path under logName and left).
std::vector<WildcardMatch> ExpandFolderWildcard(const FolderWildcard& wildcard, FileSystemAccess& fileSystem,
                                                const wchar_t* logName);
