#include "steps/FilePathRules.h"

#include <windows.h>

#include "logs/Log.h"
#include "system/FileRemoval.h"

const wchar_t* const MaskedFolderName = L"*****";

namespace {

wchar_t UpperAscii(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

std::wstring UpperAscii(const std::wstring& text)
{
    std::wstring upper(text);
    for (wchar_t& c : upper)
        c = UpperAscii(c);
    return upper;
}

void ReplaceFirst(std::wstring& text, size_t position, size_t length, const wchar_t* replacement)
{
    if (position != std::wstring::npos)
        text.replace(position, length, replacement);
}

bool SameLetter(wchar_t a, wchar_t b)
{
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring ApplyWow64FolderRules(const std::wstring& path, bool wow64Redir, bool underWow64)
{
    std::wstring result(path);
    if (!underWow64)
        return result;
    const std::wstring programFiles = L"%programfiles%";
    if (wow64Redir) {
        ReplaceFirst(result, result.find(programFiles), programFiles.size(), L"%programfiles(x86)%");
        return result;
    }
    ReplaceFirst(result, result.find(programFiles), programFiles.size(), L"%ProgramW6432%");
    const std::wstring system32 = L"%systemroot%\\System32";
    ReplaceFirst(result, UpperAscii(result).find(UpperAscii(system32)), system32.size(), L"%systemroot%\\Sysnative");
    return result;
}

bool SplitFolderWildcard(const std::wstring& path, FolderWildcard& wildcard)
{
    const size_t star = path.find(L'*');
    if (star == std::wstring::npos)
        return false;
    const size_t before = path.rfind(L'\\', star);
    const size_t after = path.find(L'\\', star);
    if (before == std::wstring::npos || after == std::wstring::npos)
        return false;
    wildcard.folder = path.substr(0, before + 1);
    wildcard.namePattern = path.substr(before + 1, after - before - 1);
    wildcard.tail = path.substr(after);
    return true;
}

bool MatchesNamePattern(const std::wstring& name, const std::wstring& pattern)
{
    // Greedy matching with a single back-track point for the last "*".
    size_t n = 0, p = 0;
    size_t starP = std::wstring::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || SameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

std::vector<WildcardMatch> ExpandFolderWildcard(const FolderWildcard& wildcard, FileSystemAccess& fileSystem,
                                                const wchar_t* logName)
{
    std::vector<WildcardMatch> matches;
    const std::wstring folder = NormalizeDeletionPath(wildcard.folder);
    if (folder.empty()) {
        WriteDebugLine(L"%ws: Error: %ws is not a folder that can be searched", logName, wildcard.folder.c_str());
        return matches;
    }
    const std::wstring realFolder = folder.back() == L'\\' ? folder : folder + L"\\";
    std::vector<FolderEntry> entries;
    if (fileSystem.ListFolder(folder, entries) != 0)
        return matches;
    for (const FolderEntry& entry : entries) {
        if (entry.name.empty() || entry.name == L"." || entry.name == L"..")
            continue;
        if (!entry.IsDirectory() || !MatchesNamePattern(entry.name, wildcard.namePattern))
            continue;
        const std::wstring shown = wildcard.folder + MaskedFolderName + wildcard.tail;
        if (entry.IsLink()) {
            WriteDebugLine(L"%ws: %ws: the folder is a link, not followed", logName, shown.c_str());
            continue;
        }
        matches.push_back(WildcardMatch{realFolder + entry.name + wildcard.tail, shown});
    }
    return matches;
}
