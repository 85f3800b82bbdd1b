#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "ConfigTestSupport.h"
#include "config/Configuration.h"
#include "system/Format.h"

namespace {

class ConfigParse : public ::testing::Test {
protected:
    std::wstring WriteConfig(const std::string& bytes)
    {
        const std::wstring path = m_dir.Path() + L"config.xml";
        WriteFileBytes(path, bytes);
        return path;
    }
    ScopedTempDir m_dir{L"zracfg"};
};

std::string OpenFailedLine(int error)
{
    return FormatNarrow("CConfiguration::Initialize failed. Open config file failed with %d\r\n", error);
}

std::string CheckLine(const char* parser)
{
    return std::string("CConfiguration::") + parser + " failed. Check the config file.\r\n";
}

} // namespace

TEST_F(ConfigParse, MinimalDocumentKeepsTextOrderAndFlags)
{
    CConfiguration config;
    LogWatch log;
    ASSERT_TRUE(config.Initialize(WriteConfig(MinimalConfig())));

    EXPECT_EQ((std::vector<std::string>{"Halvora Zorander", "{11111111-2222-3333-4444-555555555555}"}),
              config.GetInstallerNames());
    // Document order, not uninstallOrder.
    ASSERT_EQ(3u, config.GetProducts().size());
    EXPECT_EQ("Product Five", config.GetProducts()[0].name);
    EXPECT_EQ("{AAAAAAAA-0000-0000-0000-000000000005}", config.GetProducts()[0].upgradeCode);
    EXPECT_EQ("Product One", config.GetProducts()[1].name);
    EXPECT_EQ("Product Three", config.GetProducts()[2].name);
    // Other elements between items are skipped; repeated names stay.
    EXPECT_EQ((std::vector<std::string>{"agent.exe", "Agent.EXE"}), config.GetProcesses());
    EXPECT_EQ((std::vector<std::string>{"AgentSvc"}), config.GetServices());
    EXPECT_EQ((std::vector<std::string>{"drvA", "drvB"}), config.GetDrivers());

    const auto& files = config.GetFiles();
    ASSERT_EQ(6u, files.size());
    EXPECT_EQ("%programfiles%\\A", files[0].path);
    const bool redir[] = {true, false, false, false, false, false};  // YES, no, 1, true, empty, absent
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(redir[i], files[i].wow64Redir) << i;

    ASSERT_EQ(2u, config.GetRegistryValues().size());
    EXPECT_EQ("HKLM\\SOFTWARE\\A", config.GetRegistryValues()[0].keyName);
    EXPECT_EQ("v1", config.GetRegistryValues()[0].valueName);
    EXPECT_TRUE(config.GetRegistryValues()[0].wow6432Node);
    EXPECT_FALSE(config.GetRegistryValues()[1].wow6432Node);

    ASSERT_EQ(2u, config.GetRegistryKeys().size());
    EXPECT_EQ("HKLM\\SOFTWARE\\K", config.GetRegistryKeys()[0].keyPath);
    EXPECT_TRUE(config.GetRegistryKeys()[0].wow6432Node);
    EXPECT_FALSE(config.GetRegistryKeys()[1].wow6432Node);

    ASSERT_EQ(2u, config.GetRegistrySearches().size());
    EXPECT_EQ("HKLM\\S1", config.GetRegistrySearches()[0].key);
    EXPECT_EQ("P1", config.GetRegistrySearches()[0].pattern);
    EXPECT_EQ("InstallProperties", config.GetRegistrySearches()[0].trailing);
    EXPECT_TRUE(config.GetRegistrySearches()[0].wow6432Node);
    EXPECT_EQ("", config.GetRegistrySearches()[1].trailing);
    EXPECT_FALSE(config.GetRegistrySearches()[1].wow6432Node);

    EXPECT_EQ((std::vector<std::string>{
                  "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\AAAAAAAA000000000000000000000050",
                  "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\AAAAAAAA000000000000000000000010"}),
              config.GetUpgradeCodeKeys());

    const std::string text = log.NewText();
    const char* expected[] = {
        "CConfiguration::ParseInstallers Entry",           "CConfiguration::ParseInstallers Succeeded",
        "CConfiguration::ParseUpgradeCodes Entry",         "CConfiguration::ParseUpgradeCodes succeeded",
        "CConfiguration::ParseDrivers Entry",              "CConfiguration::ParseDrivers Succeeded",
        "CConfiguration::ParseProcessesAndServices Entry", "CConfiguration::ParseProcessesAndServices Succeeded",
        "CConfiguration::ParseFiles Entry",                "CConfiguration::ParseFiles Succeeded",
        "CConfiguration::ParseRegistry Entry",             "CConfiguration::ParseRegistry Succeeded"};
    size_t at = 0;
    for (const char* line : expected) {
        const size_t found = text.find(std::string("\t") + line + "\r\n", at);
        ASSERT_NE(std::string::npos, found) << line << "\n" << text;
        at = found;
    }
}

