#include "logs/UninstallXmlLog.h"

#include <windows.h>

#include <utility>
#include <vector>

#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "logs/ResumeMarker.h"
#include "system/MachineChanges.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/XmlFile.h"
#include "system/TextConvert.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const char* InstallationTypeName(int code)
{
    switch (code) {
    case 0: return "Upgrade";
    case 1: return "FreshInstall";
    case 2: return "None";
    default: return "";
    }
}

// The run description recorded in a new document, in MetaData order.
std::vector<std::pair<std::string, std::string>> CollectMetaData()
{
    return {
        {"OS", GetOSDescription()},
        {"MID", GetMachineId()},
        {"ZRAInstallationType", InstallationTypeName(GetZraInstallationType())},
        {"PreviousVersion", GetZraPreviousVersion()},
        {"CurrentVersion", GetZraCurrentVersion()},
        {"PendingReboot", Utils::IsPendingReboot() ? "True" : "False"},
        {"FirstMsiFound", ""},
        {"Parameter", ""},
        {"StartTime", GetTimeStamp()},
        {"EndTime", ""},
    };
}

} // namespace

const char* const UninstallXmlLog::Sections[10] = {"MetaData", "Reboots",  "MetaInstaller", "MsiProducts",
                                                   "Processes", "Services", "Files",        "Drivers",
                                                   "Registries", "AdditionalSteps"};

const char* const UninstallXmlLog::MetaDataElements[10] = {
    "OS",            "MID",          "ZRAInstallationType", "PreviousVersion", "CurrentVersion",
    "PendingReboot", "FirstMsiFound", "Parameter",           "StartTime",       "EndTime"};

UninstallXmlLog& UninstallXmlLog::GetInstance(const std::wstring& fileName)
{
    // A preview writes its own document, always a new one, and never the
    // result log of a cleanup.
    static UninstallXmlLog instance(IsPreviewMode() ? std::wstring(L"Preview.xml") : fileName,
                                    !IsPreviewMode() && IsOverwriteLogMarkerSet());
    return instance;
}

UninstallXmlLog::UninstallXmlLog(const std::wstring& fileName, bool continueExisting)
    : m_document(new XMLDocument()), m_previewItems(IsPreviewMode())
{
    ScopedCost meter(CostKind::ResultLog);
    m_widePath = GetLogFilePath(GetLogFolder(), fileName);
    m_filePath = WideToUtf8(m_widePath);
    m_file.reset(new ShadowedFile(m_widePath));

    if (continueExisting && GetFileAttributesW(m_widePath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (LoadExisting())
            return;
    }
    CreateNewDocument();
}

UninstallXmlLog::~UninstallXmlLog()
{
    ScopedCost meter(CostKind::ResultLog);
    SetValue("MetaData", "EndTime", GetTimeStamp());
    // A finished log leaves no copy behind.
    m_file->RemoveShadow();
}

bool UninstallXmlLog::LoadExisting()
{
    const int error = LoadXmlDocument(m_widePath, *m_document);
    XMLElement* root = error == tinyxml2::XML_SUCCESS ? m_document->RootElement() : nullptr;
    if (root != nullptr && root->Name() != nullptr && std::string(root->Name()) == "Uninstall") {
        m_root = root;
        m_text.Reset(*m_document);
        return true;
    }
    GetDebugLog().WriteLine(L"%ws: Error: the result log %ws could not be continued (error %d); starting a new one",
                            L"UninstallXmlLog::UninstallXmlLog", m_widePath.c_str(), error);
    m_document.reset(new XMLDocument());
    m_root = nullptr;
    return false;
}

void UninstallXmlLog::CreateNewDocument()
{
    m_document->Clear();
    m_root = m_document->NewElement("Uninstall");
    m_document->InsertEndChild(m_root);
    for (const char* section : Sections)
        m_root->InsertEndChild(m_document->NewElement(section));
    m_text.Reset(*m_document);
    Save();

    XMLElement* metaData = FindSection("MetaData");
    for (const auto& value : CollectMetaData())
        metaData->InsertEndChild(XmlLogItem("MetaData", value.first, value.second).Write(*m_document));
    m_text.Reset(*m_document);
    Save();
}

XMLElement* UninstallXmlLog::FindSection(const std::string& section) const
{
    if (m_root == nullptr)
        return nullptr;
    return m_root->FirstChildElement(section.c_str());
}

bool UninstallXmlLog::AddItem(const XmlLogItem& item)
{
    ScopedCost meter(CostKind::ResultLog);
    XMLElement* section = FindSection(item.GetSection());
    if (section == nullptr)
        return false;
    XMLElement* element = item.Write(*m_document);
    if (m_previewItems && element->Attribute(XmlLogField::AttributeName(XmlLogField::Status)) != nullptr)
        element->SetAttribute(XmlLogField::AttributeName(XmlLogField::Status), "Preview");
    section->InsertEndChild(element);
    m_text.Appended(section, element);
    Save();
    return true;
}

bool UninstallXmlLog::SetValue(const std::string& section, const std::string& elementName, const std::string& text)
{
    ScopedCost meter(CostKind::ResultLog);
    XMLElement* sectionElement = FindSection(section);
    if (sectionElement == nullptr)
        return false;
    XMLElement* element = sectionElement->LastChildElement(elementName.c_str());
    if (element != nullptr) {
        element->DeleteChildren();
        element->InsertEndChild(m_document->NewText(ToXmlText(text).c_str()));
        m_text.Changed(sectionElement, element);
    } else {
        element = XmlLogItem(section, elementName, text).Write(*m_document);
        sectionElement->InsertEndChild(element);
        m_text.Appended(sectionElement, element);
    }
    Save();
    return true;
}

bool UninstallXmlLog::UpdateLastItem(const std::map<int, std::string>& fields, const std::string& section,
                                     const std::string& elementName)
{
    ScopedCost meter(CostKind::ResultLog);
    XMLElement* sectionElement = FindSection(section);
    XMLElement* element = sectionElement != nullptr ? sectionElement->LastChildElement(elementName.c_str()) : nullptr;
    if (element == nullptr)
        return false;
    for (const auto& field : fields) {
        const char* attribute = XmlLogField::AttributeName(field.first);
        if (attribute != nullptr)
            element->SetAttribute(attribute, ToXmlText(field.second).c_str());
    }
    m_text.Changed(sectionElement, element);
    Save();
    return true;
}

void UninstallXmlLog::Save()
{
    ScopedCost meter(CostKind::ResultLog);
    const DWORD error = WriteDocument();
    m_lastSaveOk = error == ERROR_SUCCESS;
    if (m_lastSaveOk) {
        m_saveFailureLogged = false;
        return;
    }
    // The changes stay in memory and the next save writes them all; the
    // text log says so once until a save succeeds again.
    if (!m_saveFailureLogged) {
        m_saveFailureLogged = true;
        GetDebugLog().WriteLine(L"%ws: Error: the result log %ws could not be saved, error %ld; its changes are kept "
                                L"for the next save",
                                L"UninstallXmlLog::Save", m_widePath.c_str(), static_cast<long>(error));
    }
}

unsigned long UninstallXmlLog::WriteDocument()
{
    return m_file->Save(m_text.Text(), m_text.TakeChangedFrom());
}

std::string UninstallXmlLog::PrintDocument() const
{
    tinyxml2::XMLPrinter printer(nullptr, false);
    m_document->Print(&printer);
    return printer.CStrSize() > 0 ? std::string(printer.CStr(), printer.CStrSize() - 1) : std::string();
}
