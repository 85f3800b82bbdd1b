#include <windows.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "logs/ResumeMarker.h"
#include "logs/UninstallXmlLog.h"
#include "support/TestSupport.h"
#include "system/ErrorText.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

std::vector<std::string> AttributeNames(const XMLElement* e)
{
    std::vector<std::string> names;
    for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next())
        names.push_back(a->Name());
    return names;
}

std::string Attr(const XMLElement* e, const char* name)
{
    const char* v = e->Attribute(name);
    return v ? v : "<absent>";
}

std::string Text(const XMLElement* e)
{
    const char* t = e->GetText();
    return t ? t : "";
}

int CountChildren(const XMLElement* e, const char* name)
{
    int n = 0;
    for (const XMLElement* c = e->FirstChildElement(name); c; c = c->NextSiblingElement(name))
        ++n;
    return n;
}

// "yyyy-mm-dd hh:mm:ss:mmm"
bool IsTimeStamp(const std::string& text)
{
    if (text.size() != 23)
        return false;
    const char* pattern = "dddd-dd-dd dd:dd:dd:ddd";
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    }
    return true;
}

class ResultLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogFolderOverride(m_dir.Path());
        m_path = m_dir.Path() + L"ZraCleanup\\UninstallLog.xml";
    }
    void TearDown() override { SetLogFolderOverride(L""); }

    // The saved file, parsed; fails the test when it is not a whole document.
    const XMLElement* Reload()
    {
        m_doc.reset(new XMLDocument());
        if (!LoadXmlFile(m_path, *m_doc))
            return nullptr;
        return m_doc->RootElement();
    }
    const XMLElement* SectionOnDisk(const char* name)
    {
        const XMLElement* root = Reload();
        return root ? root->FirstChildElement(name) : nullptr;
    }

    ScopedTempDir m_dir{L"zraxml"};
    std::wstring m_path;
    std::unique_ptr<XMLDocument> m_doc;
};

} // namespace

TEST_F(ResultLog, NewDocumentLayoutAndMetaData)
{
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
        EXPECT_EQ(WideToUtf8(m_path), log.GetFilePath());
        EXPECT_TRUE(log.LastSaveSucceeded());

        const std::string bytes = ReadFileBytes(m_path);
        EXPECT_EQ(0u, bytes.find("<Uninstall>\r\n")) << "no declaration, the root first";
        EXPECT_NE(std::string::npos, bytes.find("\r\n    <MetaData>\r\n        <OS>")) << "indented, CR LF";
        EXPECT_EQ(std::string::npos, bytes.find("\r\r"));
        EXPECT_TRUE(FileExists(m_path + L".tmp") || FileExists(m_path + L".tmp2")) << "the shadow copy of the next save";

        const XMLElement* root = Reload();
        ASSERT_NE(nullptr, root);
        EXPECT_STREQ("Uninstall", root->Name());
        EXPECT_EQ(root, m_doc->FirstChild()) << "the root is the only top-level node";
        EXPECT_EQ(nullptr, root->NextSibling());
        size_t i = 0;
        for (const XMLElement* s = root->FirstChildElement(); s; s = s->NextSiblingElement(), ++i) {
            ASSERT_LT(i, 10u);
            EXPECT_STREQ(UninstallXmlLog::Sections[i], s->Name());
            if (i > 0) {
                EXPECT_EQ(nullptr, s->FirstChild()) << s->Name();
            }
        }
        EXPECT_EQ(10u, i);

        const XMLElement* meta = root->FirstChildElement("MetaData");
        const char* const installTypes[] = {"Upgrade", "FreshInstall", "None"};
        const int type = GetZraInstallationType();
        const std::string expected[] = {GetOSDescription(),
                                        GetMachineId(),
                                        type >= 0 && type <= 2 ? installTypes[type] : "",
                                        GetZraPreviousVersion(),
                                        GetZraCurrentVersion(),
                                        Utils::IsPendingReboot() ? "True" : "False",
                                        "",
                                        "",
                                        "<stamp>",
                                        ""};
        i = 0;
        for (const XMLElement* m = meta->FirstChildElement(); m; m = m->NextSiblingElement(), ++i) {
            ASSERT_LT(i, 10u);
            EXPECT_STREQ(UninstallXmlLog::MetaDataElements[i], m->Name());
            EXPECT_EQ(nullptr, m->FirstAttribute()) << m->Name();
            if (expected[i] == "<stamp>") {
                EXPECT_TRUE(IsTimeStamp(Text(m))) << Text(m);
            } else {
                EXPECT_EQ(expected[i], Text(m)) << m->Name();
            }
        }
        EXPECT_EQ(10u, i);
        EXPECT_FALSE(GetOSDescription().empty());
    }
    // Destruction stamps the end time and leaves the log alone in its folder.
    const XMLElement* end = SectionOnDisk("MetaData")->FirstChildElement("EndTime");
    EXPECT_TRUE(IsTimeStamp(Text(end))) << Text(end);
    EXPECT_FALSE(FileExists(m_path + L".tmp")) << "no shadow copy left";
    EXPECT_FALSE(FileExists(m_path + L".tmp2"));
}

