#include "logs/XmlLogItem.h"

#include <windows.h>

#include <tinyxml2.h>

#include "system/ErrorText.h"
#include "system/Format.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"

namespace {

const char* const AttributeNames[] = {"Status",     "RequestTime", "DoneTime", "UpgradeCode", "Version",
                                      "ReturnCode", "ErrorID",     "Message",  "Result",      "TimeStamp"};

} // namespace

const char* XmlLogField::AttributeName(int key)
{
    if (key < 0 || key > 9)
        return nullptr;
    return AttributeNames[key];
}

XmlLogItem::XmlLogItem(std::string section, std::string elementName, std::string text,
                       std::map<int, std::string> fields)
    : m_section(std::move(section)), m_elementName(std::move(elementName)), m_text(std::move(text)),
      m_fields(std::move(fields))
{
}

XmlLogItem::~XmlLogItem() = default;

tinyxml2::XMLElement* XmlLogItem::Write(tinyxml2::XMLDocument& document) const
{
    tinyxml2::XMLElement* element = document.NewElement(m_elementName.c_str());
    element->InsertEndChild(document.NewText(m_text.c_str()));
    if (m_section != "MetaData" && m_section != "Reboots")
        element->SetAttribute("TimeStamp", GetTimeStamp().c_str());
    for (const auto& field : m_fields) {
        const char* attribute = XmlLogField::AttributeName(field.first);
        if (attribute != nullptr)
            element->SetAttribute(attribute, field.second.c_str());
    }
    return element;
}

CommonXmlLogItem::CommonXmlLogItem(int code, const std::string& section, const std::string& elementName,
                                   const std::string& text)
    : XmlLogItem(section, elementName, text)
{
    if (code == 0) {
        m_fields[XmlLogField::Status] = "Succeeded";
    } else {
        m_fields[XmlLogField::Status] = "Failed";
        m_fields[XmlLogField::ErrorID] = FormatNarrow("%d", code);
        m_fields[XmlLogField::Message] = GetWin32ErrorText(static_cast<DWORD>(code));
    }
}

FileXmlLogItem::FileXmlLogItem(bool success, int errorCode, const std::string& path)
    : XmlLogItem("Files", "File", path)
{
    if (success) {
        m_fields[XmlLogField::Status] = "Succeeded";
    } else {
        m_fields[XmlLogField::Status] = "Failed";
        m_fields[XmlLogField::ErrorID] = FormatNarrow("%ld", static_cast<long>(errorCode));
        m_fields[XmlLogField::Message] = WideToUtf8(GetComErrorText(static_cast<HRESULT>(errorCode)));
    }
}

const char* MIXmlLogItem::ResultName(int exitCode)
{
    switch (exitCode) {
    case -1: return "Exit";
    case 0: return "Success";
    case 1: return "Failed";
    case 2: return "PartialSuccess";
    case 3: return "ParticalSuccessAndRebootNeeded";
    case 4: return "FailureAndRebootNeeded";
    case 6: return "MissingCommandLineArgument";
    case 7: return "NewVersionFound";
    case 8: return "SuccessRebootNeeded";
    default: return "";
    }
}

MIXmlLogItem::MIXmlLogItem(int exitCode, const std::string& text)
    : XmlLogItem("MetaInstaller", "metaInstaller", text)
{
    m_fields[XmlLogField::Status] = (exitCode == 0 || exitCode == 8) ? "Succeeded" : "Failed";
    m_fields[XmlLogField::ReturnCode] = FormatNarrow("%d", exitCode);
    m_fields[XmlLogField::Message] = ResultName(exitCode);
}

MSIXmlLogItem::MSIXmlLogItem(int code, const std::string& text, const std::string& upgradeCode,
                             const std::string& version)
    : XmlLogItem("MsiProducts", "msi", text)
{
    m_fields[XmlLogField::UpgradeCode] = upgradeCode;
    m_fields[XmlLogField::Version] = version;
    m_fields[XmlLogField::Status] = (code == 0 || code == 1641 || code == 3010) ? "Succeeded" : "Failed";
    m_fields[XmlLogField::ReturnCode] = FormatNarrow("%d", code);
    m_fields[XmlLogField::Message] = GetWin32ErrorText(static_cast<DWORD>(code));
}

RebootXmlLogItem::RebootXmlLogItem(const std::string& reason)
    : XmlLogItem("Reboots", "reboot", reason)
{
    m_fields[XmlLogField::RequestTime] = GetTimeStamp();
}
