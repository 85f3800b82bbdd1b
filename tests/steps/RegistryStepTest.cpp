// The registry step against the real registry of the test's Wine prefix:
// what it deletes (in which view and which hive), what it backs up and
// records, what it refuses, and that user hives are always unloaded.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "steps/RegistryStep.h"
#include "support/TestSupport.h"
#include "system/AsciiText.h"
#include "system/Privileges.h"
#include "system/ScopeGuards.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

const REGSAM V64 = KEY_WOW64_64KEY;
const REGSAM V32 = KEY_WOW64_32KEY;
const wchar_t* const kBase = L"SOFTWARE\\HalvoraStepTest";

void SetValue(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& name, DWORD type,
              const std::wstring& data)
{
    HKEY key = CreateRegistryKey(root, path, view);
    ASSERT_NE(nullptr, key) << WideToUtf8(path);
    UniqueRegKey owned(key);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
}

void SetString(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& name, const std::wstring& data)
{
    SetValue(root, path, view, name, REG_SZ, data);
}

void MakeKey(HKEY root, const std::wstring& path, REGSAM view)
{
    UniqueRegKey key(CreateRegistryKey(root, path, view));
    ASSERT_TRUE(key) << WideToUtf8(path);
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    UniqueRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

std::string Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string StringBytes(const std::wstring& text)
{
    return Bytes(text + std::wstring(1, L'\0'));
}

struct Item {
    std::string text;
    std::string errorId;  // "" when the removal succeeded
    bool operator==(const Item& other) const { return text == other.text && errorId == other.errorId; }
};

std::ostream& operator<<(std::ostream& out, const Item& item)
{
    return out << "{" << item.text << ", " << (item.errorId.empty() ? "ok" : item.errorId) << "}";
}

std::vector<Item> RegistryItems()
{
    std::vector<Item> items;
    tinyxml2::XMLDocument document;
    if (!LoadXmlFile(Utf8ToWide(UninstallXmlLog::GetInstance().GetFilePath()), document) ||
        document.RootElement() == nullptr)
        return items;
    const tinyxml2::XMLElement* section = document.RootElement()->FirstChildElement("Registries");
    for (const tinyxml2::XMLElement* e = section ? section->FirstChildElement("registry") : nullptr; e;
         e = e->NextSiblingElement("registry")) {
        const char* error = e->Attribute("ErrorID");
        items.push_back({e->GetText() ? e->GetText() : "", error ? error : ""});
    }
    return items;
}

// What the logs gained since it was made.
class LogWatch {
public:
    LogWatch()
        : m_debug(ReadFileBytes(GetDebugLog().GetFilePath()).size()),
          m_backup(ReadFileBytes(GetRegLog().GetFilePath()).size()), m_items(RegistryItems().size())
    {
    }
    std::string Debug() const { return ReadFileBytes(GetDebugLog().GetFilePath()).substr(m_debug); }
    // Line ends folded to "\n".
    std::string Backup() const
    {
        const std::string text = ReadFileBytes(GetRegLog().GetFilePath()).substr(m_backup);
        std::string folded;
        folded.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
                folded += text[i];
        }
        return folded;
    }
    std::vector<Item> Items() const
    {
        std::vector<Item> all = RegistryItems();
        return std::vector<Item>(all.begin() + static_cast<std::ptrdiff_t>(std::min(m_items, all.size())), all.end());
    }

private:
    size_t m_debug, m_backup, m_items;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}


class RegistryStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kBase, V64);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kBase, V32);
    }
    void TearDown() override
    {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kBase, V64);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kBase, V32);
    }
    static std::wstring Path(const std::wstring& rest) { return std::wstring(kBase) + L"\\" + rest; }
};

