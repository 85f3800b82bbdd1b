#pragma once
#include <memory>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}
class CDebugLog;

// One product of the agent family, uninstalled by its upgrade code.
struct ProductEntry {
    std::string name;
    std::string upgradeCode;
};

// A file or folder path, possibly starting with an environment variable and
// holding a "*" component. wow64Redir asks for the 32-bit program folder.
struct FileEntry {
    std::string path;
    bool wow64Redir = false;
};

// A registry value: key path (with its hive abbreviation) and value name.
struct RegValueEntry {
    std::string keyName;
    std::string valueName;
    bool wow6432Node = false;
};

// A registry key path beginning with a hive abbreviation.
struct RegKeyEntry {
    std::string keyPath;
    bool wow6432Node = false;
};

// A search under a root key for sub keys holding a pattern; trailing is a
// key-name part to strip (empty when the document has none).
struct RegSearchEntry {
    std::string key;
    std::string pattern;
    std::string trailing;
    bool wow6432Node = false;
};

// The configuration document carried in the executable (resource type
// "XML", id 107) and its copy "config.xml" in the log folder.
struct ExtractedConfig {
    std::wstring path;     // the log folder + "config.xml"
    std::string document;  // the carried document; empty when the resource is missing
    bool written = false;  // the whole document reached the file
};

// Writes the carried document to "config.xml" in the log folder. A copy
// that cannot be written (read-only, locked, a folder of that name) is
// logged; the file is then never to be read, as it is not this document.
ExtractedConfig ExtractConfig();

// ExtractConfig, returning the path only.
std::wstring ExtractConfigFile();

// The configuration: what the cleanup steps remove, read once per run from
// the XML document. Every list keeps document order; nothing is sorted or
// de-duplicated, and the text is kept exactly as the document holds it
// (UTF-8).
class CConfiguration {
public:
    // The process-wide configuration, created empty on first use.
    static CConfiguration& GetInstance();

    // A separate, empty configuration (for tests and tools).
    CConfiguration();
    ~CConfiguration();
    CConfiguration(const CConfiguration&) = delete;
    CConfiguration& operator=(const CConfiguration&) = delete;

    // Loads the file and parses every section in a fixed order, stopping at
    // the first that fails. Lists filled before a failure stay filled.
    bool Initialize(const std::wstring& path);
    // The same for a document held in memory (the carried one); an empty
    // text fails like a file that cannot be opened.
    bool InitializeFromDocument(const std::string& document);

    const std::vector<std::string>& GetInstallerNames() const { return m_installerNames; }
    const std::vector<ProductEntry>& GetProducts() const { return m_products; }
    const std::vector<std::string>& GetProcesses() const { return m_processes; }
    const std::vector<std::string>& GetDrivers() const { return m_drivers; }
    const std::vector<std::string>& GetServices() const { return m_services; }
    const std::vector<FileEntry>& GetFiles() const { return m_files; }
    const std::vector<RegValueEntry>& GetRegistryValues() const { return m_regValues; }
    const std::vector<RegKeyEntry>& GetRegistryKeys() const { return m_regKeys; }
    const std::vector<RegSearchEntry>& GetRegistrySearches() const { return m_regSearches; }
    // "key" attribute of Registry/UpgradeCodes, a backslash and one packed
    // upgrade code, per upgradeCode element.
    const std::vector<std::string>& GetUpgradeCodeKeys() const { return m_upgradeCodeKeys; }

    // The largest configuration file Initialize accepts, in bytes.
    static constexpr long long MaxFileSize = 16LL * 1024 * 1024;

private:
    // Loads through the given loader (which fills the document and returns
    // the library's result), then parses every section.
    template <typename Loader>
    bool Load(Loader load);
    bool ParseInstallers(const tinyxml2::XMLElement* root);
    bool ParseUpgradeCodes(const tinyxml2::XMLElement* root);
    bool ParseDrivers(const tinyxml2::XMLElement* root);
    bool ParseProcessesAndServices(const tinyxml2::XMLElement* root);
    bool ParseFiles(const tinyxml2::XMLElement* root);
    bool ParseRegistry(const tinyxml2::XMLElement* root);

    std::unique_ptr<tinyxml2::XMLDocument> m_document;
    std::vector<ProductEntry> m_products;
    std::vector<std::string> m_processes;
    std::vector<std::string> m_drivers;
    std::vector<std::string> m_services;
    std::vector<FileEntry> m_files;
    std::vector<RegValueEntry> m_regValues;
    std::vector<RegKeyEntry> m_regKeys;
    std::vector<RegSearchEntry> m_regSearches;
    std::vector<std::string> m_installerNames;
    CDebugLog& m_log;
    std::vector<std::string> m_upgradeCodeKeys;
};
