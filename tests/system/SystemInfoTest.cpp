#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/ErrorText.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

namespace {

const wchar_t* const HalvoraKey = L"SOFTWARE\\Halvora";
const wchar_t* const VersionsKey = L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander";
const wchar_t* const UninstallKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Halvora Zorander";
const wchar_t* const SessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

HKEY CreateKey(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
    return key;
}

void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& data,
               REGSAM view = KEY_WOW64_64KEY)
{
    HKEY key = CreateKey(path, view);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// Writes a REG_MULTI_SZ exactly as given: empty strings in the middle are
// kept, as Windows writes them for pending deletions.
void SetMultiString(const std::wstring& path, const std::wstring& name, const std::vector<std::wstring>& items)
{
    std::wstring data;
    for (const std::wstring& item : items) {
        data += item;
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    HKEY key = CreateKey(path);
    RegSetValueExW(key, name.c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

void DeleteTree(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY)
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, path, view);
}

// Every test starts and ends without the agent's keys in either view.
class AgentRegistry : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            DeleteTree(HalvoraKey, view);
            DeleteTree(UninstallKey, view);
        }
    }
};

std::string DebugLogText()
{
    return ReadFileBytes(GetDebugLog().GetFilePath());
}

} // namespace

TEST_F(AgentRegistry, NothingInstalledGivesEmptyResults)
{
    EXPECT_EQ(2, GetZraInstallationType());
    EXPECT_EQ("", GetZraCurrentVersion());
    EXPECT_EQ("", GetZraPreviousVersion());
    EXPECT_EQ("", GetMachineId());
}

TEST_F(AgentRegistry, FreshInstallReadsVersionAndMachineId)
{
    SetString(VersionsKey, L"Other", L"9.9");
    SetString(VersionsKey, L"Halvora Zorander 7", L"7.2.1.40");
    SetString(L"SOFTWARE\\Halvora\\MetaInstall", L"MachineID", L"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}");
    EXPECT_EQ(1, GetZraInstallationType());
    EXPECT_EQ("7.2.1.40", GetZraCurrentVersion());
    EXPECT_EQ("{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", GetMachineId());
    // Not upgraded: no previous version even when the history holds one.
    SetMultiString(std::wstring(VersionsKey) + L"\\History\\Initial Install", L"Pre-existing State", {L"ZRA:6.0"});
    EXPECT_EQ("", GetZraPreviousVersion());
}

TEST_F(AgentRegistry, UpgradeGivesPreviousVersionAfterTheFirstColon)
{
    RegCloseKey(CreateKey(std::wstring(VersionsKey) + L"\\History\\Upgrade"));
    const std::wstring initial = std::wstring(VersionsKey) + L"\\History\\Initial Install";
    EXPECT_EQ(0, GetZraInstallationType());
    EXPECT_EQ("", GetZraPreviousVersion());  // no value yet

    SetMultiString(initial, L"Pre-existing State", {L"Zorander:6.4.2.1:x", L"Other:1.0"});
    EXPECT_EQ("6.4.2.1:x", GetZraPreviousVersion());
    SetMultiString(initial, L"Pre-existing State", {L"6.3.0.0"});
    EXPECT_EQ("6.3.0.0", GetZraPreviousVersion());
    SetMultiString(initial, L"Pre-existing State", {L"Zorander:6.3 \u00e9t\u00e9"});
    EXPECT_EQ("6.3 \xc3\xa9t\xc3\xa9", GetZraPreviousVersion());
    SetMultiString(initial, L"Pre-existing State", {});
    EXPECT_EQ("", GetZraPreviousVersion());
}

TEST_F(AgentRegistry, VersionKeyWithoutProductValueHidesTheUninstallEntry)
{
    SetString(UninstallKey, L"DisplayVersion", L"5.5.5.5");
    EXPECT_EQ(2, GetZraInstallationType());
    EXPECT_EQ("5.5.5.5", GetZraCurrentVersion());

    SetString(VersionsKey, L"Something else", L"1.1");
    EXPECT_EQ("", GetZraCurrentVersion());
}

TEST_F(AgentRegistry, OnlyThe64BitViewCounts)
{
    SetString(VersionsKey, L"Halvora Zorander", L"8.0.0.1", KEY_WOW64_32KEY);
    SetString(L"SOFTWARE\\Halvora\\MetaInstall", L"MachineID", L"wow-id", KEY_WOW64_32KEY);
    EXPECT_EQ(2, GetZraInstallationType());
    EXPECT_EQ("", GetZraCurrentVersion());
    EXPECT_EQ("", GetMachineId());

    SetString(VersionsKey, L"Halvora Zorander", L"8.0.0.2");
    EXPECT_EQ("8.0.0.2", GetZraCurrentVersion());
}