TEST_F(RegistryStepTest, ValuesAreBackedUpThenDeletedInTheirOwnView)
{
    SetString(HKEY_LOCAL_MACHINE, Path(L"Values"), V64, L"Agent", L"native agent");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Values"), V64, L"Keep", L"stays");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Values"), V32, L"Agent", L"wow agent");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Values"), V32, L"Keep", L"stays too");

    RegistryStepLists lists;
    const std::string key = "HKLM\\SOFTWARE\\HalvoraStepTest\\Values";
    lists.values = {{key, "Agent", false}, {key, "Agent", true}, {key, "Missing", false},
                    {"HKLM\\SOFTWARE\\HalvoraStepTest\\NoSuchKey", "Agent", false}, {"HKXX\\Software", "Agent", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.RemoveRegistryValues();

    EXPECT_EQ("<absent>", ReadRegistryValueBytes(HKEY_LOCAL_MACHINE, Path(L"Values"), V64, L"Agent"));
    EXPECT_EQ("<absent>", ReadRegistryValueBytes(HKEY_LOCAL_MACHINE, Path(L"Values"), V32, L"Agent"));
    EXPECT_EQ(StringBytes(L"stays"), ReadRegistryValueBytes(HKEY_LOCAL_MACHINE, Path(L"Values"), V64, L"Keep"));
    EXPECT_EQ(StringBytes(L"stays too"), ReadRegistryValueBytes(HKEY_LOCAL_MACHINE, Path(L"Values"), V32, L"Keep"));

    const std::vector<Item> expected = {{key + "--value:Agent", ""}, {key + "--value:Agent", ""}};
    EXPECT_EQ(expected, watch.Items());
    const std::string backup = watch.Backup();
    EXPECT_TRUE(Contains(backup, "\"Agent\"=\"native agent\"")) << backup;
    EXPECT_TRUE(Contains(backup, "\"Agent\"=\"wow agent\"")) << backup;
    EXPECT_FALSE(Contains(backup, "Keep")) << backup;
    const std::string debug = watch.Debug();
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveRegistryValues Entry\r\n")) << debug;
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveRegistryValues: Error: unrecognized predefined Key HKXX\r\n"))
        << debug;
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveRegistryValues Exit\r\n")) << debug;
}

TEST_F(RegistryStepTest, EmptyListsLogTheirCount)
{
    RegistryStep step(8, "registry", RegistryStepLists());
    LogWatch watch;
    step.RemoveRegistryValues();
    step.RemoveUpgradeCodesKeys();
    step.RemoveRegistryKeys();
    step.SearchAndRemoveRegistryKeys();
    const std::string debug = watch.Debug();
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveRegistryValues: Error: reg values count is 0\r\n")) << debug;
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveUpgradeCodesKeys: No upgradecodes in config.xml \r\n")) << debug;
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::RemoveRegistryKeys: Error: reg keys count is 0\r\n")) << debug;
    EXPECT_TRUE(Contains(debug, "\tRegistryStep::SearchAndRemoveRegistryKeys: Error: search entries count is 0\r\n"))
        << debug;
    EXPECT_FALSE(Contains(debug, "Exit")) << debug;
    EXPECT_TRUE(watch.Items().empty());
}

TEST_F(RegistryStepTest, KeysPlainAndWildcardAreDeletedWithEverythingBelowThem)
{
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\Agent\\Deep\\Deeper"), V64, L"v", L"64");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\Agent"), V32, L"v", L"32");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\ZorOne"), V64, L"v", L"1");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\zortwo\\sub"), V64, L"v", L"2");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\Other"), V64, L"v", L"other");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Keys\\OtherXY"), V64, L"v", L"other");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Rest\\A\\Sub\\Inner"), V64, L"v", L"a");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Rest\\A"), V64, L"keep", L"a");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Rest\\B"), V64, L"v", L"b");

    RegistryStepLists lists;
    lists.keys = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Agent", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Agent", true},
                  {"hklm\\SOFTWARE\\HalvoraStepTest\\Keys\\Zor*", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Rest\\*\\Sub", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Other*XY", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Missing", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Missing*\\Sub", false},
                  {"HKLM\\SOFTWARE\\" + std::string(3000, 'L'), false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.RemoveRegistryKeys();

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\Agent"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\Agent"), V32));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\ZorOne"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\zortwo"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\Other"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Keys\\OtherXY"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Rest\\A\\Sub"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Rest\\A"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Rest\\B"), V64));

    const std::vector<Item> expected = {
        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Agent", ""},
        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Keys\\Agent", ""},
        {"hklm\\SOFTWARE\\HalvoraStepTest\\Keys\\ZorOne", ""},
        {"hklm\\SOFTWARE\\HalvoraStepTest\\Keys\\zortwo", ""},
        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Rest\\A\\Sub", ""},
    };
    EXPECT_EQ(expected, watch.Items());
    const std::string backup = watch.Backup();
    EXPECT_TRUE(Contains(backup, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HalvoraStepTest\\Keys\\Agent\\Deep\\Deeper]\n\"v\"=\"64\""))
        << backup;
    EXPECT_TRUE(Contains(backup, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HalvoraStepTest\\Keys\\zortwo\\sub]")) << backup;
    EXPECT_TRUE(Contains(backup, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HalvoraStepTest\\Rest\\A\\Sub\\Inner]")) << backup;
    EXPECT_FALSE(Contains(backup, "Other")) << backup;
    EXPECT_FALSE(Contains(watch.Debug(), "Error")) << watch.Debug();
}

TEST_F(RegistryStepTest, HiveRootsAndSystemKeysAreRefusedAndRecordedAsFailed)
{
    RegistryStepLists lists;
    lists.keys = {{"HKLM", false},
                  {"HKLM\\", false},
                  {"HKLM\\SOFTWARE", false},
                  {"HKLM\\SOFTWARE\\Microsoft\\", false},
                  {"HKLM\\SYSTEM\\CurrentControlSet\\Services", true},
                  {"HKCR\\CLSID", false},
                  {"HKCU\\Software", false},
                  {"HKU\\.DEFAULT", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.RemoveRegistryKeys();
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft", V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", V64));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID", V64));
    EXPECT_TRUE(KeyExists(HKEY_USERS, L".DEFAULT", V64));
    std::vector<Item> expected;
    for (const RegKeyEntry& entry : lists.keys)
        expected.push_back({entry.keyPath, "5"});
    EXPECT_EQ(expected, watch.Items());
    EXPECT_TRUE(watch.Backup().empty()) << watch.Backup();
    const std::string debug = watch.Debug();
    EXPECT_TRUE(Contains(debug, "RegistryStep::RemoveRegistryKeys: Error: The key HKEY_LOCAL_MACHINE\\SOFTWARE is a "
                                "protected system key; it is not deleted"))
        << debug;
    EXPECT_TRUE(Contains(debug, "RegistryStep::RemoveRegistryKeys: Error: Delete key HKLM\\SOFTWARE failed with error: 5"))
        << debug;

    // A wildcard over the user hive roots reaches every hive and deletes none.
    lists.keys = {{"HKU\\*", false}};
    RegistryStep users(8, "registry", lists);
    LogWatch usersWatch;
    users.RemoveRegistryKeys();
    const std::vector<Item> items = usersWatch.Items();
    EXPECT_FALSE(items.empty());
    for (const Item& item : items)
        EXPECT_EQ("5", item.errorId) << item;
    EXPECT_TRUE(KeyExists(HKEY_USERS, L".DEFAULT", V64));
}

TEST_F(RegistryStepTest, SearchDeletesTheKeyAboveTheTrailingTextOfEachMatch)
{
    const std::wstring products = L"UserData\\S-1-5-18\\Products\\";
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P1\\InstallProperties"), V64, L"DisplayName",
              L"Halvora Zorander Plug-in");
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P1\\Features"), V64, L"f", L"1");
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P2\\InstallProperties"), V64, L"DisplayName",
              L"Halvora Tidewater Bridge for Halvora Zorander");
    SetValue(HKEY_LOCAL_MACHINE, Path(products + L"P3\\InstallProperties"), V64, L"DisplayName", REG_EXPAND_SZ,
             L"Halvora Zorander");
    SetValue(HKEY_LOCAL_MACHINE, Path(products + L"P3\\InstallProperties"), V64, L"Other", REG_MULTI_SZ,
             std::wstring(L"Halvora Zorander\0", 17));
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P4\\Features"), V64, L"Note", L"halvora zorander");
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P7\\InstallProperties"), V64, L"DisplayName", L"Halvora Zorander");
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P7\\InstallProperties2"), V64, L"DisplayName", L"Halvora Zorander");
    SetString(HKEY_LOCAL_MACHINE, Path(L"UserData\\S-1-5-21-7\\Products\\P6\\InstallProperties"), V64, L"A", L"x");
    SetString(HKEY_LOCAL_MACHINE, Path(L"UserData\\S-1-5-21-7\\Products\\P6\\InstallProperties"), V64, L"B",
              L"HALVORA ZORANDER x64");
    // The same tree in the 32-bit view is not searched by an entry of the
    // native view.
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P8\\InstallProperties"), V32, L"DisplayName", L"Halvora Zorander");

    RegistryStepLists lists;
    lists.searches = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\UserData\\*\\Products", "Halvora Zorander",
                       "InstallProperties", false},
                      {"HKLM\\SOFTWARE\\HalvoraStepTest\\UserData\\*Products", "Halvora Zorander", "", false},
                      {"HKLM\\SOFTWARE\\HalvoraStepTest\\Nothing", "Halvora Zorander", "", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.SearchAndRemoveRegistryKeys();

    const std::string base = "HKLM\\SOFTWARE\\HalvoraStepTest\\UserData\\";
    const std::vector<Item> expected = {
        {base + "S-1-5-18\\Products\\P1", ""},
        {base + "S-1-5-18\\Products\\P7", ""},
        {base + "S-1-5-18\\Products\\P7", "-1"},
        {base + "S-1-5-21-7\\Products\\P6", ""},
    };
    EXPECT_EQ(expected, watch.Items());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P1"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P2\\InstallProperties"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P3\\InstallProperties"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P4\\Features"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P7"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"UserData\\S-1-5-21-7\\Products\\P6"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(products + L"P8\\InstallProperties"), V32));
    EXPECT_TRUE(Contains(watch.Backup(), "\"f\"=\"1\"")) << watch.Backup();
}

