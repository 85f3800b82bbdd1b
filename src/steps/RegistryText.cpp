#include "steps/RegistryText.h"

#include <algorithm>

#include "system/AsciiText.h"
#include "system/Format.h"
#include "system/TextConvert.h"

namespace {

// A pattern component matches a key name exactly (letter case ignored); "*"
// matches any one name and "Name*" any name beginning with Name.
bool ComponentMatches(const std::wstring& pattern, const std::wstring& name)
{
    if (!pattern.empty() && pattern.back() == L'*')
        return StartsWithNoCase(name, pattern.substr(0, pattern.size() - 1));
    return EqualsAsciiNoCase(pattern, name);
}

bool MatchesAny(const std::vector<std::wstring>& parts, size_t first, const wchar_t* const* patterns)
{
    const size_t count = parts.size() - first;
    for (const wchar_t* const* pattern = patterns; *pattern != nullptr; ++pattern) {
        const std::vector<std::wstring> wanted = SplitAtBackslashes(*pattern);
        if (wanted.size() != count)
            continue;
        bool same = true;
        for (size_t i = 0; i < count && same; ++i)
            same = ComponentMatches(wanted[i], parts[first + i]);
        if (same)
            return true;
    }
    return false;
}

// Below a classes root (HKCR, SOFTWARE\Classes of a hive, a user's
// _Classes hive); an empty pattern is the classes root itself.
const wchar_t* const kClassesKeys[] = {
    L"", L"Installer", L"Installer\\Products", L"Installer\\UpgradeCodes", L"Installer\\Features",
    L"Installer\\Components", L"Installer\\Patches", L"CLSID", L"Interface", L"TypeLib", L"AppID", L"Record",
    L"Directory", L"Drive", L"Folder", L"exefile", L"txtfile", L"Applications", L"SystemFileAssociations",
    L"MIME", L"MIME\\Database", L"Local Settings", nullptr};

// Below HKEY_LOCAL_MACHINE (SOFTWARE\Wow6432Node is read as SOFTWARE,
// ControlSetNNN as CurrentControlSet).
const wchar_t* const kMachineKeys[] = {
    L"", L"SOFTWARE", L"SYSTEM", L"SAM", L"SECURITY", L"HARDWARE", L"BCD00000000",
    L"SYSTEM\\CurrentControlSet", L"SYSTEM\\Select", L"SYSTEM\\Setup", L"SYSTEM\\MountedDevices",
    L"SYSTEM\\CurrentControlSet\\Services", L"SYSTEM\\CurrentControlSet\\Control",
    L"SYSTEM\\CurrentControlSet\\Enum", L"SYSTEM\\CurrentControlSet\\Enum\\*", L"SYSTEM\\CurrentControlSet\\Hardware Profiles",
    L"SYSTEM\\CurrentControlSet\\Policies", L"SYSTEM\\CurrentControlSet\\Control\\*",
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\*", L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations",
    L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp",
    L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\Wds",
    L"SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\Order", L"SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\HwOrder",
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors", L"SYSTEM\\CurrentControlSet\\Control\\Print\\Environments",
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs",
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog", L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security",
    L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer", L"SYSTEM\\CurrentControlSet\\Services\\LanmanWorkstation",
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip", L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters",
    L"SOFTWARE\\Microsoft", L"SOFTWARE\\Policies", L"SOFTWARE\\Policies\\Microsoft", L"SOFTWARE\\Microsoft\\Windows",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\*",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\*",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\*\\Products",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\*\\Components",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\*", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\*",
    L"SOFTWARE\\Microsoft\\Windows NT", L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\*", nullptr};

// Below a user's hive root (HKCU, HKU\<hive>).
const wchar_t* const kUserKeys[] = {
    L"", L"Software", L"Software\\Microsoft", L"Software\\Policies", L"Software\\Microsoft\\Windows",
    L"Software\\Microsoft\\Windows\\CurrentVersion", L"Software\\Microsoft\\Windows\\CurrentVersion\\*",
    L"Software\\Microsoft\\Windows NT", L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"Control Panel",
    L"Environment", L"Console", L"Keyboard Layout", L"Network", L"Printers", L"System", L"AppEvents", nullptr};

const wchar_t* const kConfigKeys[] = {L"", L"System", L"Software", nullptr};

bool IsWow6432Node(const std::wstring& name)
{
    return EqualsAsciiNoCase(name, std::wstring(L"Wow6432Node"));
}

bool IsProtectedClassesKey(std::vector<std::wstring> parts, size_t first)
{
    if (parts.size() > first && IsWow6432Node(parts[first]))
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(first));
    return MatchesAny(parts, first, kClassesKeys);
}

// A user hive seen from its root: its Software\Classes key is a classes root.
bool IsProtectedUserKey(std::vector<std::wstring> parts, size_t first)
{
    if (parts.size() > first + 1 && EqualsAsciiNoCase(parts[first], std::wstring(L"Software")) &&
        IsWow6432Node(parts[first + 1]))
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(first + 1));
    if (parts.size() > first + 1 && EqualsAsciiNoCase(parts[first], std::wstring(L"Software")) &&
        EqualsAsciiNoCase(parts[first + 1], std::wstring(L"Classes")))
        return IsProtectedClassesKey(parts, first + 2);
    return MatchesAny(parts, first, kUserKeys);
}