class PendingReboot : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY key = CreateKey(SessionManagerKey);
        DWORD size = 0;
        m_had = RegQueryValueExW(key, Name, nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS;
        if (m_had) {
            m_saved.resize(size);
            RegQueryValueExW(key, Name, nullptr, &m_type, m_saved.data(), &size);
        }
        RegDeleteValueW(key, Name);
        RegCloseKey(key);
    }
    void TearDown() override
    {
        HKEY key = CreateKey(SessionManagerKey);
        if (m_had)
            RegSetValueExW(key, Name, 0, m_type, m_saved.data(), static_cast<DWORD>(m_saved.size()));
        else
            RegDeleteValueW(key, Name);
        RegCloseKey(key);
    }
    static void Set(const std::vector<std::wstring>& items) { SetMultiString(SessionManagerKey, Name, items); }

    static constexpr const wchar_t* Name = L"PendingFileRenameOperations";
    bool m_had = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_saved;
};

TEST_F(PendingReboot, MatchesTheMakerInAnyCase)
{
    EXPECT_FALSE(Utils::IsPendingReboot());  // no value at all

    Set({L"\\??\\C:\\Windows\\Temp\\a.tmp", L"", L"\\??\\C:\\Program Files\\Other\\b.dll", L"\\??\\C:\\b.dll"});
    EXPECT_FALSE(Utils::IsPendingReboot());

    for (const wchar_t* entry : {L"\\??\\C:\\Program Files\\Halvora\\zra.sys", L"\\??\\C:\\HALVORA\\x",
                                 L"\\??\\C:\\hAlVoRa\\x", L"\\??\\c:\\program files\\halvora zorander\\y.dll"}) {
        Set({entry, L""});
        EXPECT_TRUE(Utils::IsPendingReboot()) << WideToUtf8(entry);
    }
    // The rename's target is an entry too.
    Set({L"\\??\\C:\\Temp\\new.dll", L"\\??\\C:\\Halvora\\old.dll"});
    EXPECT_TRUE(Utils::IsPendingReboot());
}

TEST_F(PendingReboot, LooksAtEveryEntryPastDeletionsAndOtherScripts)
{
    // Pending deletions have an empty target, so the list holds empty
    // strings in the middle: entries after them still count.
    Set({L"\\??\\C:\\Temp\\one.tmp", L"", L"\\??\\C:\\\u00c9t\u00e9\\\u4e2d.tmp", L"",
         L"\\??\\C:\\ProgramData\\Halvora\\zra.log", L""});
    EXPECT_TRUE(Utils::IsPendingReboot());

    // Only ASCII letters are folded: a look-alike with a Cyrillic letter
    // does not match.
    Set({L"\\??\\C:\\Halvor\u0430\\x", L""});
    EXPECT_FALSE(Utils::IsPendingReboot());

    const std::string log = DebugLogText();
    EXPECT_NE(std::string::npos, log.find("\tUtils::IsPendingReboot Entry\r\n"));
    EXPECT_NE(std::string::npos, log.find("\tUtils::IsPendingReboot Exit\r\n"));
}

class XmlLogVersion : public ::testing::Test {
protected:
    std::string Read(const std::string& content, const std::wstring& name = L"UninstallLog.xml")
    {
        const std::wstring path = m_dir.Path() + name;
        WriteFileBytes(path, content);
        return Utils::GetZraVersionFromXmlLog(path);
    }
    ScopedTempDir m_dir{L"xmlver"};
};

TEST_F(XmlLogVersion, ReadsTheRecordedVersion)
{
    EXPECT_EQ("7.3.0.12", Read("<?xml version=\"1.0\"?>\n<Uninstall StartTime=\"x\">\n <MetaData>\n"
                               "  <OS>Windows 10</OS>\n  <CurrentVersion>7.3.0.12</CurrentVersion>\n"
                               " </MetaData>\n <Items/>\n</Uninstall>\n"));
    // A non-ASCII file name, and UTF-8 text returned as it is.
    EXPECT_EQ("7.3 b\xc3\xaata", Read("<Uninstall><MetaData><CurrentVersion>7.3 b\xc3\xaata</CurrentVersion>"
                                      "</MetaData></Uninstall>",
                                      L"journal \u00e9\u4e2d.xml"));
    const std::string log = DebugLogText();
    EXPECT_NE(std::string::npos, log.find("\tUtils::GetZraVersionFromXmlLog Entry\r\n"));
    EXPECT_NE(std::string::npos, log.find("\tUtils::GetZraVersionFromXmlLog Exit\r\n"));
}