TEST_F(RegistryStepTest, UpgradeCodeKeyTakesItsProductKeysAlong)
{
    const std::wstring upgrade = L"SOFTWARE\\Classes\\Installer\\UpgradeCodes\\0F0E0D0C0B0A09080706050403020100";
    const std::wstring product1 = L"Installer\\Products\\11111111111111111111111111111111";
    const std::wstring product2 = L"Installer\\Products\\22222222222222222222222222222222";
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, upgrade, V64);
    SetString(HKEY_LOCAL_MACHINE, upgrade, V64, L"11111111111111111111111111111111", L"");
    SetString(HKEY_LOCAL_MACHINE, upgrade, V64, L"22222222222222222222222222222222", L"");
    SetString(HKEY_LOCAL_MACHINE, upgrade, V64, L"", L"default value names no product");
    SetString(HKEY_CLASSES_ROOT, product1 + L"\\SourceList", V64, L"PackageName", L"agent.msi");
    SetString(HKEY_CLASSES_ROOT, product1, V64, L"ProductName", L"Halvora Zorander");

    RegistryStepLists lists;
    lists.upgradeCodeKeys = {"HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\0F0E0D0C0B0A09080706050403020100",
                             "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.RemoveUpgradeCodesKeys();

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, product1, V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, upgrade, V64));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Installer\\Products", V64));
    const std::vector<Item> expected = {{"HKEY_CLASSES_ROOT\\" + WideToUtf8(product1), ""}};
    EXPECT_EQ(expected, watch.Items());
    const std::string backup = watch.Backup();
    // The backup names the key where it lives: the machine's classes, which
    // HKEY_CLASSES_ROOT shows merged with the user's.
    EXPECT_TRUE(Contains(ToAsciiUpper(backup),
                         ToAsciiUpper("[HKEY_LOCAL_MACHINE\\Software\\Classes\\" + WideToUtf8(product1) + "\\SourceList]")))
        << backup;
    EXPECT_TRUE(Contains(backup, "\"11111111111111111111111111111111\"=\"\"")) << backup;
    EXPECT_FALSE(Contains(watch.Debug(), "Error")) << watch.Debug();
}

