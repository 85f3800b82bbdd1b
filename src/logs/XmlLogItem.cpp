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

bool IsXmlChar(unsigned int c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

} // namespace

std::string ToXmlText(const std::string& text)
{
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string result;
    result.reserve(text.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        size_t length = 1;
        unsigned int min = 0;
        unsigned int cp = c;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2; min = 0x80; cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3; min = 0x800; cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4; min = 0x10000; cp = c & 0x07;
        } else if (c >= 0x80) {
            length = 0;  // a continuation byte or a byte UTF-8 never uses
        }
        bool valid = length > 0 && static_cast<size_t>(end - p) >= length;
        for (size_t i = 1; valid && i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (valid && length > 1 && (cp < min || cp > 0x10FFFF))
            valid = false;
        if (!valid) {
            // One replacement per byte that starts no whole sequence.
            result += replacement;
            ++p;
            continue;
        }
        if (IsXmlChar(cp))
            result.append(reinterpret_cast<const char*>(p), length);
        else
            result += replacement;
        p += length;
    }
    return result;
}

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
    element->InsertEndChild(document.NewText(ToXmlText(m_text).c_str()));
    if (m_section != "MetaData" && m_section != "Reboots")
        element->SetAttribute("TimeStamp", GetTimeStamp().c_str());
    for (const auto& field : m_fields) {
        const char* attribute = XmlLogField::AttributeName(field.first);
        if (attribute != nullptr)
            element->SetAttribute(attribute, ToXmlText(field.second).c_str());
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