namespace {

// The agent's registry data the metadata is read from, written into this
// test prefix's registry for one test and removed again afterwards.
class SeededAgent {
public:
    SeededAgent()
    {
        HKEY key = nullptr;
        m_cleanHalvora = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvora", 0, KEY_READ | KEY_WOW64_64KEY,
                                       &key) != ERROR_SUCCESS;
        if (key != nullptr)
            RegCloseKey(key);
        key = Create(SessionManager);
        DWORD size = 0;
        m_hadRenames = RegQueryValueExW(key, Renames, nullptr, &m_renamesType, nullptr, &size) == ERROR_SUCCESS;
        m_renames.resize(size);
        if (m_hadRenames && size > 0)
            RegQueryValueExW(key, Renames, nullptr, &m_renamesType, m_renames.data(), &size);
        RegCloseKey(key);
    }
    ~SeededAgent()
    {
        if (m_cleanHalvora) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvora", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) ==
                ERROR_SUCCESS) {
                RegDeleteTreeW(key, nullptr);
                RegCloseKey(key);
            }
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvora", KEY_WOW64_64KEY, 0);
        }
        HKEY key = Create(SessionManager);
        if (m_hadRenames)
            RegSetValueExW(key, Renames, 0, m_renamesType, m_renames.data(), static_cast<DWORD>(m_renames.size()));
        else
            RegDeleteValueW(key, Renames);
        RegCloseKey(key);
    }
    // True when the test may write the agent's keys (none were there).
    bool Usable() const { return m_cleanHalvora; }

    static void SetValue(const wchar_t* path, const wchar_t* name, DWORD type, const std::wstring& data)
    {
        HKEY key = Create(path);
        RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size() * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    static void Upgraded(bool upgraded)
    {
        if (upgraded) {
            RegCloseKey(Create(L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander\\History\\Upgrade"));
        } else {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander\\History\\Upgrade",
                            KEY_WOW64_64KEY, 0);
        }
    }

    static constexpr const wchar_t* SessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const wchar_t* Renames = L"PendingFileRenameOperations";

private:
    static HKEY Create(const wchar_t* path)
    {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr);
        return key;
    }

    bool m_cleanHalvora = false;
    bool m_hadRenames = false;
    DWORD m_renamesType = 0;
    std::vector<BYTE> m_renames;
};

// REG_MULTI_SZ data: each string with its NUL, then the closing NUL.
std::wstring MultiString(std::initializer_list<const wchar_t*> items)
{
    std::wstring data;
    for (const wchar_t* item : items) {
        data += item;
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    return data;
}

std::vector<std::string> MetaDataTexts(const XMLElement* meta)
{
    std::vector<std::string> texts;
    for (const XMLElement* m = meta ? meta->FirstChildElement() : nullptr; m; m = m->NextSiblingElement())
        texts.push_back(Text(m));
    return texts;
}

} // namespace