// Two offline users' profiles beside a profile folder of the process's
// own, each with an NTUSER.DAT built from a key of the test.
class UserHives {
public:
    UserHives() : m_folder(L"profiles"), m_profile(L"USERPROFILE", m_folder.Path() + L"me")
    {
        CreateDirectoryW((m_folder.Path() + L"me").c_str(), nullptr);
        CreateDirectoryW((m_folder.Path() + L"Public").c_str(), nullptr);
    }

    // False (with the reason) when Wine refuses to save a hive.
    bool AddUser(const std::wstring& name, std::string& reason)
    {
        UniqueKernelHandle token;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
        EnabledPrivilege backup(token.get(), L"SeBackupPrivilege");
        const std::wstring seed = L"Software\\HalvoraHiveSeed";
        DeleteRegistryTree(HKEY_CURRENT_USER, seed, V64);
        SetString(HKEY_CURRENT_USER, seed + L"\\Software\\Halvora\\Zorander\\Settings", V64, L"User", name);
        SetString(HKEY_CURRENT_USER, seed + L"\\Software\\Halvora\\Keep", V64, L"User", name);
        SetString(HKEY_CURRENT_USER, seed + L"\\Software\\Halvora", V64, L"Vendor", L"Halvora");
        const std::wstring folder = m_folder.Path() + name;
        CreateDirectoryW(folder.c_str(), nullptr);
        UniqueRegKey source;
        RegOpenKeyExW(HKEY_CURRENT_USER, seed.c_str(), 0, KEY_READ | V64, source.put());
        const LONG saved = RegSaveKeyW(source.get(), (folder + L"\\NTUSER.DAT").c_str(), nullptr);
        source.reset();
        DeleteRegistryTree(HKEY_CURRENT_USER, seed, V64);
        if (saved != ERROR_SUCCESS) {
            reason = "Wine refused RegSaveKeyW: error " + std::to_string(saved);
            return false;
        }
        return true;
    }
    std::wstring HiveFile(const std::wstring& name) const { return m_folder.Path() + name + L"\\NTUSER.DAT"; }

private:
    ScopedTempDir m_folder;
    ScopedVariable m_profile;
};

