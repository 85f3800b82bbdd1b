// The registry step's text rules: configured names, wildcards, search
// matches, list repairs and the keys never deleted as a whole.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "steps/RegistryText.h"

namespace {

std::vector<wchar_t> Chars(const std::wstring& text)
{
    return std::vector<wchar_t>(text.begin(), text.end());
}

TEST(RegistryText, ConfiguredNameSplitsAtTheFirstBackslash)
{
    ConfiguredKeyName name = SplitConfiguredKeyName("HKLM\\Software\\X\\Y");
    EXPECT_EQ("HKLM", name.token);
    EXPECT_EQ("Software\\X\\Y", name.path);
    name = SplitConfiguredKeyName("HKU");
    EXPECT_EQ("HKU", name.token);
    EXPECT_EQ("", name.path);
    name = SplitConfiguredKeyName("HKLM\\");
    EXPECT_EQ("HKLM", name.token);
    EXPECT_EQ("", name.path);
}

TEST(RegistryText, WildcardReadsParentPrefixAndRest)
{
    KeyWildcard w;
    ASSERT_TRUE(ParseKeyWildcard(L"*\\Software\\Halvora\\Zorander", w));
    EXPECT_EQ(L"", w.parent);
    EXPECT_EQ(L"", w.prefix);
    EXPECT_EQ(L"Software\\Halvora\\Zorander", w.rest);
    EXPECT_EQ(L"alice\\Software\\Halvora\\Zorander", JoinWildcardMatch(w, L"alice", true));
    EXPECT_EQ(L"alice", JoinWildcardMatch(w, L"alice", false));

    ASSERT_TRUE(ParseKeyWildcard(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Zor*", w));
    EXPECT_EQ(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application", w.parent);
    EXPECT_EQ(L"Zor", w.prefix);
    EXPECT_EQ(L"", w.rest);
    EXPECT_EQ(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZorX", JoinWildcardMatch(w, L"ZorX", true));

    ASSERT_TRUE(ParseKeyWildcard(L"A\\RDP*\\Halvora\\*", w));  // only the first "*" counts
    EXPECT_EQ(L"A", w.parent);
    EXPECT_EQ(L"RDP", w.prefix);
    EXPECT_EQ(L"Halvora\\*", w.rest);

    ASSERT_TRUE(ParseKeyWildcard(L"Pre*", w));
    EXPECT_EQ(L"", w.parent);
    EXPECT_EQ(L"Pre", w.prefix);
    ASSERT_TRUE(ParseKeyWildcard(L"*", w));
    EXPECT_EQ(L"", w.prefix);
    EXPECT_EQ(L"", w.rest);

    EXPECT_FALSE(ParseKeyWildcard(L"Software\\X*Y", w));
    EXPECT_FALSE(ParseKeyWildcard(L"Software\\*.dll", w));
    EXPECT_FALSE(ParseKeyWildcard(L"Software\\X", w));
}

TEST(RegistryText, NamesAndDataCompareWithoutLetterCase)
{
    EXPECT_TRUE(StartsWithNoCase(L"ZorPrintSvc", L"zor"));
    EXPECT_TRUE(StartsWithNoCase(L"anything", L""));
    EXPECT_FALSE(StartsWithNoCase(L"Zo", L"Zor"));
    EXPECT_EQ(4u, FindNoCase(L"The HALVORA zorander", L"halvora"));
    EXPECT_EQ(std::wstring::npos, FindNoCase(L"Halvor", L"Halvora"));
}

TEST(RegistryText, SearchMatchNeedsThePatternAndNotTheBridge)
{
    EXPECT_TRUE(IsSearchMatch(L"Halvora Zorander Plug-in x64", L"Halvora Zorander"));
    EXPECT_TRUE(IsSearchMatch(L"HALVORA ZORANDER", L"Halvora Zorander"));
    EXPECT_FALSE(IsSearchMatch(L"Halvora Tidewater Bridge for Halvora Zorander", L"Halvora Zorander"));
    EXPECT_FALSE(IsSearchMatch(L"halvora tidewater bridge", L"Bridge"));
    EXPECT_FALSE(IsSearchMatch(L"Other product", L"Halvora Zorander"));
}

TEST(RegistryText, TrailingCutKeepsThePathAboveIt)
{
    std::wstring target;
    ASSERT_TRUE(CutAtTrailing(L"SOFTWARE\\UserData\\S-1-5-18\\Products\\ABC\\InstallProperties", L"InstallProperties",
                              target));
    EXPECT_EQ(L"SOFTWARE\\UserData\\S-1-5-18\\Products\\ABC", target);
    ASSERT_TRUE(CutAtTrailing(L"A\\B\\installproperties\\C", L"InstallProperties", target));
    EXPECT_EQ(L"A\\B", target);
    ASSERT_TRUE(CutAtTrailing(L"A\\B", L"", target));
    EXPECT_EQ(L"A\\B", target);
    // Absent: nothing to delete.
    EXPECT_FALSE(CutAtTrailing(L"A\\B\\Features", L"InstallProperties", target));
    // Inside a key name, or at the very start, it names no key above it.
    EXPECT_FALSE(CutAtTrailing(L"A\\XInstallProperties", L"InstallProperties", target));
    EXPECT_FALSE(CutAtTrailing(L"InstallProperties\\A", L"InstallProperties", target));
    ASSERT_TRUE(CutAtTrailing(L"A\\XInstallProperties\\InstallProperties", L"InstallProperties", target));
    EXPECT_EQ(L"A\\XInstallProperties", target);
}

TEST(RegistryText, MultiStringLosesEveryExactEntry)
{
    std::vector<wchar_t> data = Chars(std::wstring(L"kbdclass\0zkbdflt\0\0", 18));
    ASSERT_TRUE(RemoveMultiStringEntry(data, L"zkbdflt"));
    EXPECT_EQ(Chars(std::wstring(L"kbdclass\0\0", 10)), data);

    data = Chars(std::wstring(L"zkbdflt\0\0", 9));
    ASSERT_TRUE(RemoveMultiStringEntry(data, L"zkbdflt"));
    EXPECT_EQ(Chars(std::wstring(L"\0", 1)), data);

    data = Chars(std::wstring(L"zkbdflt\0a\0zkbdflt\0zkbdflt\0\0", 27));
    ASSERT_TRUE(RemoveMultiStringEntry(data, L"zkbdflt"));
    EXPECT_EQ(Chars(std::wstring(L"a\0\0", 3)), data);

    // Case matters; a longer name is not the entry.
    data = Chars(std::wstring(L"kbdclass\0Zkbdflt\0zkbdflt2\0\0", 27));
    const std::vector<wchar_t> before = data;
    EXPECT_FALSE(RemoveMultiStringEntry(data, L"zkbdflt"));
    EXPECT_EQ(before, data);

    // Strings after an empty one are not examined; data without a final
    // terminator still loses its last entry.
    data = Chars(std::wstring(L"a\0\0zkbdflt\0\0", 12));
    EXPECT_FALSE(RemoveMultiStringEntry(data, L"zkbdflt"));
    data = Chars(std::wstring(L"a\0zkbdflt", 9));
    ASSERT_TRUE(RemoveMultiStringEntry(data, L"zkbdflt"));
    EXPECT_EQ(Chars(std::wstring(L"a\0", 2)), data);
}

TEST(RegistryText, ListLosesTheEntryWithOneSeparator)
{
    std::wstring text = L"RDPNP,LanmanWorkstation,PKpaClientNetwork";
    ASSERT_TRUE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"RDPNP,LanmanWorkstation", text);
    text = L"PKpaClientNetwork,RDPNP";
    ASSERT_TRUE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"RDPNP", text);
    text = L"RDPNP,PKpaClientNetwork,LanmanWorkstation";
    ASSERT_TRUE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"RDPNP,LanmanWorkstation", text);
    text = L"PKpaClientNetwork";
    ASSERT_TRUE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"", text);
    text = std::wstring(L"A,PKpaClientNetwork\0junk", 24);
    ASSERT_TRUE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"A", text);
    text = L"RDPNP,pkpaclientnetwork";
    EXPECT_FALSE(RemoveListEntry(text, L"PKpaClientNetwork"));
    EXPECT_EQ(L"RDPNP,pkpaclientnetwork", text);
}