// Each MetaData element carries its own fact of the installed agent.
TEST_F(ResultLog, MetaDataOfAnInstalledAgent)
{
    SeededAgent agent;
    ASSERT_TRUE(agent.Usable()) << "the test prefix already holds agent keys";
    const wchar_t* const versions = L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander";
    SeededAgent::SetValue(L"SOFTWARE\\Halvora\\MetaInstall", L"MachineID", REG_SZ,
                          std::wstring(L"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}") + L'\0');
    SeededAgent::SetValue(versions, L"Halvora Zorander", REG_SZ, std::wstring(L"7.15.0.3") + L'\0');
    SeededAgent::SetValue(L"SOFTWARE\\Halvora\\Versions\\Halvora Zorander\\History\\Initial Install",
                          L"Pre-existing State", REG_MULTI_SZ, MultiString({L"ZRA:7.9.0.12"}));
    SeededAgent::SetValue(SeededAgent::SessionManager, SeededAgent::Renames, REG_MULTI_SZ,
                          MultiString({L"\\??\\C:\\Program Files\\Halvora\\zra.sys", L""}));
    SeededAgent::Upgraded(true);
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
    }
    std::vector<std::string> texts = MetaDataTexts(SectionOnDisk("MetaData"));
    ASSERT_EQ(10u, texts.size());
    EXPECT_EQ("{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", texts[1]) << "MID";
    EXPECT_EQ("Upgrade", texts[2]);
    EXPECT_EQ("7.9.0.12", texts[3]) << "PreviousVersion";
    EXPECT_EQ("7.15.0.3", texts[4]) << "CurrentVersion";
    EXPECT_EQ("True", texts[5]) << "PendingReboot";

    // Installed without an upgrade: no previous version; no pending rename.
    SeededAgent::Upgraded(false);
    SeededAgent::SetValue(SeededAgent::SessionManager, SeededAgent::Renames, REG_MULTI_SZ,
                          MultiString({L"\\??\\C:\\Temp\\other.tmp", L""}));
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
    }
    texts = MetaDataTexts(SectionOnDisk("MetaData"));
    ASSERT_EQ(10u, texts.size());
    EXPECT_EQ("FreshInstall", texts[2]);
    EXPECT_EQ("", texts[3]);
    EXPECT_EQ("7.15.0.3", texts[4]);
    EXPECT_EQ("False", texts[5]);
}