TEST_F(ConfigParse, EdgeCasesThatStillParse)
{
    {
        SCOPED_TRACE("upgrade-code table without codes");
        CConfiguration config;
        const std::string doc = Replace(MinimalConfig(),
                                        "<upgradeCode>AAAAAAAA000000000000000000000050</upgradeCode>"
                                        "<upgradeCode>AAAAAAAA000000000000000000000010</upgradeCode>",
                                        "");
        EXPECT_TRUE(config.Initialize(WriteConfig(doc)));
        EXPECT_TRUE(config.GetUpgradeCodeKeys().empty());
    }
    {
        SCOPED_TRACE("valid UTF-8 beyond ASCII is kept byte for byte");
        CConfiguration config;
        const std::string name = "Halvora Zorander \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
        const std::string doc = Replace(MinimalConfig(), "<Name>Halvora Zorander</Name>", "<Name>" + name + "</Name>");
        ASSERT_TRUE(config.Initialize(WriteConfig(doc)));
        EXPECT_EQ(name, config.GetInstallerNames()[0]);
    }
    {
        SCOPED_TRACE("a byte-order mark and an XML declaration are accepted");
        CConfiguration config;
        EXPECT_TRUE(config.Initialize(WriteConfig("\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n" + MinimalConfig())));
    }
    {
        SCOPED_TRACE("LF line ends and surrounding white space in text are kept");
        CConfiguration config;
        const std::string doc = Replace(MinimalConfig(), "<Service>AgentSvc</Service>", "<Service> Agent Svc </Service>");
        ASSERT_TRUE(config.Initialize(WriteConfig(doc)));
        EXPECT_EQ(" Agent Svc ", config.GetServices()[0]);
    }
    {
        SCOPED_TRACE("a second Initialize starts from empty lists");
        CConfiguration config;
        ASSERT_TRUE(config.Initialize(WriteConfig(MinimalConfig())));
        ASSERT_TRUE(config.Initialize(WriteConfig(MinimalConfig())));
        EXPECT_EQ(2u, config.GetInstallerNames().size());
        EXPECT_EQ(3u, config.GetProducts().size());
    }
}