bool IsProtectedMachineKey(std::vector<std::wstring> parts)
{
    if (parts.size() > 1 && EqualsAsciiNoCase(parts[0], std::wstring(L"SOFTWARE")) && IsWow6432Node(parts[1]))
        parts.erase(parts.begin() + 1);
    if (parts.size() > 1 && EqualsAsciiNoCase(parts[0], std::wstring(L"SOFTWARE")) &&
        EqualsAsciiNoCase(parts[1], std::wstring(L"Classes")))
        return IsProtectedClassesKey(parts, 2);
    if (parts.size() > 1 && EqualsAsciiNoCase(parts[0], std::wstring(L"SYSTEM")) &&
        StartsWithNoCase(parts[1], L"ControlSet"))
        parts[1] = L"CurrentControlSet";
    return MatchesAny(parts, 0, kMachineKeys);
}

} // namespace

const wchar_t* const kSearchExclusion = L"Halvora Tidewater Bridge";

ConfiguredKeyName SplitConfiguredKeyName(const std::string& keyName)
{
    ConfiguredKeyName name;
    const size_t slash = keyName.find('\\');
    if (slash == std::string::npos) {
        name.token = keyName;
    } else {
        name.token = keyName.substr(0, slash);
        name.path = keyName.substr(slash + 1);
    }
    return name;
}

bool ParseKeyWildcard(const std::wstring& path, KeyWildcard& wildcard)
{
    const size_t star = path.find(L'*');
    if (star == std::wstring::npos)
        return false;
    if (star + 1 < path.size() && path[star + 1] != L'\\')
        return false;
    wildcard.rest = star + 1 < path.size() ? path.substr(star + 2) : std::wstring();
    const size_t slash = star == 0 ? std::wstring::npos : path.rfind(L'\\', star - 1);
    if (slash == std::wstring::npos) {
        wildcard.parent.clear();
        wildcard.prefix = path.substr(0, star);
    } else {
        wildcard.parent = path.substr(0, slash);
        wildcard.prefix = path.substr(slash + 1, star - slash - 1);
    }
    return true;
}

std::wstring JoinWildcardMatch(const KeyWildcard& wildcard, const std::wstring& name, bool withRest)
{
    std::wstring path = wildcard.parent.empty() ? name : wildcard.parent + L"\\" + name;
    if (withRest && !wildcard.rest.empty())
        path += L"\\" + wildcard.rest;
    return path;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix)
{
    if (prefix.size() > text.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiToUpper(text[i]) != AsciiToUpper(prefix[i]))
            return false;
    }
    return true;
}

size_t FindNoCase(const std::wstring& text, const std::wstring& part, size_t from)
{
    if (part.size() > text.size())
        return std::wstring::npos;
    for (size_t i = from; i + part.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < part.size() && AsciiToUpper(text[i + j]) == AsciiToUpper(part[j]))
            ++j;
        if (j == part.size())
            return i;
    }
    return std::wstring::npos;
}

bool IsSearchMatch(const std::wstring& data, const std::wstring& pattern)
{
    if (FindNoCase(data, kSearchExclusion) != std::wstring::npos)
        return false;
    return FindNoCase(data, pattern) != std::wstring::npos;
}

bool CutAtTrailing(const std::wstring& matched, const std::wstring& trailing, std::wstring& target)
{
    if (trailing.empty()) {
        target = matched;
        return true;
    }
    // Only an occurrence that begins a key name, below at least one key:
    // cutting inside a name would name a different (wider) key.
    for (size_t at = FindNoCase(matched, trailing); at != std::wstring::npos;
         at = FindNoCase(matched, trailing, at + 1)) {
        if (at >= 2 && matched[at - 1] == L'\\') {
            target = matched.substr(0, at - 1);
            return true;
        }
    }
    return false;
}