TEST(RegistryText, AppInitListLosesTheHookWithItsSeparators)
{
    std::wstring text = L"a.dll b.dll,QUILLHOOK.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"a.dll", text);
    text = L"QUILLHOOK.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"", text);
    text = L"x.dll,QUILLHOOK64.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"x.dll", text);
    text = L"QUILLHOOK.dll other.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"other.dll", text);
    text = L"a.dll QUILLHOOK.dll b.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"a.dll b.dll", text);
    text = L"QUILLHOOK.dll QUILLHOOK64.dll";
    ASSERT_TRUE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"", text);
    text = L"a.dll quillhook.dll";
    EXPECT_FALSE(RemoveAppInitEntry(text, L"QUILLHOOK"));
    EXPECT_EQ(L"a.dll quillhook.dll", text);
}

TEST(RegistryText, DeviceServiceComparesWithoutLetterCase)
{
    const std::vector<std::string> drivers = {"ZGFX", "zkbdflt"};
    EXPECT_TRUE(IsAgentDriverService(L"zgfx", drivers));
    EXPECT_TRUE(IsAgentDriverService(L"ZKBDFLT", drivers));
    EXPECT_FALSE(IsAgentDriverService(L"zgfx2", drivers));
    EXPECT_FALSE(IsAgentDriverService(L"", drivers));
    EXPECT_FALSE(IsAgentDriverService(L"kbdclass", std::vector<std::string>()));
}

