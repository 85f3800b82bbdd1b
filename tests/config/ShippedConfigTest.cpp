// The configuration document carried in the executable: its bytes, its
// shape and its agreement with the product data the program hard-codes.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "ConfigTestSupport.h"
#include "config/AgentProductData.h"
#include "config/Configuration.h"
#include "logs/LogFolder.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

std::string EmbeddedDocument()
{
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(107), L"XML");
    if (resource == nullptr)
        return std::string();
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return std::string(data, SizeofResource(nullptr, resource));
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsBracedGuid(const std::string& text)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// Windows Installer's packed form: the first three groups reversed, every
// byte of the last two groups with its nibbles swapped.
std::string PackGuid(const std::string& braced)
{
    std::string hex;
    for (char c : braced)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string packed(hex.rbegin() + 24, hex.rend());               // first 8, reversed
    packed += std::string(hex.rbegin() + 20, hex.rbegin() + 24);     // next 4, reversed
    packed += std::string(hex.rbegin() + 16, hex.rbegin() + 20);     // next 4, reversed
    for (size_t i = 16; i < 32; i += 2) {
        packed += hex[i + 1];
        packed += hex[i];
    }
    return packed;
}

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found)
{
    reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
    return TRUE;
}

class ShippedConfig : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_config = new CConfiguration();
        s_path = new std::wstring(ExtractConfigFile());
        s_parsed = s_config->Initialize(*s_path);
        s_doc = new tinyxml2::XMLDocument();
        const std::string bytes = EmbeddedDocument();
        s_doc->Parse(bytes.data(), bytes.size());
    }
    static void TearDownTestSuite()
    {
        delete s_config;
        delete s_path;
        delete s_doc;
    }
    static const CConfiguration& Config() { return *s_config; }
    static const tinyxml2::XMLElement* Section(const char* name)
    {
        return s_doc->FirstChildElement("config")->FirstChildElement(name);
    }

    static CConfiguration* s_config;
    static std::wstring* s_path;
    static bool s_parsed;
    static tinyxml2::XMLDocument* s_doc;
};

CConfiguration* ShippedConfig::s_config = nullptr;
std::wstring* ShippedConfig::s_path = nullptr;
bool ShippedConfig::s_parsed = false;
tinyxml2::XMLDocument* ShippedConfig::s_doc = nullptr;

} // namespace

TEST_F(ShippedConfig, ExtractedAsConfigXmlInTheLogFolderAndParses)
{
    EXPECT_EQ(GetLogFolder() + L"config.xml", *s_path);
    const std::string bytes = EmbeddedDocument();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, ReadFileBytes(*s_path));
    EXPECT_TRUE(s_parsed);

    // Extraction replaces what an earlier run left.
    WriteFileBytes(*s_path, "stale");
    LogWatch log;
    EXPECT_EQ(*s_path, ExtractConfigFile());
    EXPECT_EQ(bytes, ReadFileBytes(*s_path));
    const std::string text = log.NewText();
    const size_t entry = text.find("\tExtractConfigFile Entry\r\n");
    const size_t creating = text.find("\tExtractConfigFile Creating config.xml\r\n");
    const size_t exit = text.find("\tExtractConfigFile Exit\r\n");
    ASSERT_NE(std::string::npos, exit) << text;
    EXPECT_LT(entry, creating) << text;
    EXPECT_LT(creating, exit) << text;
    EXPECT_EQ(std::string::npos, text.find("FindResource error")) << text;

    // A folder in the way: nothing can be written, the path still comes back.
    DeleteFileW(s_path->c_str());
    ASSERT_TRUE(CreateDirectoryW(s_path->c_str(), nullptr));
    EXPECT_EQ(*s_path, ExtractConfigFile());
    EXPECT_TRUE(DirectoryExists(*s_path));
    RemoveDirectoryW(s_path->c_str());
    EXPECT_EQ(*s_path, ExtractConfigFile());
    EXPECT_EQ(bytes, ReadFileBytes(*s_path));
}