bool CanOpenExclusively(const std::wstring& file)
{
    UniqueKernelHandle handle(
        CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return handle.valid();
}

TEST_F(RegistryStepTest, EveryUsersHiveIsReachedAndUnloadedAgain)
{
    UserHives hives;
    std::string reason;
    if (!hives.AddUser(L"zraalice", reason) || !hives.AddUser(L"zrabob", reason))
        GTEST_SKIP() << reason;

    RegistryStepLists lists;
    lists.keys = {{"HKU\\*\\Software\\Halvora\\Zorander", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.AddOperationPermission();
    std::vector<std::wstring> loaded = step.GetLoadedHives();
    if (loaded.empty())
        GTEST_SKIP() << "the user hives could not be loaded here: " << watch.Debug();
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ((std::vector<std::wstring>{L"zraalice", L"zrabob"}), loaded);
    step.RemoveRegistryKeys();
    EXPECT_TRUE(KeyExists(HKEY_USERS, L"zraalice\\Software\\Halvora\\Keep", V64));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"zraalice\\Software\\Halvora\\Zorander", V64));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"zrabob\\Software\\Halvora\\Zorander", V64));
    step.ReleaseOperationPermission();
    EXPECT_TRUE(step.GetLoadedHives().empty());
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"zraalice", V64));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"zrabob", V64));
    EXPECT_TRUE(CanOpenExclusively(hives.HiveFile(L"zraalice")));
    EXPECT_TRUE(CanOpenExclusively(hives.HiveFile(L"zrabob")));

    std::vector<Item> items = watch.Items();
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.text < b.text; });
    const std::vector<Item> expected = {{"HKU\\zraalice\\Software\\Halvora\\Zorander", ""},
                                        {"HKU\\zrabob\\Software\\Halvora\\Zorander", ""}};
    EXPECT_EQ(expected, items);
    const std::string debug = watch.Debug();
    const std::string line = "\tRegistryStep::AddOperationPermission: Load user profile for ***** succeeded\r\n";
    const size_t first = debug.find(line);
    ASSERT_NE(std::string::npos, first) << debug;
    EXPECT_NE(std::string::npos, debug.find(line, first + 1)) << debug;
    // The user names appear only in the registry paths of the removals.
    EXPECT_FALSE(Contains(debug, "Load user profile for zra")) << debug;
    EXPECT_FALSE(Contains(debug, "Public")) << debug;
    EXPECT_TRUE(Contains(watch.Backup(), "[HKEY_USERS\\zraalice\\Software\\Halvora\\Zorander\\Settings]\n\"User\"=\"zraalice\""))
        << watch.Backup();

    // The hives load again: nothing of the first load is left behind.
    LogWatch again;
    step.AddOperationPermission();
    EXPECT_EQ(2u, step.GetLoadedHives().size()) << again.Debug();
    step.ReleaseOperationPermission();
}

