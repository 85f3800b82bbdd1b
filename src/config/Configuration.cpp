#include "config/Configuration.h"
#include "config/AgentProductData.h"

#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <new>

#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "system/AsciiText.h"
#include "system/UniqueHandle.h"
#include "system/XmlFile.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const wchar_t* const ConfigFileName = L"config.xml";


// True when the attribute is present and "yes" in any letter case.
bool IsYes(const XMLElement* element, const char* attribute)
{
    const char* value = element->Attribute(attribute);
    return value != nullptr && EqualsAsciiNoCase(value, "yes");
}

// The element's text, or false when it has none (an empty element).
bool TakeText(const XMLElement* element, std::string& text)
{
    if (element == nullptr)
        return false;
    const char* value = element->GetText();
    if (value == nullptr || *value == '\0')
        return false;
    text = value;
    return true;
}

// A plain list of names in the document: the text of every item element
// of the section, in document order.
struct NameList {
    const char* section;
    const char* item;
    std::vector<std::string>* target;
};

// Reads the lists in order. False as soon as a section has no item or an
// item has no text (the lists read so far keep what they got).
bool ReadNameLists(const XMLElement* root, std::initializer_list<NameList> lists)
{
    for (const NameList& list : lists) {
        const XMLElement* section = root != nullptr ? root->FirstChildElement(list.section) : nullptr;
        const XMLElement* item = section != nullptr ? section->FirstChildElement(list.item) : nullptr;
        if (item == nullptr)
            return false;
        for (; item != nullptr; item = item->NextSiblingElement(list.item)) {
            std::string text;
            if (!TakeText(item, text))
                return false;
            list.target->push_back(text);
        }
    }
    return true;
}

} // namespace