// Files that cannot be loaded: the loader's line with the library's error.
TEST_F(ConfigParse, UnloadableFilesFailWithTheOpenLine)
{
    struct Case {
        const char* what;
        std::string bytes;
        int error;  // -1: any non-zero parse error
    };
    const std::string minimal = MinimalConfig();
    const std::vector<Case> cases = {
        {"empty file", "", tinyxml2::XML_ERROR_EMPTY_DOCUMENT},
        {"white space only", " \r\n\t\r\n", tinyxml2::XML_ERROR_EMPTY_DOCUMENT},
        {"not XML", "this is not a configuration", -1},
        {"binary", std::string("\x00\x01\x02\x03<config>", 12), -1},
        {"truncated in the middle", minimal.substr(0, minimal.size() / 2), -1},
        {"truncated in a tag", minimal.substr(0, minimal.find("<Services>") + 5), -1},
        {"unclosed root", Replace(minimal, "</config>", ""), -1},
        {"mismatched tags", Replace(minimal, "</Drivers>", "</Driver>"), -1},
        {"Latin-1 byte", Replace(minimal, "Halvora Zorander", "Halvora Zor\xE9nder"), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"stray continuation byte", Replace(minimal, "agent.exe", "agent\x80.exe"), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"overlong encoding", Replace(minimal, "drvA", "drv\xC0\xAF"), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"encoded surrogate", Replace(minimal, "drvB", "drv\xED\xA0\x80"), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"beyond U+10FFFF", Replace(minimal, "v1", "v\xF4\x90\x80\x80"), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"cut sequence at the end", minimal + "\xE2\x82", tinyxml2::XML_ERROR_PARSING_TEXT},
        {"UTF-16 document", std::string("\xFF\xFE<\0c\0", 6), tinyxml2::XML_ERROR_PARSING_TEXT},
        {"very deep nesting", Replace(minimal, "</config>", std::string() + [] {
             std::string deep;
             for (int i = 0; i < 100000; ++i)
                 deep += "<d>";
             for (int i = 0; i < 100000; ++i)
                 deep += "</d>";
             return deep;
         }() + "</config>"),
         tinyxml2::XML_ELEMENT_DEPTH_EXCEEDED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CConfiguration config;
        LogWatch log;
        EXPECT_FALSE(config.Initialize(WriteConfig(c.bytes)));
        const std::string text = log.NewText();
        if (c.error >= 0) {
            EXPECT_NE(std::string::npos, text.find(OpenFailedLine(c.error))) << text;
        } else {
            EXPECT_NE(std::string::npos, text.find("CConfiguration::Initialize failed. Open config file failed with "))
                << text;
            EXPECT_EQ(std::string::npos, text.find(OpenFailedLine(0))) << text;
        }
        EXPECT_EQ(std::string::npos, text.find("Entry")) << "no section parser may run\n" << text;
        EXPECT_TRUE(config.GetInstallerNames().empty());
    }
}

TEST_F(ConfigParse, MissingOrOversizedFilesFailWithTheOpenLine)
{
    {
        SCOPED_TRACE("missing file");
        CConfiguration config;
        LogWatch log;
        EXPECT_FALSE(config.Initialize(m_dir.Path() + L"no-such.xml"));
        EXPECT_NE(std::string::npos, log.NewText().find(OpenFailedLine(3)));
    }
    {
        SCOPED_TRACE("missing folder");
        CConfiguration config;
        LogWatch log;
        EXPECT_FALSE(config.Initialize(m_dir.Path() + L"none\\config.xml"));
        EXPECT_NE(std::string::npos, log.NewText().find(OpenFailedLine(3)));
    }
    {
        SCOPED_TRACE("a folder instead of a file");
        CConfiguration config;
        EXPECT_FALSE(config.Initialize(m_dir.Path()));
    }
    {
        SCOPED_TRACE("large but within the limit");
        std::string doc = MinimalConfig();
        std::string many;
        for (int i = 0; i < 40000; ++i)
            many += "<File>%programfiles%\\Halvora\\Zorander\\file" + std::to_string(i) + ".dll</File>\r\n";
        doc = Replace(doc, "<Files>", "<Files>" + many);
        ASSERT_LT(static_cast<long long>(doc.size()), CConfiguration::MaxFileSize);
        CConfiguration config;
        EXPECT_TRUE(config.Initialize(WriteConfig(doc)));
        EXPECT_EQ(40006u, config.GetFiles().size());
    }
    {
        SCOPED_TRACE("beyond the size limit");
        std::string doc = MinimalConfig();
        doc += "<!--" + std::string(static_cast<size_t>(CConfiguration::MaxFileSize), 'x') + "-->\r\n";
        CConfiguration config;
        LogWatch log;
        EXPECT_FALSE(config.Initialize(WriteConfig(doc)));
        EXPECT_NE(std::string::npos, log.NewText().find(OpenFailedLine(tinyxml2::XML_ERROR_FILE_READ_ERROR)));
    }
    {
        SCOPED_TRACE("a path with characters outside any code page");
        const std::wstring path = m_dir.Path() + L"\x0416\x4E2D\xD83D\xDE00.xml";
        WriteFileBytes(path, MinimalConfig());
        ASSERT_TRUE(FileExists(path));
        CConfiguration config;
        EXPECT_TRUE(config.Initialize(path));
    }
}

// A well-formed document that lacks something required: the failing
// parser's line, false, and the lists of the parsers before it stay filled.
TEST_F(ConfigParse, MissingOrEmptyRequiredElementsFailTheirSection)
{
    struct Case {
        const char* what;
        std::string from, to;
        const char* parser;
        std::string from2 = std::string(), to2 = std::string();  // a second change after the first
    };
    const std::vector<Case> cases = {
        {"root is not config", "<config>", "<configuration>", "ParseInstallers", "</config>", "</configuration>"},
        {"no Installer", "<Installer>", "<Installers>", "ParseInstallers", "</Installer>", "</Installers>"},
        {"no Name", "<Name>Halvora Zorander</Name><Name>{11111111-2222-3333-4444-555555555555}</Name>", "",
         "ParseInstallers"},
        {"empty Name", "<Name>Halvora Zorander</Name>", "<Name></Name>", "ParseInstallers"},
        {"empty second Name", "<Name>{11111111-2222-3333-4444-555555555555}</Name>", "<Name/>", "ParseInstallers"},
        {"Name holding only a comment", "<Name>Halvora Zorander</Name>", "<Name><!-- x --></Name>",
         "ParseInstallers"},
        {"no UpgradeCodes section", "<UpgradeCodes>", "<Upgrades>", "ParseUpgradeCodes", "</UpgradeCodes>", "</Upgrades>"},
        {"no Product", "<UpgradeCodes><Product", "<UpgradeCodes><!-- none --></UpgradeCodes><Unused><Product", "ParseUpgradeCodes", "</UpgradeCodes>", "</Unused>"},
        {"Product without name", "<name>Product One</name>", "", "ParseUpgradeCodes"},
        {"Product without GUID", "<GUID>{AAAAAAAA-0000-0000-0000-000000000003}</GUID>", "", "ParseUpgradeCodes"},
        {"empty GUID", "<GUID>{AAAAAAAA-0000-0000-0000-000000000005}</GUID>", "<GUID/>", "ParseUpgradeCodes"},
        {"name in other case", "<name>Product One</name>", "<Name>Product One</Name>", "ParseUpgradeCodes"},
        {"no Drivers", "<Drivers>", "<Driverz>", "ParseDrivers", "</Drivers>", "</Driverz>"},
        {"empty Drivers", "<!-- release 1 --><Driver>drvA</Driver><Driver>drvB</Driver>", "<!-- none -->",
         "ParseDrivers"},
        {"empty Driver", "<Driver>drvB</Driver>", "<Driver></Driver>", "ParseDrivers"},
        {"no Processes", "<Processes>", "<Procs>", "ParseProcessesAndServices", "</Processes>", "</Procs>"},
        {"empty Processes", "<Process>agent.exe</Process><!-- c --><Note>skip</Note><Process>Agent.EXE</Process>", "",
         "ParseProcessesAndServices"},
        {"no Services", "<Services><Service>AgentSvc</Service></Services>", "", "ParseProcessesAndServices"},
        {"empty Service", "<Service>AgentSvc</Service>", "<Service/>", "ParseProcessesAndServices"},
        {"no Files", "<Files>", "<Filez>", "ParseFiles", "</Files>", "</Filez>"},
        {"empty File", "<File>%systemdrive%\\Users\\*\\F</File>", "<File/>", "ParseFiles"},
        {"no Registry", "<Registry>", "<Registri>", "ParseRegistry", "</Registry>", "</Registri>"},
        {"no Values", "<Values>", "<Vals>", "ParseRegistry", "</Values>", "</Vals>"},
        {"Value without KeyName", "<KeyName>HKLM\\SOFTWARE\\B</KeyName>", "", "ParseRegistry"},
        {"Value without ValueName", "<ValueName>v1</ValueName>", "", "ParseRegistry"},
        {"empty ValueName", "<ValueName>v2</ValueName>", "<ValueName></ValueName>", "ParseRegistry"},
        {"no Keys", "<Keys>", "<Kees>", "ParseRegistry", "</Keys>", "</Kees>"},
        {"no Key", "<Key Wow6432node=\"Yes\">HKLM\\SOFTWARE\\K</Key><Key Wow6432node=\"no\">HKU\\*\\Software\\K</Key>",
         "", "ParseRegistry"},
        {"empty Key", "<Key Wow6432node=\"no\">HKU\\*\\Software\\K</Key>", "<Key Wow6432node=\"no\"/>",
         "ParseRegistry"},
        {"no SearchAndRemove", "<SearchAndRemove>", "<Search_And_Remove>", "ParseRegistry", "</SearchAndRemove>", "</Search_And_Remove>"},
        {"no Search", "<Search><Key Wow6432node=\"yes\">HKLM\\S1</Key><Pattern>P1</Pattern><Trailing>InstallProperties</Trailing></Search><Search><Key>HKLM\\S2</Key><Pattern>P2</Pattern></Search>", "", "ParseRegistry"},
        {"Search without Key", "<Key>HKLM\\S2</Key>", "", "ParseRegistry"},
        {"Search without Pattern", "<Pattern>P1</Pattern>", "", "ParseRegistry"},
        {"empty Pattern", "<Pattern>P2</Pattern>", "<Pattern></Pattern>", "ParseRegistry"},
        {"empty Trailing", "<Pattern>P2</Pattern>", "<Pattern>P2</Pattern><Trailing/>", "ParseRegistry"},
        {"no upgrade-code table", "<UpgradeCodes key=", "<UpgradeCode key=", "ParseRegistry", "</UpgradeCodes>", "</UpgradeCode>"},
        {"no key attribute", "<UpgradeCodes key=\"HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\">",
         "<UpgradeCodes>", "ParseRegistry"},
        {"empty upgradeCode", "<upgradeCode>AAAAAAAA000000000000000000000010</upgradeCode>", "<upgradeCode/>",
         "ParseRegistry"},
    };
    const char* const order[] = {"ParseInstallers", "ParseUpgradeCodes", "ParseDrivers",
                                 "ParseProcessesAndServices", "ParseFiles", "ParseRegistry"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string doc = MinimalConfig();
        // Registry's own UpgradeCodes comes after the product list: replace
        // from there when the case is about it.
        size_t start = 0;
        if (std::string(c.parser) == "ParseRegistry")
            start = doc.find("<Registry>");
        if (std::string(c.what) == "no Registry")
            start = 0;
        const size_t at = doc.find(c.from, start);
        ASSERT_NE(std::string::npos, at);
        doc.replace(at, c.from.size(), c.to);
        if (!c.from2.empty()) {
            const size_t at2 = doc.find(c.from2, at + c.to.size());
            ASSERT_NE(std::string::npos, at2);
            doc.replace(at2, c.from2.size(), c.to2);
        }

        CConfiguration config;
        LogWatch log;
        EXPECT_FALSE(config.Initialize(WriteConfig(doc)));
        const std::string text = log.NewText();
        EXPECT_NE(std::string::npos, text.find(CheckLine(c.parser))) << text;
        // The parsers before the failing one succeeded; none after it ran.
        bool reached = false;
        for (const char* parser : order) {
            const bool ran = text.find(std::string("CConfiguration::") + parser + " Entry") != std::string::npos;
            if (reached) {
                EXPECT_FALSE(ran) << parser << " ran after the failure";
            } else {
                EXPECT_TRUE(ran) << parser;
            }
            if (std::string(parser) == c.parser)
                reached = true;
        }
        if (std::string(c.parser) != "ParseInstallers") {
            EXPECT_EQ(2u, config.GetInstallerNames().size()) << "lists filled before the failure stay";
        }
        if (std::string(c.what) == "empty Processes") {
            EXPECT_TRUE(config.GetServices().empty());
        }
    }
}
