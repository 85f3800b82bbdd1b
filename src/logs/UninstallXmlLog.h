#pragma once
#include <map>
#include <memory>
#include <string>

#include "logs/ShadowedFile.h"
#include "logs/XmlLogItem.h"
#include "logs/XmlLogText.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}

// The XML result log "UninstallLog.xml" in the log folder: one element per
// thing the run tried, rewritten on disk after every change. A run started
// while the resume marker is set continues the existing document.
//
// The printed document is kept in memory and a change reprints only the
// item it touched; every save brings the shadow copy "<name>.tmp" up to it
// and moves that over the log in one step (logs/ShadowedFile.h), so the file
// on disk is always a whole document even when the process is ended in the
// middle of a save, and a save costs the same however many items there are.
class UninstallXmlLog {
public:
    // The process-wide result log. Only the first call's file name counts.
    // In a preview (system/MachineChanges.h) it is always a new
    // "Preview.xml" whose items carry the Status "Preview".
    static UninstallXmlLog& GetInstance(const std::wstring& fileName = L"UninstallLog.xml");

    // A separate result log in the log folder (tests, tools): continues the
    // existing file when continueExisting is true and the file can be read,
    // otherwise starts a new document.
    UninstallXmlLog(const std::wstring& fileName, bool continueExisting);
    // Stamps "EndTime", saves, and removes the shadow copy.
    ~UninstallXmlLog();
    UninstallXmlLog(const UninstallXmlLog&) = delete;
    UninstallXmlLog& operator=(const UninstallXmlLog&) = delete;

    // Appends the item to its section and saves. False (nothing written)
    // when the section does not exist.
    bool AddItem(const XmlLogItem& item);
    // Replaces the text of the section's last element of that name, or adds
    // a plain item when there is none; saves. False when the section does
    // not exist.
    bool SetValue(const std::string& section, const std::string& elementName, const std::string& text);
    // Sets each field as an attribute of the section's last element of that
    // name and saves. False (nothing saved) when there is no such element.
    bool UpdateLastItem(const std::map<int, std::string>& fields, const std::string& section,
                        const std::string& elementName);
    // Brings the file up to the document. A save that fails is logged once
    // (with its Win32 code) until a save succeeds again.
    void Save();

    // The file's full path (UTF-8).
    std::string GetFilePath() const { return m_filePath; }
    // True when the last save reached the disk.
    bool LastSaveSucceeded() const { return m_lastSaveOk; }
    // The bytes the last save wrote (or the next one will write).
    const std::string& GetText() const { return m_text.Text(); }
    // The document printed whole by tinyxml2, as text without CR
    // (tests compare the saved file with it).
    std::string PrintDocument() const;
    // True when the last save rewrote only part of the shadow copy.
    bool LastSaveWasPartial() const { return m_file->LastSaveWasPartial(); }
    // The bytes all saves so far have written (figures).
    unsigned long long GetBytesWritten() const { return m_file->BytesWritten(); }

    // The section elements of a new document, in order.
    static const char* const Sections[10];
    // The MetaData children of a new document, in order.
    static const char* const MetaDataElements[10];

private:
    void CreateNewDocument();
    bool LoadExisting();
    tinyxml2::XMLElement* FindSection(const std::string& section) const;
    // Writes the file; the Win32 code of the failure, 0 on success.
    unsigned long WriteDocument();

    std::string m_filePath;
    std::wstring m_widePath;
    std::unique_ptr<tinyxml2::XMLDocument> m_document;
    XmlLogText m_text;
    std::unique_ptr<ShadowedFile> m_file;
    tinyxml2::XMLElement* m_root = nullptr;
    bool m_lastSaveOk = false;
    bool m_previewItems = false;  // items get the Status "Preview"
    bool m_saveFailureLogged = false;
};