TEST_F(RegistryStepTest, HivesAreUnloadedWhenAnOperationThrows)
{
    UserHives hives;
    std::string reason;
    if (!hives.AddUser(L"zracarol", reason))
        GTEST_SKIP() << reason;
    RegistryStepLists lists;
    lists.keys = {{"HKU\\*\\Software\\Halvora\\Zorander", false}};
    RegistryStep step(8, "registry", lists);
    bool wasLoaded = false;
    bool restoreWasEnabled = false;
    UniqueKernelHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, token.put()));
    SetPrivilege(token.get(), L"SeRestorePrivilege", false);
    step.SetBeforeOperation([&](const wchar_t* name) {
        if (std::wstring(name) == L"RegistryStep::RemoveRegistryKeys") {
            wasLoaded = KeyExists(HKEY_USERS, L"zracarol\\Software\\Halvora\\Zorander", V64);
            restoreWasEnabled = IsPrivilegeEnabled(token.get(), L"SeRestorePrivilege");
            throw std::runtime_error("injected failure");
        }
    });
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusFailed, step.GetStatus());
    // Enabled while the step ran, disabled again when it failed.
    EXPECT_TRUE(restoreWasEnabled);
    EXPECT_FALSE(IsPrivilegeEnabled(token.get(), L"SeRestorePrivilege"));
    if (!wasLoaded)
        GTEST_SKIP() << "the user hive could not be loaded here";
    EXPECT_TRUE(step.GetLoadedHives().empty());
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"zracarol", V64));
    EXPECT_TRUE(CanOpenExclusively(hives.HiveFile(L"zracarol")));
}

} // namespace

namespace {

// A registry link key at root\path (view) pointing at a kernel path such as
// \Registry\Machine\SOFTWARE\X; false when the link cannot be made here.
bool MakeRegistryLink(const std::wstring& path, REGSAM view, const std::wstring& target)
{
    UniqueRegKey link;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS | view, nullptr, link.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                          static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void DeleteRegistryLink(const std::wstring& path, REGSAM view)
{
    UniqueRegKey link;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, link.put()) ==
        ERROR_SUCCESS) {
        typedef LONG(WINAPI * DeleteKeyFn)(HANDLE);
        const DeleteKeyFn deleteKey = reinterpret_cast<DeleteKeyFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
        if (deleteKey != nullptr)
            deleteKey(link.get());
    }
}

