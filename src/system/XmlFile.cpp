#include "system/XmlFile.h"

#include <cstdio>

tinyxml2::XMLError LoadXmlDocument(const std::wstring& path, tinyxml2::XMLDocument& document)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return tinyxml2::XML_ERROR_FILE_NOT_FOUND;
    const tinyxml2::XMLError error = document.LoadFile(file);
    fclose(file);
    return error;
}
