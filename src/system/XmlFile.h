#pragma once
#include <string>

#include <tinyxml2.h>

// What a file must pass before it is parsed.
struct XmlFileChecks {
    long long maxSize = -1;    // a larger file gives XML_ERROR_FILE_READ_ERROR; -1: any size
    bool requireUtf8 = false;  // bytes that are not well-formed UTF-8 give XML_ERROR_PARSING_TEXT
};

// Loads an XML document from a file named by a wide path (opened with
// _wfopen, so any letters in the path work). A file that cannot be opened
// gives XML_ERROR_FILE_NOT_FOUND, a failed read XML_ERROR_FILE_READ_ERROR,
// a failed check the error named above; otherwise the parser's own result.
tinyxml2::XMLError LoadXmlDocument(const std::wstring& path, tinyxml2::XMLDocument& document,
                                   const XmlFileChecks& checks = XmlFileChecks());

// The same checks on a document held in memory, then the parser's result.
// An empty text gives XML_ERROR_FILE_NOT_FOUND: there is no document.
tinyxml2::XMLError ParseXmlDocument(const std::string& bytes, tinyxml2::XMLDocument& document,
                                    const XmlFileChecks& checks = XmlFileChecks());