TEST_F(ResultLog, ItemsOfEveryClassWithAttributesInKeyOrder)
{
    UninstallXmlLog log(L"UninstallLog.xml", false);
    struct Expect {
        const char* section;
        const char* element;
        const char* text;
        std::vector<std::string> attributes;
        std::vector<std::pair<const char*, std::string>> values;
    };
    const std::string comText = WideToUtf8(GetComErrorText(static_cast<HRESULT>(0x80070005)));
    const std::vector<std::pair<std::function<bool()>, Expect>> cases = {
        {[&] { return log.AddItem(CommonXmlLogItem(0, "Processes", "process", "agent.exe")); },
         {"Processes", "process", "agent.exe", {"TimeStamp", "Status"}, {{"Status", "Succeeded"}}}},
        {[&] { return log.AddItem(CommonXmlLogItem(1060, "Services", "service", "AgentSvc")); },
         {"Services",
          "service",
          "AgentSvc",
          {"TimeStamp", "Status", "ErrorID", "Message"},
          {{"Status", "Failed"}, {"ErrorID", "1060"}, {"Message", GetWin32ErrorText(1060)}}}},
        {[&] { return log.AddItem(CommonXmlLogItem(5, "Registries", "registry", "HKLM\\X--value:Y")); },
         {"Registries", "registry", "HKLM\\X--value:Y", {"TimeStamp", "Status", "ErrorID", "Message"},
          {{"ErrorID", "5"}}}},
        {[&] { return log.AddItem(CommonXmlLogItem(2, "Drivers", "driver", "zgfx")); },
         {"Drivers", "driver", "zgfx", {"TimeStamp", "Status", "ErrorID", "Message"}, {{"ErrorID", "2"}}}},
        {[&] { return log.AddItem(FileXmlLogItem(true, 0, "C:\\a")); },
         {"Files", "File", "C:\\a", {"TimeStamp", "Status"}, {{"Status", "Succeeded"}}}},
        {[&] { return log.AddItem(FileXmlLogItem(false, static_cast<int>(0x80070005), "C:\\b")); },
         {"Files",
          "File",
          "C:\\b",
          {"TimeStamp", "Status", "ErrorID", "Message"},
          {{"Status", "Failed"}, {"ErrorID", "-2147024891"}, {"Message", comText}}}},
        {[&] { return log.AddItem(MIXmlLogItem(8, "uninstall")); },
         {"MetaInstaller",
          "metaInstaller",
          "uninstall",
          {"TimeStamp", "Status", "ReturnCode", "Message"},
          {{"Status", "Succeeded"}, {"ReturnCode", "8"}, {"Message", "SuccessRebootNeeded"}}}},
        {[&] { return log.AddItem(MIXmlLogItem(5, "uninstall")); },
         {"MetaInstaller",
          "metaInstaller",
          "uninstall",
          {"TimeStamp", "Status", "ReturnCode", "Message"},
          {{"Status", "Failed"}, {"ReturnCode", "5"}, {"Message", ""}}}},
        {[&] { return log.AddItem(MIXmlLogItem(-1, "uninstall")); },
         {"MetaInstaller", "metaInstaller", "uninstall", {"TimeStamp", "Status", "ReturnCode", "Message"},
          {{"Status", "Failed"}, {"ReturnCode", "-1"}, {"Message", "Exit"}}}},
        {[&] { return log.AddItem(MSIXmlLogItem(3010, "Plug-in", "{A}", "7.9.0.12")); },
         {"MsiProducts",
          "msi",
          "Plug-in",
          {"TimeStamp", "Status", "UpgradeCode", "Version", "ReturnCode", "Message"},
          {{"Status", "Succeeded"},
           {"UpgradeCode", "{A}"},
           {"Version", "7.9.0.12"},
           {"ReturnCode", "3010"},
           {"Message", GetWin32ErrorText(3010)}}}},
        {[&] { return log.AddItem(MSIXmlLogItem(1603, "Broker", "{B}", "")); },
         {"MsiProducts", "msi", "Broker", {"TimeStamp", "Status", "UpgradeCode", "Version", "ReturnCode", "Message"},
          {{"Status", "Failed"}, {"ReturnCode", "1603"}}}},
        {[&] { return log.AddItem(MSIXmlLogItem(1641, "Core", "{C}", "1")); },
         {"MsiProducts", "msi", "Core", {"TimeStamp", "Status", "UpgradeCode", "Version", "ReturnCode", "Message"},
          {{"Status", "Succeeded"}}}},
        {[&] { return log.AddItem(RebootXmlLogItem("Pending Reboot")); },
         {"Reboots", "reboot", "Pending Reboot", {"RequestTime"}, {}}},
        {[&] { return log.AddItem(XmlLogItem("Processes", "process", "plain")); },
         {"Processes", "process", "plain", {"TimeStamp"}, {}}},
        {[&] { return log.AddItem(XmlLogItem("Files", "File", "a & <b> \"c\" \xC3\xA9", {{9, "x"}, {7, "m"}, {0, "s"}})); },
         {"Files", "File", "a & <b> \"c\" \xC3\xA9", {"TimeStamp", "Status", "Message"},
          {{"TimeStamp", "x"}, {"Status", "s"}, {"Message", "m"}}}},
    };
    for (const auto& c : cases) {
        const Expect& e = c.second;
        SCOPED_TRACE(std::string(e.section) + "/" + e.text);
        ASSERT_TRUE(c.first());
        // Saved at once: the last element of the section on disk is the item.
        const XMLElement* section = SectionOnDisk(e.section);
        ASSERT_NE(nullptr, section);
        const XMLElement* item = section->LastChildElement();
        ASSERT_NE(nullptr, item);
        EXPECT_STREQ(e.element, item->Name());
        EXPECT_EQ(e.text, Text(item));
        EXPECT_EQ(e.attributes, AttributeNames(item));
        for (const auto& v : e.values)
            EXPECT_EQ(v.second, Attr(item, v.first)) << v.first;
        if (e.attributes.front() == "TimeStamp" && e.values.empty()) {
            EXPECT_TRUE(IsTimeStamp(Attr(item, "TimeStamp")));
        }
        if (std::string(e.section) == "Reboots") {
            EXPECT_TRUE(IsTimeStamp(Attr(item, "RequestTime")));
        }
    }
    EXPECT_FALSE(GetWin32ErrorText(1060).empty());
    EXPECT_EQ(3, CountChildren(SectionOnDisk("MsiProducts"), "msi"));

    // A section the document lacks: nothing is written.
    const std::string before = ReadFileBytes(m_path);
    EXPECT_FALSE(log.AddItem(XmlLogItem("Nowhere", "x", "y")));
    EXPECT_EQ(before, ReadFileBytes(m_path));
}