TEST_F(XmlLogVersion, PartialDocumentsGiveEmpty)
{
    EXPECT_EQ("", Read("<Uninstall><MetaData><CurrentVersion/></MetaData></Uninstall>"));
    EXPECT_EQ("", Read("<Uninstall><MetaData><OS>10</OS></MetaData></Uninstall>"));
    EXPECT_EQ("", Read("<Uninstall><Items><CurrentVersion>1.2</CurrentVersion></Items></Uninstall>"));
    EXPECT_EQ("", Read("<Other><MetaData><CurrentVersion>1.2</CurrentVersion></MetaData></Other>"));
    // Only the first MetaData is looked at.
    EXPECT_EQ("", Read("<Uninstall><MetaData/><MetaData><CurrentVersion>1.2</CurrentVersion></MetaData></Uninstall>"));
}

TEST_F(XmlLogVersion, UnreadableFilesAreLoggedAndGiveEmpty)
{
    EXPECT_EQ("", Read("<Uninstall><MetaData><CurrentVersion>1.2</CurrentVersion></MetaData>"));  // cut short
    EXPECT_EQ("", Read("not xml at all"));
    EXPECT_EQ("", Read(""));
    EXPECT_EQ("", Utils::GetZraVersionFromXmlLog(m_dir.Path() + L"missing.xml"));
    EXPECT_EQ("", Utils::GetZraVersionFromXmlLog(L""));
    const std::string log = DebugLogText();
    EXPECT_NE(std::string::npos, log.find("\tUtils::GetZraVersionFromXmlLog failed. Open xml log file failed with "));
}

TEST_F(XmlLogVersion, FailureLineCarriesTheLoadErrorAndEndsTheCall)
{
    const auto lastCallLines = [] {
        const std::string log = DebugLogText();
        const size_t entry = log.rfind("\tUtils::GetZraVersionFromXmlLog Entry\r\n");
        return entry == std::string::npos ? std::string() : log.substr(entry);
    };
    const std::string failed = "\tUtils::GetZraVersionFromXmlLog failed. Open xml log file failed with ";
    // The library's own codes: file not found, empty document.
    Utils::GetZraVersionFromXmlLog(m_dir.Path() + L"missing.xml");
    std::string lines = lastCallLines();
    EXPECT_NE(std::string::npos, lines.find(failed + std::to_string(tinyxml2::XML_ERROR_FILE_NOT_FOUND) + "\r\n"));
    EXPECT_EQ(std::string::npos, lines.find("GetZraVersionFromXmlLog Exit"));

    Read("");
    lines = lastCallLines();
    EXPECT_NE(std::string::npos, lines.find(failed + std::to_string(tinyxml2::XML_ERROR_EMPTY_DOCUMENT) + "\r\n"));
    EXPECT_EQ(std::string::npos, lines.find("GetZraVersionFromXmlLog Exit"));
}

TEST(ErrorText, ComErrorsWithoutSystemText)
{
    EXPECT_EQ(L"IDispatch error #1", GetComErrorText(static_cast<HRESULT>(0x80040201UL)));
    EXPECT_EQ(L"IDispatch error #65023", GetComErrorText(static_cast<HRESULT>(0x8004FFFFUL)));
    EXPECT_EQ(L"Unknown error 0x8123ABCD", GetComErrorText(static_cast<HRESULT>(0x8123ABCDUL)));
    EXPECT_EQ(L"Unknown error 0x1234567", GetComErrorText(static_cast<HRESULT>(0x01234567UL)));
    // Just outside the IDispatch range on either side.
    EXPECT_EQ(L"Unknown error 0x80040200", GetComErrorText(static_cast<HRESULT>(0x80040200UL)));
    EXPECT_EQ(L"Unknown error 0x80050201", GetComErrorText(static_cast<HRESULT>(0x80050201UL)));
}

TEST(ErrorText, SystemTextsLoseTheirLineEnd)
{
    const std::wstring com = GetComErrorText(E_OUTOFMEMORY);
    ASSERT_FALSE(com.empty());
    EXPECT_EQ(std::wstring::npos, com.find(L"Unknown error"));
    EXPECT_NE(L'\n', com.back());
    EXPECT_NE(L'\r', com.back());

    const std::string win32 = GetWin32ErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(win32.empty());
    EXPECT_EQ(std::string::npos, win32.find("\r\n"));
    EXPECT_EQ("", GetWin32ErrorText(0x2FFFFFFF));
}

TEST(SystemFacts, Wow64AnswerMatchesTheProcess)
{
#ifdef _WIN64
    EXPECT_FALSE(IsWow64());
    GTEST_SKIP() << "a 64-bit process never runs under WOW64; the true answer needs the 32-bit build";
#else
    BOOL wow = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow);
    EXPECT_EQ(wow != FALSE, IsWow64());
#endif
}