ExtractedConfig ExtractConfig()
{
    const wchar_t* const name = L"ExtractConfigFile";
    ExtractedConfig result;
    result.path = GetLogFolder() + ConfigFileName;
    CDebugLog& log = GetDebugLog();
    log.WriteLine(L"%ws Entry", name);
    log.WriteLine(L"%ws Creating config.xml", name);

    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(ZraConfigResourceId), ZraConfigResourceType);
    if (resource == nullptr) {
        log.WriteLine(L"%ws FindResource error %ld", name, static_cast<long>(GetLastError()));
    } else {
        HGLOBAL loaded = LoadResource(nullptr, resource);
        const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        const DWORD size = SizeofResource(nullptr, resource);
        if (data != nullptr)
            result.document.assign(data, size);
        const UniqueKernelHandle file(CreateFileW(result.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD error = file ? ERROR_SUCCESS : GetLastError();
        if (file && data != nullptr) {
            DWORD written = 0;
            if (!WriteFile(file.get(), data, size, &written, nullptr))
                error = GetLastError();
            else if (written != size)
                error = ERROR_WRITE_FAULT;
            else
                result.written = true;
        }
        if (!result.written)
            log.WriteLine(L"%ws: Error: %ws could not be written, error %ld; the configuration carried in the "
                          L"program is used, the file is not read",
                          name, result.path.c_str(), static_cast<long>(error));
    }

    log.WriteLine(L"%ws Exit", name);
    return result;
}

std::wstring ExtractConfigFile()
{
    return ExtractConfig().path;
}

CConfiguration& CConfiguration::GetInstance()
{
    static CConfiguration instance;
    return instance;
}

CConfiguration::CConfiguration()
    : m_document(new XMLDocument()), m_log(GetDebugLog())
{
}

CConfiguration::~CConfiguration() = default;

bool CConfiguration::Initialize(const std::wstring& path)
{
    return Load([&path](XMLDocument& document, const XmlFileChecks& checks) {
        return LoadXmlDocument(path, document, checks);
    });
}

bool CConfiguration::InitializeFromDocument(const std::string& text)
{
    return Load([&text](XMLDocument& document, const XmlFileChecks& checks) {
        return ParseXmlDocument(text, document, checks);
    });
}

template <typename Loader>
bool CConfiguration::Load(Loader load)
{
    const wchar_t* const name = L"CConfiguration::Initialize";
    try {
        m_document.reset(new XMLDocument());
        m_products.clear();
        m_processes.clear();
        m_drivers.clear();
        m_services.clear();
        m_files.clear();
        m_regValues.clear();
        m_regKeys.clear();
        m_regSearches.clear();
        m_installerNames.clear();
        m_upgradeCodeKeys.clear();

        // The document must be UTF-8 throughout: a name with broken bytes
        // would only ever miss what it is meant to remove.
        XmlFileChecks checks;
        checks.maxSize = MaxFileSize;
        checks.requireUtf8 = true;
        const int error = load(*m_document, checks);
        if (error != tinyxml2::XML_SUCCESS) {
            m_log.WriteLine(L"%ws failed. Open config file failed with %d", name, error);
            return false;
        }

        const XMLElement* root = m_document->FirstChildElement("config");
        return ParseInstallers(root) && ParseUpgradeCodes(root) && ParseDrivers(root) &&
               ParseProcessesAndServices(root) && ParseFiles(root) && ParseRegistry(root);
    } catch (const std::exception&) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
}

bool CConfiguration::ParseInstallers(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseInstallers";
    m_log.WriteLine(L"%ws Entry", name);
    const XMLElement* section = root != nullptr ? root->FirstChildElement("Installer") : nullptr;
    const XMLElement* item = section != nullptr ? section->FirstChildElement("Name") : nullptr;
    if (item == nullptr) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    for (; item != nullptr; item = item->NextSiblingElement("Name")) {
        std::string text;
        if (!TakeText(item, text)) {
            m_log.WriteLine(L"%ws failed. Check the config file.", name);
            return false;
        }
        m_installerNames.push_back(text);
    }
    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}

bool CConfiguration::ParseUpgradeCodes(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseUpgradeCodes";
    m_log.WriteLine(L"%ws Entry", name);
    const XMLElement* section = root != nullptr ? root->FirstChildElement("UpgradeCodes") : nullptr;
    const XMLElement* item = section != nullptr ? section->FirstChildElement("Product") : nullptr;
    if (item == nullptr) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    for (; item != nullptr; item = item->NextSiblingElement("Product")) {
        ProductEntry entry;
        if (!TakeText(item->FirstChildElement("name"), entry.name) ||
            !TakeText(item->FirstChildElement("GUID"), entry.upgradeCode)) {
            m_log.WriteLine(L"%ws failed. Check the config file.", name);
            return false;
        }
        m_products.push_back(entry);
    }
    m_log.WriteLine(L"%ws succeeded", name);
    return true;
}

bool CConfiguration::ParseDrivers(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseDrivers";
    m_log.WriteLine(L"%ws Entry", name);
    if (!ReadNameLists(root, {{"Drivers", "Driver", &m_drivers}})) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}

bool CConfiguration::ParseProcessesAndServices(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseProcessesAndServices";
    m_log.WriteLine(L"%ws Entry", name);
    if (!ReadNameLists(root, {{"Processes", "Process", &m_processes}, {"Services", "Service", &m_services}})) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}

bool CConfiguration::ParseFiles(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseFiles";
    m_log.WriteLine(L"%ws Entry", name);
    const XMLElement* section = root != nullptr ? root->FirstChildElement("Files") : nullptr;
    const XMLElement* item = section != nullptr ? section->FirstChildElement("File") : nullptr;
    if (item == nullptr) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    for (; item != nullptr; item = item->NextSiblingElement("File")) {
        FileEntry entry;
        if (!TakeText(item, entry.path)) {
            m_log.WriteLine(L"%ws failed. Check the config file.", name);
            return false;
        }
        entry.wow64Redir = IsYes(item, "Wow64Redir");
        m_files.push_back(entry);
    }
    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}

bool CConfiguration::ParseRegistry(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseRegistry";
    m_log.WriteLine(L"%ws Entry", name);
    auto fail = [this, name]() {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    };
    const XMLElement* registry = root != nullptr ? root->FirstChildElement("Registry") : nullptr;
    if (registry == nullptr)
        return fail();

    const XMLElement* values = registry->FirstChildElement("Values");
    const XMLElement* value = values != nullptr ? values->FirstChildElement("Value") : nullptr;
    if (value == nullptr)
        return fail();
    for (; value != nullptr; value = value->NextSiblingElement("Value")) {
        RegValueEntry entry;
        if (!TakeText(value->FirstChildElement("KeyName"), entry.keyName) ||
            !TakeText(value->FirstChildElement("ValueName"), entry.valueName))
            return fail();
        entry.wow6432Node = IsYes(value, "Wow6432node");
        m_regValues.push_back(entry);
    }

    const XMLElement* keys = registry->FirstChildElement("Keys");
    const XMLElement* key = keys != nullptr ? keys->FirstChildElement("Key") : nullptr;
    if (key == nullptr)
        return fail();
    for (; key != nullptr; key = key->NextSiblingElement("Key")) {
        RegKeyEntry entry;
        if (!TakeText(key, entry.keyPath))
            return fail();
        entry.wow6432Node = IsYes(key, "Wow6432node");
        m_regKeys.push_back(entry);
    }

    const XMLElement* searches = registry->FirstChildElement("SearchAndRemove");
    const XMLElement* search = searches != nullptr ? searches->FirstChildElement("Search") : nullptr;
    if (search == nullptr)
        return fail();
    for (; search != nullptr; search = search->NextSiblingElement("Search")) {
        RegSearchEntry entry;
        const XMLElement* searchKey = search->FirstChildElement("Key");
        if (!TakeText(searchKey, entry.key) || !TakeText(search->FirstChildElement("Pattern"), entry.pattern))
            return fail();
        const XMLElement* trailing = search->FirstChildElement("Trailing");
        if (trailing != nullptr && !TakeText(trailing, entry.trailing))
            return fail();
        entry.wow6432Node = IsYes(searchKey, "Wow6432node");
        m_regSearches.push_back(entry);
    }

    const XMLElement* upgradeCodes = registry->FirstChildElement("UpgradeCodes");
    const char* tableKey = upgradeCodes != nullptr ? upgradeCodes->Attribute("key") : nullptr;
    if (tableKey == nullptr)
        return fail();
    for (const XMLElement* code = upgradeCodes->FirstChildElement("upgradeCode"); code != nullptr;
         code = code->NextSiblingElement("upgradeCode")) {
        std::string text;
        if (!TakeText(code, text))
            return fail();
        m_upgradeCodeKeys.push_back(std::string(tableKey) + "\\" + text);
    }

    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}