// The meta-installer's names for its exit codes, as its own tools spell them.
TEST(MetaInstallerItem, StatusAndMessageForEveryExitCode)
{
    const struct {
        int code;
        const char* status;
        const char* message;
    } table[] = {{-2, "Failed", ""},
                 {-1, "Failed", "Exit"},
                 {0, "Succeeded", "Success"},
                 {1, "Failed", "Failed"},
                 {2, "Failed", "PartialSuccess"},
                 {3, "Failed", "ParticalSuccessAndRebootNeeded"},
                 {4, "Failed", "FailureAndRebootNeeded"},
                 {5, "Failed", ""},
                 {6, "Failed", "MissingCommandLineArgument"},
                 {7, "Failed", "NewVersionFound"},
                 {8, "Succeeded", "SuccessRebootNeeded"},
                 {9, "Failed", ""},
                 {1603, "Failed", ""}};
    for (const auto& row : table) {
        const MIXmlLogItem item(row.code, "uninstall");
        const std::map<int, std::string> expected = {{XmlLogField::Status, row.status},
                                                     {XmlLogField::ReturnCode, std::to_string(row.code)},
                                                     {XmlLogField::Message, row.message}};
        EXPECT_EQ(expected, item.GetFields()) << row.code;
    }
}

TEST_F(ResultLog, SetValueAndUpdateLastItem)
{
    UninstallXmlLog log(L"UninstallLog.xml", false);
    // Replace the text of an existing element.
    EXPECT_TRUE(log.SetValue("MetaData", "Parameter", "/Silent/NoReboot"));
    EXPECT_EQ("/Silent/NoReboot", Text(SectionOnDisk("MetaData")->FirstChildElement("Parameter")));
    EXPECT_TRUE(log.SetValue("MetaData", "Parameter", "/Unattended"));
    EXPECT_EQ(1, CountChildren(SectionOnDisk("MetaData"), "Parameter"));
    EXPECT_EQ("/Unattended", Text(SectionOnDisk("MetaData")->FirstChildElement("Parameter")));

    // The MSI step's first-product record.
    EXPECT_TRUE(log.SetValue("MetaData", "FirstMsiFound", "Halvora Zorander Plug-in x64"));
    EXPECT_TRUE(log.UpdateLastItem({{3, "{UC}"}, {4, "7.9.0.12"}}, "MetaData", "FirstMsiFound"));
    const XMLElement* first = SectionOnDisk("MetaData")->FirstChildElement("FirstMsiFound");
    EXPECT_EQ("Halvora Zorander Plug-in x64", Text(first));
    EXPECT_EQ((std::vector<std::string>{"UpgradeCode", "Version"}), AttributeNames(first));

    // No such element yet: a plain one is added (stamped outside MetaData).
    EXPECT_TRUE(log.SetValue("AdditionalSteps", "note", "hello"));
    const XMLElement* note = SectionOnDisk("AdditionalSteps")->FirstChildElement("note");
    ASSERT_NE(nullptr, note);
    EXPECT_EQ("hello", Text(note));
    EXPECT_EQ((std::vector<std::string>{"TimeStamp"}), AttributeNames(note));
    EXPECT_FALSE(log.SetValue("Nowhere", "x", "y"));

    // Updates go to the last element of the name, overwriting in place.
    log.AddItem(RebootXmlLogItem("first"));
    log.AddItem(RebootXmlLogItem("second"));
    EXPECT_TRUE(log.UpdateLastItem({{2, "done-1"}}, "Reboots", "reboot"));
    EXPECT_TRUE(log.UpdateLastItem({{2, "done-2"}, {1, "req"}}, "Reboots", "reboot"));
    const XMLElement* reboots = SectionOnDisk("Reboots");
    EXPECT_EQ("<absent>", Attr(reboots->FirstChildElement("reboot"), "DoneTime"));
    const XMLElement* last = reboots->LastChildElement("reboot");
    EXPECT_EQ("second", Text(last));
    EXPECT_EQ((std::vector<std::string>{"RequestTime", "DoneTime"}), AttributeNames(last));
    EXPECT_EQ("done-2", Attr(last, "DoneTime"));
    EXPECT_EQ("req", Attr(last, "RequestTime"));

    EXPECT_FALSE(log.UpdateLastItem({{2, "x"}}, "Processes", "process")) << "no such element";
    EXPECT_FALSE(log.UpdateLastItem({{2, "x"}}, "Nowhere", "reboot")) << "no such section";
}