bool RemoveMultiStringEntry(std::vector<wchar_t>& data, const std::wstring& entry)
{
    if (entry.empty())
        return false;
    bool removed = false;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = pos;
        while (end < data.size() && data[end] != L'\0')
            ++end;
        if (end == pos)
            break;
        if (end - pos == entry.size() && std::equal(entry.begin(), entry.end(), data.begin() + static_cast<std::ptrdiff_t>(pos))) {
            const size_t count = end - pos + (end < data.size() ? 1 : 0);
            data.erase(data.begin() + static_cast<std::ptrdiff_t>(pos),
                       data.begin() + static_cast<std::ptrdiff_t>(pos + count));
            removed = true;
        } else {
            pos = end + 1;
        }
    }
    return removed;
}

bool RemoveListEntry(std::wstring& text, const std::wstring& entry)
{
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos)
        text.resize(nul);
    if (entry.empty())
        return false;
    bool erased = false;
    for (size_t at = text.find(entry); at != std::wstring::npos; at = text.find(entry)) {
        const size_t length = entry.size();
        if (at + length + 1 <= text.size())
            text.erase(at, length + 1);
        else if (at > 0)
            text.erase(at - 1, length + 1);
        else
            text.erase(at, length);
        erased = true;
    }
    return erased;
}

bool RemoveAppInitEntry(std::wstring& text, const std::wstring& entry)
{
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos)
        text.resize(nul);
    if (entry.empty())
        return false;
    bool erased = false;
    for (size_t at = text.find(entry); at != std::wstring::npos; at = text.find(entry)) {
        size_t start = text.rfind(L' ', at);
        if (start == std::wstring::npos)
            start = text.rfind(L',', at);
        size_t end = text.find(L' ', at);
        if (end == std::wstring::npos)
            end = text.find(L',', at);
        const bool leading = start != std::wstring::npos;
        const bool trailing = end != std::wstring::npos;
        if (leading && trailing)
            text.erase(start, end - start);
        else if (leading)
            text.erase(start);
        else if (trailing)
            text.erase(0, end + 1);
        else
            text.clear();
        erased = true;
    }
    return erased;
}

bool IsAgentDriverService(const std::wstring& service, const std::vector<std::string>& drivers)
{
    std::wstring upper = service;
    for (wchar_t& c : upper)
        c = AsciiToUpper(c);
    for (const std::string& driver : drivers) {
        std::wstring name = Utf8ToWide(driver);
        for (wchar_t& c : name)
            c = AsciiToUpper(c);
        if (name == upper)
            return true;
    }
    return false;
}

DriverPackageSearch MakeDriverPackageSearch(const std::wstring& systemFolder, const std::wstring& driver)
{
    const std::wstring full = systemFolder + L"\\DriverStore\\FileRepository\\" + driver + L".inf_*\\" + driver + L".inf";
    const size_t star = full.find(L'*');
    DriverPackageSearch search;
    search.pattern = full.substr(0, star + 1);
    const size_t before = full.rfind(L'\\', star);
    search.folder = full.substr(0, before + 1);
    const size_t after = full.find(L'\\', star);
    search.infName = after == std::wstring::npos ? std::wstring() : full.substr(after + 1);
    return search;
}

bool IsProtectedRegistryKey(HKEY root, const std::wstring& path)
{
    const std::vector<std::wstring> parts = SplitAtBackslashes(path);
    if (root == HKEY_LOCAL_MACHINE)
        return IsProtectedMachineKey(parts);
    if (root == HKEY_CLASSES_ROOT)
        return IsProtectedClassesKey(parts, 0);
    if (root == HKEY_CURRENT_USER)
        return IsProtectedUserKey(parts, 0);
    if (root == HKEY_USERS) {
        if (parts.empty())
            return true;
        const std::wstring& hive = parts[0];
        const std::wstring classesSuffix = L"_Classes";
        if (hive.size() > classesSuffix.size() &&
            EqualsAsciiNoCase(hive.substr(hive.size() - classesSuffix.size()), classesSuffix))
            return IsProtectedClassesKey(parts, 1);
        return IsProtectedUserKey(parts, 1);
    }
    if (root == HKEY_CURRENT_CONFIG)
        return MatchesAny(parts, 0, kConfigKeys);
    // Any other root (performance data, an open key's handle) is never a
    // target of a deletion.
    return true;
}
