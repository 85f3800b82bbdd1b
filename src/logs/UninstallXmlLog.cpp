#include "logs/UninstallXmlLog.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <io.h>
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

// The thread's last Win32 error, or the fallback when there is none.
DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = GetLastError();
    if (error != ERROR_SUCCESS)
        return error;
    return fallback != ERROR_SUCCESS ? fallback : ERROR_WRITE_FAULT;
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
}

bool UninstallXmlLog::LoadExisting()
{
    const int error = LoadXmlDocument(m_widePath, *m_document);
    XMLElement* root = error == tinyxml2::XML_SUCCESS ? m_document->RootElement() : nullptr;
    if (root != nullptr && root->Name() != nullptr && std::string(root->Name()) == "Uninstall") {
        m_root = root;
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
    Save();

    XMLElement* metaData = FindSection("MetaData");
    for (const auto& value : CollectMetaData())
        metaData->InsertEndChild(XmlLogItem("MetaData", value.first, value.second).Write(*m_document));
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
    } else {
        sectionElement->InsertEndChild(XmlLogItem(section, elementName, text).Write(*m_document));
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
    // Write a whole new copy next to the log, then swap it in, so that an
    // interrupted save leaves the previous complete file in place.
    const std::wstring temporary = m_widePath + L".tmp";
    SetLastError(ERROR_SUCCESS);
    FILE* file = _wfopen(temporary.c_str(), L"w");
    if (file == nullptr)
        return LastErrorOr(static_cast<DWORD>(_doserrno));
    // The indented text is built in memory and written in one call; the
    // text-mode file turns its line ends into CR LF.
    tinyxml2::XMLPrinter printer(nullptr, false);
    m_document->Print(&printer);
    const size_t size = printer.CStrSize() > 0 ? static_cast<size_t>(printer.CStrSize() - 1) : 0;
    DWORD error = ERROR_SUCCESS;
    if (fwrite(printer.CStr(), 1, size, file) != size || fflush(file) != 0 || ferror(file) != 0)
        error = LastErrorOr(ERROR_WRITE_FAULT);
    else if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))))
        error = LastErrorOr(ERROR_WRITE_FAULT);
    if (fclose(file) != 0 && error == ERROR_SUCCESS)
        error = LastErrorOr(ERROR_WRITE_FAULT);
    if (error != ERROR_SUCCESS) {
        DeleteFileW(temporary.c_str());
        return error;
    }
    if (!MoveFileExW(temporary.c_str(), m_widePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = LastErrorOr(ERROR_WRITE_FAULT);
        DeleteFileW(temporary.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}