TEST_F(ResultLog, ContinuedAndRestartedDocuments)
{
    std::string startTime;
    {
        UninstallXmlLog first(L"UninstallLog.xml", false);
        first.AddItem(CommonXmlLogItem(0, "Processes", "process", "run1.exe"));
        first.AddItem(RebootXmlLogItem("Stop services to reduce uninstall time"));
        startTime = Text(SectionOnDisk("MetaData")->FirstChildElement("StartTime"));
    }
    Sleep(20);
    {
        UninstallXmlLog second(L"UninstallLog.xml", true);
        EXPECT_TRUE(second.UpdateLastItem({{XmlLogField::DoneTime, GetTimeStamp()}}, "Reboots", "reboot"));
        second.AddItem(CommonXmlLogItem(0, "Processes", "process", "run2.exe"));
    }
    const XMLElement* root = Reload();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(1, CountChildren(root, "MetaData"));
    EXPECT_EQ(startTime, Text(root->FirstChildElement("MetaData")->FirstChildElement("StartTime")));
    EXPECT_EQ(2, CountChildren(root->FirstChildElement("Processes"), "process"));
    EXPECT_TRUE(IsTimeStamp(Attr(root->FirstChildElement("Reboots")->FirstChildElement("reboot"), "DoneTime")));

    // A fresh run (no resume marker) replaces the old file.
    {
        UninstallXmlLog fresh(L"UninstallLog.xml", false);
    }
    root = Reload();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(0, CountChildren(root->FirstChildElement("Processes"), "process"));
    EXPECT_EQ(0, CountChildren(root->FirstChildElement("Reboots"), "reboot"));
}

TEST_F(ResultLog, UnreadableContinuedFileStartsANewDocument)
{
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"truncated", "<Uninstall>\r\n    <MetaData>\r\n        <OS>Win"},
        {"empty", ""},
        {"not XML", "garbage \x01\x02"},
        {"another root", "<Other><Processes/></Other>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CreateDirectoryPath(m_dir.Path() + L"ZraCleanup\\");
        WriteFileBytes(m_path, c.bytes);
        const std::string logBefore = ReadFileBytes(GetDebugLog().GetFilePath());
        {
            UninstallXmlLog log(L"UninstallLog.xml", true);
            EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Services", "service", "svc")));
        }
        const XMLElement* root = Reload();
        ASSERT_NE(nullptr, root);
        EXPECT_STREQ("Uninstall", root->Name());
        EXPECT_EQ(10, CountChildren(root->FirstChildElement("MetaData"), nullptr));
        EXPECT_EQ(1, CountChildren(root->FirstChildElement("Services"), "service"));
        const std::string logText = ReadFileBytes(GetDebugLog().GetFilePath()).substr(logBefore.size());
        EXPECT_NE(std::string::npos, logText.find("UninstallXmlLog::UninstallXmlLog: Error: the result log "))
            << logText;
    }

    // A continued document that lacks a section drops items for it only.
    WriteFileBytes(m_path, "<Uninstall>\r\n<MetaData><EndTime></EndTime></MetaData>\r\n<Files/>\r\n</Uninstall>\r\n");
    {
        UninstallXmlLog log(L"UninstallLog.xml", true);
        EXPECT_FALSE(log.AddItem(CommonXmlLogItem(0, "Services", "service", "svc")));
        EXPECT_TRUE(log.AddItem(FileXmlLogItem(true, 0, "C:\\x")));
    }
    const XMLElement* root = Reload();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(nullptr, root->FirstChildElement("Services"));
    EXPECT_EQ(1, CountChildren(root->FirstChildElement("Files"), "File"));
    EXPECT_TRUE(IsTimeStamp(Text(root->FirstChildElement("MetaData")->FirstChildElement("EndTime"))));
}

