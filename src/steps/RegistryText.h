#pragma once
// Text rules of the registry step: how a configured key name is split and
// read (hive token, path, wildcard), how searched keys are matched and cut,
// how an agent entry is taken out of Windows' own lists, and which keys are
// never deleted as a whole whatever a configuration names.
#include <windows.h>

#include <string>
#include <vector>

// A configured key name: everything before the first backslash is the hive
// token, everything after it the path (empty when there is no backslash).
struct ConfiguredKeyName {
    std::string token;
    std::string path;
};
ConfiguredKeyName SplitConfiguredKeyName(const std::string& keyName);

// A path with a "*" read as parent \ prefix * [\ rest]. Only the first "*"
// counts; it must be followed by a backslash or end the path.
struct KeyWildcard {
    std::wstring parent;  // before the last backslash preceding "*" (may be empty)
    std::wstring prefix;  // between that backslash and "*" (may be empty)
    std::wstring rest;    // after "*\" (empty when "*" ends the path)
};
// False when the path has no "*" or the "*" is followed by something other
// than a backslash (such an entry is skipped).
bool ParseKeyWildcard(const std::wstring& path, KeyWildcard& wildcard);
// parent \ name [\ rest], leaving out the empty parts.
std::wstring JoinWildcardMatch(const KeyWildcard& wildcard, const std::wstring& name, bool withRest);

// Letter case ignored as the step compares names and data (the characters
// are compared after conversion to upper case; ASCII letters only fold).
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);
size_t FindNoCase(const std::wstring& text, const std::wstring& part, size_t from = 0);

// The text no string value of the agent's own keys holds: data holding it
// belongs to another product and never makes a key match.
extern const wchar_t* const kSearchExclusion;  // L"Halvora Tidewater Bridge"
// Whether a string value's text makes its key a search match.
bool IsSearchMatch(const std::wstring& data, const std::wstring& pattern);

// The key to delete for a matched key path E and a trailing text: the path
// before the backslash that precedes the first occurrence of trailing
// (letter case ignored) that begins a key name. With an empty trailing the
// target is E itself. False when trailing does not begin any key name of E
// (nothing is deleted for that match).
bool CutAtTrailing(const std::wstring& matched, const std::wstring& trailing, std::wstring& target);

// Takes every string equal to entry (case matters) out of multi-string data
// held as 16-bit characters; the data shrinks by what was removed. True when
// anything was removed.
bool RemoveMultiStringEntry(std::vector<wchar_t>& data, const std::wstring& entry);
// Takes entry (case matters) out of a single-separator list such as
// "RDPNP,LanmanWorkstation,PKpaClientNetwork", with the separator after it,
// or the one before it when it ends the text. True when anything was erased.
bool RemoveListEntry(std::wstring& text, const std::wstring& entry);
// Takes entry out of an AppInit_DLLs list, whose names are separated by
// spaces or commas. True when anything was erased.
bool RemoveAppInitEntry(std::wstring& text, const std::wstring& entry);

// Whether a device's service is one of the agent's drivers (letter case
// ignored).
bool IsAgentDriverService(const std::wstring& service, const std::vector<std::string>& drivers);

// Where the driver store keeps the agent driver's packages: the search
// pattern (system folder\DriverStore\FileRepository\driver.inf_*), the
// folder holding the package folders (with its backslash) and the INF's
// name inside a package folder.
struct DriverPackageSearch {
    std::wstring pattern;
    std::wstring folder;
    std::wstring infName;
};
DriverPackageSearch MakeDriverPackageSearch(const std::wstring& systemFolder, const std::wstring& driver);

// Keys the step never deletes as a whole, whatever a configuration names:
// the hive roots, a user hive's root and its main keys, and the well-known
// system keys (SOFTWARE, SYSTEM, CurrentControlSet with its Services,
// Control and Enum keys, SOFTWARE\Microsoft, SOFTWARE\Wow6432Node,
// SOFTWARE\Classes, HKCR\Installer, HKCR\CLSID and the like). Empty parts
// of the path (doubled or trailing backslashes) are ignored and letter case
// does not matter.
bool IsProtectedRegistryKey(HKEY root, const std::wstring& path);
