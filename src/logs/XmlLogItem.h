#pragma once
#include <map>
#include <string>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}

// Field keys of a result-log item. Each becomes one attribute, written in
// ascending key order after "TimeStamp".
namespace XmlLogField {
enum : int {
    Status = 0,
    RequestTime = 1,
    DoneTime = 2,
    UpgradeCode = 3,
    Version = 4,
    ReturnCode = 5,
    ErrorID = 6,
    Message = 7,
    Result = 8,
    TimeStamp = 9,
};
// The attribute name of a field key; nullptr for a key outside 0..9.
const char* AttributeName(int key);
} // namespace XmlLogField

// The text as an XML 1.0 document can hold it: every character the format
// does not allow (control characters other than tab, line feed and
// carriage return; U+FFFE, U+FFFF) and every byte that is not part of a
// well-formed UTF-8 sequence (including encoded surrogates) becomes U+FFFD.
// Registry names can hold all of these; a strict parser rejects a document
// with any of them.
std::string ToXmlText(const std::string& text);

// One element of the XML result log: its section (the element it goes
// into), its own tag, its text and its attributes by field key. All text is
// UTF-8.
class XmlLogItem {
public:
    XmlLogItem(std::string section, std::string elementName, std::string text,
               std::map<int, std::string> fields = {});
    virtual ~XmlLogItem();

    // Builds the element (not yet inserted into the tree): the text, then
    // "TimeStamp" (now) unless the section is "MetaData" or "Reboots", then
    // one attribute per field in ascending key order.
    virtual tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) const;

    const std::string& GetSection() const { return m_section; }
    const std::string& GetElementName() const { return m_elementName; }
    const std::string& GetText() const { return m_text; }
    const std::map<int, std::string>& GetFields() const { return m_fields; }

protected:
    std::string m_section;
    std::string m_elementName;
    std::string m_text;
    std::map<int, std::string> m_fields;
};

// The outcome of one removal by error code: 0 is "Succeeded", anything else
// "Failed" with the code and its system message text.
class CommonXmlLogItem : public XmlLogItem {
public:
    CommonXmlLogItem(int code, const std::string& section, const std::string& elementName,
                     const std::string& text);
};

// A file or folder deletion, "Files"/"File"; a failure carries the HRESULT
// and its COM message text.
class FileXmlLogItem : public XmlLogItem {
public:
    FileXmlLogItem(bool success, int errorCode, const std::string& path);
};

// The meta-installer's run, "MetaInstaller"/"metaInstaller".
class MIXmlLogItem : public XmlLogItem {
public:
    MIXmlLogItem(int exitCode, const std::string& text);
    // The meta-installer's name for its exit code; empty for unknown codes.
    static const char* ResultName(int exitCode);
};

// A Windows Installer product uninstall, "MsiProducts"/"msi".
class MSIXmlLogItem : public XmlLogItem {
public:
    MSIXmlLogItem(int code, const std::string& text, const std::string& upgradeCode,
                  const std::string& version);
};

// A restart the run asked for, "Reboots"/"reboot", stamped with its request
// time; the next run adds its "DoneTime".
class RebootXmlLogItem : public XmlLogItem {
public:
    explicit RebootXmlLogItem(const std::string& reason);
};