TEST_F(RegistryStepTest, NothingReachedThroughARegistryLinkIsDeleted)
{
    SetString(HKEY_LOCAL_MACHINE, Path(L"Elsewhere\\Inner"), V64, L"precious", L"stays");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Links\\Agent"), V64, L"v", L"agent");
    const std::wstring target = L"\\Registry\\Machine\\SOFTWARE\\HalvoraStepTest\\Elsewhere";
    if (!MakeRegistryLink(Path(L"Links\\Agent\\Link"), V64, target) ||
        !MakeRegistryLink(Path(L"Links\\Whole"), V64, target))
        GTEST_SKIP() << "registry links cannot be created here";
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Links\\Whole\\Inner"), V64)) << "the link does not lead anywhere";

    SetString(HKEY_LOCAL_MACHINE, Path(L"Links\\Wild\\ZorReal\\Inner"), V64, L"v", L"agent");
    if (!MakeRegistryLink(Path(L"Links\\Wild\\ZorLink"), V64, target))
        GTEST_SKIP() << "registry links cannot be created here";

    RegistryStepLists lists;
    lists.keys = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Agent", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Whole", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Wild\\Zor*\\Inner", false},
                  {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Wild\\Zor*", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.RemoveRegistryKeys();
    DeleteRegistryLink(Path(L"Links\\Whole"), V64);
    DeleteRegistryLink(Path(L"Links\\Agent\\Link"), V64);
    DeleteRegistryLink(Path(L"Links\\Wild\\ZorLink"), V64);

    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Elsewhere\\Inner"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Links\\Agent"), V64));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Links\\Wild\\ZorReal"), V64));
    const std::vector<Item> expected = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Agent", ""},
                                        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Whole", "5"},
                                        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Wild\\ZorReal\\Inner", ""},
                                        {"HKLM\\SOFTWARE\\HalvoraStepTest\\Links\\Wild\\ZorReal", ""}};
    EXPECT_EQ(expected, watch.Items());
}

TEST_F(RegistryStepTest, SearchDoesNotFollowARegistryLinkInACircle)
{
    const std::wstring products = L"UserData\\S-1-5-18\\Products\\";
    SetString(HKEY_LOCAL_MACHINE, Path(products + L"P9\\InstallProperties"), V64, L"DisplayName", L"Other");
    SetString(HKEY_LOCAL_MACHINE, Path(L"Elsewhere\\InstallProperties"), V64, L"DisplayName", L"Halvora Zorander");
    if (!MakeRegistryLink(Path(products + L"P9\\Loop"), V64,
                          L"\\Registry\\Machine\\SOFTWARE\\HalvoraStepTest\\UserData\\S-1-5-18\\Products\\P9") ||
        !MakeRegistryLink(Path(products + L"P10"), V64, L"\\Registry\\Machine\\SOFTWARE\\HalvoraStepTest\\Elsewhere"))
        GTEST_SKIP() << "registry links cannot be created here";
    RegistryStepLists lists;
    lists.searches = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\UserData\\*\\Products", "Halvora Zorander",
                       "InstallProperties", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.SearchAndRemoveRegistryKeys();
    DeleteRegistryLink(Path(products + L"P9\\Loop"), V64);
    DeleteRegistryLink(Path(products + L"P10"), V64);
    EXPECT_TRUE(watch.Items().empty());
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Elsewhere\\InstallProperties"), V64));
}

TEST_F(RegistryStepTest, KeyWithHundredsOfThousandsOfValuesIsSearchedBackedUpAndDeleted)
{
    const DWORD count = 200000;
    {
        UniqueRegKey key(CreateRegistryKey(HKEY_LOCAL_MACHINE, Path(L"Big\\Products\\P1\\InstallProperties"), V64));
        ASSERT_TRUE(key);
        for (DWORD i = 0; i < count; ++i) {
            // Names in ascending order: Wine keeps a key's values sorted by name.
            wchar_t name[16];
            swprintf(name, 16, L"v%06lu", static_cast<unsigned long>(i));
            const std::wstring data = i + 1 == count ? L"Halvora Zorander" : L"data " + std::to_wstring(i);
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name, 0, REG_SZ,
                                                    reinterpret_cast<const BYTE*>(data.c_str()),
                                                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
        }
    }
    RegistryStepLists lists;
    lists.searches = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\Big\\Products", "Halvora Zorander", "InstallProperties", false}};
    RegistryStep step(8, "registry", lists);
    LogWatch watch;
    step.SearchAndRemoveRegistryKeys();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Big\\Products\\P1"), V64));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, Path(L"Big\\Products"), V64));
    const std::vector<Item> expected = {{"HKLM\\SOFTWARE\\HalvoraStepTest\\Big\\Products\\P1", ""}};
    EXPECT_EQ(expected, watch.Items());
    const std::string backup = watch.Backup();
    EXPECT_TRUE(Contains(backup, "\"v000000\"=\"data 0\"\n")) << backup.size();
    EXPECT_TRUE(Contains(backup, "\"v199999\"=\"Halvora Zorander\"\n")) << backup.size();
}

} // namespace