TEST(RegistryText, DriverPackagesAreSoughtInTheDriverStore)
{
    const DriverPackageSearch search = MakeDriverPackageSearch(L"C:\\Windows\\system32", L"zgfx");
    EXPECT_EQ(L"C:\\Windows\\system32\\DriverStore\\FileRepository\\zgfx.inf_*", search.pattern);
    EXPECT_EQ(L"C:\\Windows\\system32\\DriverStore\\FileRepository\\", search.folder);
    EXPECT_EQ(L"zgfx.inf", search.infName);
}

TEST(RegistryText, HiveRootsAndSystemKeysAreProtected)
{
    const struct {
        HKEY root;
        const wchar_t* path;
    } protectedKeys[] = {
        {HKEY_LOCAL_MACHINE, L""},
        {HKEY_LOCAL_MACHINE, L"\\"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE"},
        {HKEY_LOCAL_MACHINE, L"software\\"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\\\CurrentControlSet\\Services"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001\\Control"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Microsoft"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Installer\\Products"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products"},
        {HKEY_CLASSES_ROOT, L""},
        {HKEY_CLASSES_ROOT, L"Installer"},
        {HKEY_CLASSES_ROOT, L"CLSID"},
        {HKEY_CLASSES_ROOT, L"Wow6432Node\\CLSID"},
        {HKEY_CURRENT_USER, L""},
        {HKEY_CURRENT_USER, L"Software"},
        {HKEY_CURRENT_USER, L"Software\\Classes"},
        {HKEY_USERS, L""},
        {HKEY_USERS, L"S-1-5-21-1-2-3-1001"},
        {HKEY_USERS, L"alice\\"},
        {HKEY_USERS, L"alice\\Software"},
        {HKEY_USERS, L".DEFAULT\\Software\\Microsoft"},
        {HKEY_USERS, L"S-1-5-21-1-2-3-1001_Classes"},
        {HKEY_USERS, L"S-1-5-21-1-2-3-1001_Classes\\CLSID"},
        {HKEY_CURRENT_CONFIG, L""},
        {HKEY_PERFORMANCE_DATA, L"Anything"},
    };
    for (const auto& key : protectedKeys)
        EXPECT_TRUE(IsProtectedRegistryKey(key.root, key.path)) << key.path;

    const struct {
        HKEY root;
        const wchar_t* path;
    } agentKeys[] = {
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\NrvBrokerAgent"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Halvora"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZorPrintSvc"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\NetworkProvider\\PKpaClientNetwork"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\NrvVmBoot"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Lsa\\HvrAuth"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\Root\\HVRVMIC"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\WinStations\\RDP-Tcp\\Halvora"},
        {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Zorander Print Monitor"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvora\\Zorander"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Halvora\\Zorander"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Halvora.Zorander.1"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\AppID\\NrvBrokerAgent.exe"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Halvora Zorander"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\zshell.exe"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\ABC"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\22B1B4706C98AF45F9FAA8D1D5712B33"},
        {HKEY_CLASSES_ROOT, L"Installer\\Products\\22B1B4706C98AF45F9FAA8D1D5712B33"},
        {HKEY_USERS, L"alice\\Software\\Halvora\\Zorander"},
        {HKEY_USERS, L".DEFAULT\\Software\\Halvora\\Zorander"},
        {HKEY_CURRENT_USER, L"Software\\Halvora\\KpaSession"},
    };
    for (const auto& key : agentKeys)
        EXPECT_FALSE(IsProtectedRegistryKey(key.root, key.path)) << key.path;
}

} // namespace