// A copy that cannot be replaced (locked, read-only, or planted in a shared
// log folder) is not this document: it is logged, and the run parses the
// carried document from memory.
TEST_F(ShippedConfig, UnwritableCopyIsLoggedAndTheCarriedDocumentIsParsed)
{
    const std::string bytes = EmbeddedDocument();
    const std::string planted = "<config><Installer><Name>planted</Name></Installer></config>";
    WriteFileBytes(*s_path, planted);
    // Held open by someone else without sharing. (A read-only attribute does
    // the same on Windows; Wine lets its root user write such files.)
    UniqueKernelHandle lock(
        CreateFileW(s_path->c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    LogWatch log;
    const ExtractedConfig extracted = ExtractConfig();
    lock.reset();
    const std::string text = log.NewText();
    EXPECT_EQ(*s_path, extracted.path);
    EXPECT_FALSE(extracted.written);
    EXPECT_EQ(bytes, extracted.document);
    EXPECT_EQ(planted, ReadFileBytes(*s_path));
    const std::string line = "\tExtractConfigFile: Error: " + WideToUtf8(*s_path) + " could not be written, error 32; "
                             "the configuration carried in the program is used, the file is not read\r\n";
    EXPECT_NE(std::string::npos, text.find(line)) << text;

    CConfiguration config;
    EXPECT_TRUE(config.InitializeFromDocument(extracted.document));
    EXPECT_EQ(Config().GetInstallerNames(), config.GetInstallerNames());
    EXPECT_EQ(Config().GetRegistryKeys().size(), config.GetRegistryKeys().size());
    DeleteFileW(s_path->c_str());

    // No document (the resource missing) fails like a missing file.
    LogWatch empty;
    EXPECT_FALSE(config.InitializeFromDocument(""));
    EXPECT_NE(std::string::npos,
              empty.NewText().find("\tCConfiguration::Initialize failed. Open config file failed with 3\r\n"));
    EXPECT_FALSE(config.InitializeFromDocument(std::string("<config>\xff</config>")));
}

// The product carries the document as type "XML", id 107, US English,
// byte for byte the document these tests examine.
TEST_F(ShippedConfig, CarriedByTheProductAsXml107InUsEnglish)
{
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    ASSERT_EQ(1033, english);
    EXPECT_NE(nullptr, FindResourceExW(nullptr, L"XML", MAKEINTRESOURCEW(107), english)) << "this program's copy";

    const std::wstring product = GetProgramFolder() + L"..\\ZRACleanupUtility.exe";
    ASSERT_TRUE(FileExists(product)) << "the product is built next to the tests' folder";
    HMODULE module = LoadLibraryExW(product.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << GetLastError();
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module, L"XML", MAKEINTRESOURCEW(107), AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(std::vector<WORD>{english}, languages);
    HRSRC resource = FindResourceExW(module, L"XML", MAKEINTRESOURCEW(107), english);
    ASSERT_NE(nullptr, resource);
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(EmbeddedDocument(), std::string(data, SizeofResource(module, resource)));
    FreeLibrary(module);
}

TEST_F(ShippedConfig, PlainEightBitTextWithCrLfAndNoDeclaration)
{
    const std::string bytes = EmbeddedDocument();
    ASSERT_GT(bytes.size(), 3u);
    EXPECT_NE("\xEF\xBB\xBF", bytes.substr(0, 3)) << "no byte-order mark";
    EXPECT_EQ(std::string::npos, bytes.find("<?xml")) << "no XML declaration";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\r' || c == '\n' || c == '\t')) << "byte " << i;
        if (c == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
        }
        if (c == '\r') {
            ASSERT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "bare CR at " << i;
        }
    }
    EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
    // The sections in their order, and nothing else under the root.
    const char* const order[] = {"Installer", "UpgradeCodes", "Processes", "Services", "Drivers", "Files", "Registry"};
    size_t i = 0;
    for (const tinyxml2::XMLElement* e = s_doc->FirstChildElement("config")->FirstChildElement(); e;
         e = e->NextSiblingElement(), ++i) {
        ASSERT_LT(i, 7u);
        EXPECT_STREQ(order[i], e->Name());
    }
    EXPECT_EQ(7u, i);
}

TEST_F(ShippedConfig, InstallerAndProducts)
{
    const auto& installers = Config().GetInstallerNames();
    ASSERT_EQ(2u, installers.size());
    EXPECT_EQ("Halvora Zorander", installers[0]);
    EXPECT_TRUE(IsBracedGuid(installers[1])) << installers[1];

    const auto& products = Config().GetProducts();
    ASSERT_EQ(56u, products.size());
    std::set<std::string> guids, names;
    for (const ProductEntry& p : products) {
        EXPECT_TRUE(StartsWith(p.name, "Halvora Zorander")) << p.name;
        EXPECT_TRUE(IsBracedGuid(p.upgradeCode)) << p.upgradeCode;
        EXPECT_EQ(Upper(p.upgradeCode), p.upgradeCode);
        guids.insert(Upper(p.upgradeCode));
        names.insert(p.name);
    }
    EXPECT_EQ(56u, guids.size()) << "upgrade codes are unique";
    EXPECT_EQ(56u, names.size());
    EXPECT_EQ(0u, guids.count(Upper(installers[1]))) << "the product code is no upgrade code";

    int order = 0;
    for (const tinyxml2::XMLElement* p = Section("UpgradeCodes")->FirstChildElement("Product"); p;
         p = p->NextSiblingElement("Product"))
        EXPECT_EQ(++order, p->IntAttribute("uninstallOrder", -1));
    EXPECT_EQ(56, order);

    // The broker component whose version the pre-step reads.
    const std::string broker = WideToUtf8(ZraBrokerUpgradeCode);
    auto it = std::find_if(products.begin(), products.end(),
                           [&](const ProductEntry& p) { return p.upgradeCode == broker; });
    ASSERT_NE(products.end(), it) << broker;
    EXPECT_EQ("Halvora Zorander Broker Service", it->name);
}

TEST_F(ShippedConfig, ProcessesServicesAndDrivers)
{
    const auto& processes = Config().GetProcesses();
    ASSERT_EQ(37u, processes.size());
    EXPECT_EQ("NrvBrokerAgent.exe", processes[0]);
    std::set<std::string> exact(processes.begin(), processes.end());
    std::set<std::string> folded;
    for (const auto& p : processes)
        folded.insert(Upper(p));
    EXPECT_EQ(37u, exact.size()) << "no name repeats in the same case";
    EXPECT_EQ(36u, folded.size()) << "one name repeats in another case";

    const auto& services = Config().GetServices();
    ASSERT_EQ(45u, services.size());
    EXPECT_EQ(45u, std::set<std::string>(services.begin(), services.end()).size());
    EXPECT_NE(services.end(), std::find(services.begin(), services.end(), "PKpaClientNetwork"))
        << "the network provider";

    const auto& drivers = Config().GetDrivers();
    ASSERT_EQ(48u, drivers.size());
    std::set<std::string> foldedDrivers;
    for (const auto& d : drivers)
        foldedDrivers.insert(Upper(d));
    EXPECT_EQ(48u, foldedDrivers.size());
    // The filter, display, listener and dependency drivers the repairs know.
    for (const char* name : {"HvrQdsFlt", "zkbdflt", "zmouflt", "zgfx", "NrvVmAgent", "kpawd"})
        EXPECT_NE(drivers.end(), std::find(drivers.begin(), drivers.end(), name)) << name;
    // The pre-step's five drivers, written there in another case.
    for (const wchar_t* wide : ZraSpecialVersionDrivers) {
        const std::string name = WideToUtf8(wide);
        EXPECT_EQ(drivers.end(), std::find(drivers.begin(), drivers.end(), name)) << name;
        EXPECT_EQ(1u, foldedDrivers.count(Upper(name))) << name;
    }
    // Grouped by release: comments open the list and separate the groups.
    const tinyxml2::XMLNode* first = Section("Drivers")->FirstChild();
    ASSERT_NE(nullptr, first);
    EXPECT_NE(nullptr, first->ToComment());
    int comments = 0;
    for (const tinyxml2::XMLNode* n = first; n; n = n->NextSibling())
        comments += n->ToComment() != nullptr;
    EXPECT_GE(comments, 3);
}

TEST_F(ShippedConfig, Files)
{
    const auto& files = Config().GetFiles();
    ASSERT_EQ(130u, files.size());
    int systemRoot = 0, programFiles = 0, redirected = 0, programData = 0, systemDrive = 0, perUser = 0,
        absolute = 0;
    for (const FileEntry& f : files) {
        const bool wild = f.path.find('*') != std::string::npos;
        if (StartsWith(f.path, "%systemroot%\\")) {
            ++systemRoot;
        } else if (StartsWith(f.path, "%programfiles%\\")) {
            ++programFiles;
            redirected += f.wow64Redir;
        } else if (StartsWith(f.path, "%programdata%\\")) {
            ++programData;
        } else if (StartsWith(f.path, "%systemdrive%\\")) {
            ++systemDrive;
            perUser += wild && f.path.find("\\*\\") != std::string::npos;
        } else if (f.path.size() > 3 && std::isalpha(static_cast<unsigned char>(f.path[0])) && f.path[1] == ':' &&
                   f.path[2] == '\\') {
            ++absolute;
        }
        if (!StartsWith(f.path, "%programfiles%\\")) {
            EXPECT_FALSE(f.wow64Redir) << f.path;
        }
        if (!StartsWith(f.path, "%systemdrive%\\")) {
            EXPECT_FALSE(wild) << f.path;
        }
    }
    EXPECT_EQ(74, systemRoot);
    EXPECT_EQ(44, programFiles);
    EXPECT_EQ(20, redirected);
    EXPECT_EQ(7, programData);
    EXPECT_EQ(3, systemDrive);
    EXPECT_EQ(2, perUser);
    EXPECT_EQ(2, absolute);

    auto has = [&](const std::string& path) {
        return std::any_of(files.begin(), files.end(), [&](const FileEntry& f) { return f.path == path; });
    };
    EXPECT_TRUE(has("%systemroot%\\System32\\NrvVmBoot.exe")) << "the boot program";
    EXPECT_TRUE(has("C:\\Program Files (x86)\\Halvora\\system32\\hvrauth.dll")) << "the security package";
    EXPECT_TRUE(has("%systemroot%\\SysWOW64\\QUILLHOOK.dll")) << "the AppInit hook";
    EXPECT_TRUE(has("%systemroot%\\System32\\drivers\\zgfx.sys")) << "the display driver";
    // The persistent data lies inside a listed folder, removed after it.
    EXPECT_TRUE(has("%programdata%\\Halvora\\NrvAgent"));
    // Both spellings of the flag occur.
    int yes = 0, no = 0;
    for (const tinyxml2::XMLElement* f = Section("Files")->FirstChildElement("File"); f;
         f = f->NextSiblingElement("File")) {
        const char* v = f->Attribute("Wow64Redir");
        yes += v && std::string(v) == "yes";
        no += v && std::string(v) == "no";
    }
    EXPECT_EQ(20, yes);
    EXPECT_GT(no, 0);
}

TEST_F(ShippedConfig, RegistryValuesKeysAndSearches)
{
    const auto& values = Config().GetRegistryValues();
    ASSERT_EQ(25u, values.size());
    EXPECT_EQ(25, std::count_if(values.begin(), values.end(),
                                [](const RegValueEntry& v) { return StartsWith(v.keyName, "HKLM\\"); }));
    EXPECT_EQ(4, std::count_if(values.begin(), values.end(), [](const RegValueEntry& v) { return v.wow6432Node; }));

    const auto& keys = Config().GetRegistryKeys();
    ASSERT_EQ(213u, keys.size());
    auto count = [&](const char* prefix) {
        return std::count_if(keys.begin(), keys.end(),
                             [&](const RegKeyEntry& k) { return StartsWith(k.keyPath, prefix); });
    };
    EXPECT_EQ(207, count("HKLM\\"));
    EXPECT_EQ(4, count("HKU\\"));
    EXPECT_EQ(2, count("HKCU\\"));
    EXPECT_EQ(47, std::count_if(keys.begin(), keys.end(), [](const RegKeyEntry& k) { return k.wow6432Node; }));
    // The wildcard forms: a whole "*" component, a name prefix with "*" at
    // the end, and a prefix with a rest after it.
    int whole = 0, prefixEnd = 0, prefixRest = 0;
    for (const RegKeyEntry& k : keys) {
        const size_t star = k.keyPath.find('*');
        if (star == std::string::npos)
            continue;
        ASSERT_TRUE(star + 1 == k.keyPath.size() || k.keyPath[star + 1] == '\\') << k.keyPath;
        if (k.keyPath[star - 1] == '\\') {
            ++whole;
        } else if (star + 1 == k.keyPath.size()) {
            ++prefixEnd;
        } else {
            ++prefixRest;
        }
    }
    EXPECT_GT(whole, 0);
    EXPECT_GT(prefixEnd, 0);
    EXPECT_GT(prefixRest, 0);
    // Every service and driver has its service key listed once.
    for (const auto& names : {Config().GetServices(), Config().GetDrivers()}) {
        for (const std::string& name : names) {
            const std::string path = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name;
            EXPECT_EQ(1, std::count_if(keys.begin(), keys.end(),
                                       [&](const RegKeyEntry& k) { return k.keyPath == path; }))
                << name;
        }
    }

    const auto& searches = Config().GetRegistrySearches();
    ASSERT_EQ(46u, searches.size());
    const std::string userData = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\";
    const std::string uninstall = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    int underUserData = 0, underUninstall = 0, uninstall32 = 0, other = 0;
    for (const RegSearchEntry& s : searches) {
        if (StartsWith(s.key, userData)) {
            ++underUserData;
            EXPECT_EQ("InstallProperties", s.trailing);
        } else if (s.key == uninstall) {
            ++underUninstall;
            uninstall32 += s.wow6432Node;
            EXPECT_EQ("", s.trailing);
        } else {
            ++other;
            EXPECT_EQ("", s.trailing);
        }
    }
    EXPECT_EQ(14, underUserData);
    EXPECT_EQ(28, underUninstall);
    EXPECT_EQ(14, uninstall32);
    EXPECT_EQ(4, other);
    int explicitNo = 0;
    for (const tinyxml2::XMLElement* s =
             Section("Registry")->FirstChildElement("SearchAndRemove")->FirstChildElement("Search");
         s; s = s->NextSiblingElement("Search")) {
        const char* v = s->FirstChildElement("Key")->Attribute("Wow6432node");
        explicitNo += v && std::string(v) == "no";
    }
    EXPECT_EQ(14, explicitNo);
}

TEST_F(ShippedConfig, PackedUpgradeCodesFollowTheProducts)
{
    EXPECT_EQ("0CE72F1B56039FE59B3B917ACE1F6358", PackGuid("{B1F27EC0-3065-5EF9-B9B3-19A7ECF13685}"))
        << "the packing itself";
    EXPECT_STREQ("HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes",
                 Section("Registry")->FirstChildElement("UpgradeCodes")->Attribute("key"));
    std::set<std::string> packedProducts;
    for (const ProductEntry& p : Config().GetProducts())
        packedProducts.insert(PackGuid(p.upgradeCode));
    const auto& codes = Config().GetUpgradeCodeKeys();
    ASSERT_EQ(31u, codes.size());
    const std::string table = "HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\\";
    std::set<std::string> seen;
    for (const std::string& key : codes) {
        ASSERT_TRUE(StartsWith(key, table)) << key;
        const std::string code = key.substr(table.size());
        EXPECT_EQ(32u, code.size()) << code;
        EXPECT_EQ(1u, packedProducts.count(code)) << code << " packs no product's upgrade code";
        seen.insert(code);
    }
    EXPECT_EQ(31u, seen.size());
}

// Many damaged copies of the shipped document: the parser answers each
// without crashing or hanging, and a true answer always means full lists.
TEST(ShippedConfigFuzz, MutatedCopiesNeverCrash)
{
    const std::string original = EmbeddedDocument();
    ASSERT_FALSE(original.empty());
    ScopedTempDir dir(L"zrafuzz");
    const std::wstring path = dir.Path() + L"config.xml";
    std::mt19937 random(20261208u);
    const char* const tokens[] = {"<", ">", "</", "/>", "<!--", "-->", "&", "&amp;", "\"", "<config>",
                                  "</Registry>", "<Trailing/>", "\xC3", "\xFF", "\0", "<Key>", "]]>"};
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        std::string doc = original;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !doc.empty(); ++e) {
            const size_t at = random() % doc.size();
            switch (random() % 6) {
            case 0: doc[at] = static_cast<char>(random() % 256); break;
            case 1: doc.erase(at, 1 + random() % 64); break;
            case 2: doc.insert(at, tokens[random() % (sizeof(tokens) / sizeof(tokens[0]))]); break;
            case 3: doc.resize(at); break;
            case 4: {
                const size_t length = 1 + random() % 512;
                doc.insert(random() % doc.size(), doc.substr(at, length));
                break;
            }
            default: {
                // Drop a whole element line.
                const size_t start = doc.rfind('\n', at);
                const size_t end = doc.find('\n', at);
                if (start != std::string::npos && end != std::string::npos)
                    doc.erase(start + 1, end - start);
                break;
            }
            }
        }
        WriteFileBytes(path, doc);
        CConfiguration config;
        const bool ok = config.Initialize(path);
        if (ok) {
            ++accepted;
            EXPECT_FALSE(config.GetInstallerNames().empty());
            EXPECT_FALSE(config.GetProducts().empty());
            EXPECT_FALSE(config.GetProcesses().empty());
            EXPECT_FALSE(config.GetServices().empty());
            EXPECT_FALSE(config.GetDrivers().empty());
            EXPECT_FALSE(config.GetFiles().empty());
            EXPECT_FALSE(config.GetRegistryValues().empty());
            EXPECT_FALSE(config.GetRegistryKeys().empty());
            EXPECT_FALSE(config.GetRegistrySearches().empty());
            for (const ProductEntry& p : config.GetProducts())
                EXPECT_FALSE(p.name.empty() || p.upgradeCode.empty());
        }
    }
    // Some edits (inside comments or text) leave a valid document.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 400);
}
