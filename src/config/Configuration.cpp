#include "config/Configuration.h"
#include "config/AgentProductData.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const wchar_t* const ConfigFileName = L"config.xml";


// True when the attribute is present and "yes" in any letter case.
bool IsYes(const XMLElement* element, const char* attribute)
{
    const char* value = element->Attribute(attribute);
    if (value == nullptr)
        return false;
    const char* yes = "yes";
    for (int i = 0; i < 3; ++i) {
        char c = value[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != yes[i])
            return false;
    }
    return value[3] == '\0';
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

// Checks that the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF).
bool IsValidUtf8(const std::string& bytes)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length;
        unsigned int min;
        unsigned int cp;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2; min = 0x80; cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3; min = 0x800; cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4; min = 0x10000; cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p < length)
            return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

// Reads the open file whole, refusing files beyond the size limit.
// Returns a tinyxml2 error number (0 on success).
int ReadWholeFile(FILE* file, std::string& bytes)
{
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    const long long size = _ftelli64(file);
    if (size < 0 || size > CConfiguration::MaxFileSize)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    if (_fseeki64(file, 0, SEEK_SET) != 0)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    bytes.resize(static_cast<size_t>(size));
    if (size > 0 && fread(&bytes[0], 1, bytes.size(), file) != bytes.size())
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    return tinyxml2::XML_SUCCESS;
}

} // namespace

std::wstring ExtractConfigFile()
{
    const std::wstring path = GetLogFolder() + ConfigFileName;
    CDebugLog& log = GetDebugLog();
    log.WriteLine(L"%ws Entry", L"ExtractConfigFile");
    log.WriteLine(L"%ws Creating config.xml", L"ExtractConfigFile");

    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(ZraConfigResourceId), ZraConfigResourceType);
    if (resource == nullptr) {
        log.WriteLine(L"%ws FindResource error %ld", L"ExtractConfigFile", static_cast<long>(GetLastError()));
    } else {
        HGLOBAL loaded = LoadResource(nullptr, resource);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        const DWORD size = SizeofResource(nullptr, resource);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (data != nullptr)
                WriteFile(file, data, size, &written, nullptr);
            CloseHandle(file);
        }
    }

    log.WriteLine(L"%ws Exit", L"ExtractConfigFile");
    return path;
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

        int error = tinyxml2::XML_SUCCESS;
        FILE* file = _wfopen(path.c_str(), L"rb");
        if (file == nullptr) {
            error = tinyxml2::XML_ERROR_FILE_NOT_FOUND;
        } else {
            // The document must be UTF-8 throughout: a name with broken bytes
            // would only ever miss what it is meant to remove.
            std::string bytes;
            error = ReadWholeFile(file, bytes);
            if (error == tinyxml2::XML_SUCCESS && !IsValidUtf8(bytes))
                error = tinyxml2::XML_ERROR_PARSING_TEXT;
            if (error == tinyxml2::XML_SUCCESS) {
                bytes.clear();
                bytes.shrink_to_fit();
                if (_fseeki64(file, 0, SEEK_SET) != 0)
                    error = tinyxml2::XML_ERROR_FILE_READ_ERROR;
                else
                    error = m_document->LoadFile(file);
            }
            fclose(file);
        }
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
    const XMLElement* section = root != nullptr ? root->FirstChildElement("Drivers") : nullptr;
    const XMLElement* item = section != nullptr ? section->FirstChildElement("Driver") : nullptr;
    if (item == nullptr) {
        m_log.WriteLine(L"%ws failed. Check the config file.", name);
        return false;
    }
    for (; item != nullptr; item = item->NextSiblingElement("Driver")) {
        std::string text;
        if (!TakeText(item, text)) {
            m_log.WriteLine(L"%ws failed. Check the config file.", name);
            return false;
        }
        m_drivers.push_back(text);
    }
    m_log.WriteLine(L"%ws Succeeded", name);
    return true;
}

bool CConfiguration::ParseProcessesAndServices(const XMLElement* root)
{
    const wchar_t* const name = L"CConfiguration::ParseProcessesAndServices";
    m_log.WriteLine(L"%ws Entry", name);
    struct List {
        const char* section;
        const char* item;
        std::vector<std::string>* target;
    };
    const List lists[] = {{"Processes", "Process", &m_processes}, {"Services", "Service", &m_services}};
    for (const List& list : lists) {
        const XMLElement* section = root != nullptr ? root->FirstChildElement(list.section) : nullptr;
        const XMLElement* item = section != nullptr ? section->FirstChildElement(list.item) : nullptr;
        if (item == nullptr) {
            m_log.WriteLine(L"%ws failed. Check the config file.", name);
            return false;
        }
        for (; item != nullptr; item = item->NextSiblingElement(list.item)) {
            std::string text;
            if (!TakeText(item, text)) {
                m_log.WriteLine(L"%ws failed. Check the config file.", name);
                return false;
            }
            list.target->push_back(text);
        }
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
