#pragma once
#include <string>

#include <tinyxml2.h>

// Loads an XML document from a file named by a wide path (opened with
// _wfopen, so any letters in the path work). A file that cannot be opened
// gives XML_ERROR_FILE_NOT_FOUND; otherwise the parser's own result.
tinyxml2::XMLError LoadXmlDocument(const std::wstring& path, tinyxml2::XMLDocument& document);