TEST_F(ResultLog, UnwritableFolderKeepsChangesForTheNextSave)
{
    UninstallXmlLog log(L"UninstallLog.xml", false);
    const std::string failed = "\tUninstallXmlLog::Save: Error: the result log " + WideToUtf8(m_path) +
                               " could not be saved, error ";
    const size_t start = ReadFileBytes(GetDebugLog().GetFilePath()).size();
    auto logged = [&] { return ReadFileBytes(GetDebugLog().GetFilePath()).substr(start); };
    auto count = [](const std::string& text, const std::string& line) {
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++n;
        return n;
    };
    // A folder in the way of the shadow copy makes the saves fail; the
    // text log says so once, with the Win32 code.
    auto block = [&] {
        bool blocked = true;
        for (const wchar_t* suffix : {L".tmp", L".tmp2"}) {
            DeleteFileW((m_path + suffix).c_str());
            blocked = CreateDirectoryW((m_path + suffix).c_str(), nullptr) && blocked;
        }
        return blocked;
    };
    auto unblock = [&] {
        RemoveDirectoryW((m_path + L".tmp").c_str());
        RemoveDirectoryW((m_path + L".tmp2").c_str());
    };
    ASSERT_TRUE(block());
    EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Processes", "process", "kept.exe")));
    EXPECT_FALSE(log.LastSaveSucceeded());
    EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Processes", "process", "also kept.exe")));
    EXPECT_FALSE(log.LastSaveSucceeded());
    EXPECT_EQ(1u, count(logged(), failed)) << logged();
    EXPECT_NE(std::string::npos, logged().find(failed + "5; its changes are kept for the next save\r\n")) << logged();
    EXPECT_EQ(0, CountChildren(SectionOnDisk("Processes"), "process")) << "the old file stays whole";
    unblock();
    EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Processes", "process", "next.exe")));
    EXPECT_TRUE(log.LastSaveSucceeded());
    EXPECT_EQ(3, CountChildren(SectionOnDisk("Processes"), "process"));
    // A later failure is reported again.
    ASSERT_TRUE(block());
    log.Save();
    EXPECT_FALSE(log.LastSaveSucceeded());
    EXPECT_EQ(2u, count(logged(), failed)) << logged();
    unblock();
}

TEST(ResultLogText, CharactersXmlCannotHoldAreReplaced)
{
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ("plain <&> \"text\"", ToXmlText("plain <&> \"text\""));
    EXPECT_EQ("tab\tline\ncr\r", ToXmlText("tab\tline\ncr\r"));
    EXPECT_EQ("a" + r + "b" + r + "c" + r, ToXmlText(std::string("a\x01" "b\x1f" "c\0", 6)));
    EXPECT_EQ("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD", ToXmlText("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD"));
    // Invalid UTF-8: lone bytes, a cut sequence, an overlong form, encoded
    // surrogates, U+FFFE and U+FFFF, a code point past U+10FFFF.
    EXPECT_EQ(r + "x", ToXmlText("\xFFx"));
    EXPECT_EQ(r + "x", ToXmlText("\x80x"));
    EXPECT_EQ(r + r, ToXmlText("\xE4\xB8"));
    EXPECT_EQ(r + r, ToXmlText("\xC0\xAF"));
    EXPECT_EQ(r + r, ToXmlText("\xED\xA0\x80\xED\xBF\xBF"));
    EXPECT_EQ(r + r, ToXmlText("\xEF\xBF\xBE\xEF\xBF\xBF"));
    EXPECT_EQ(r + r + r + r, ToXmlText("\xF4\x90\x80\x80"));
    EXPECT_EQ(r + "\x7F", ToXmlText("\x0B\x7F"));
}
