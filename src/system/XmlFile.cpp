#include "system/XmlFile.h"

#include <cstdio>
#include <memory>

#include "system/TextConvert.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// Checks the open file's bytes, then puts the read position back at its
// start for the parser.
tinyxml2::XMLError CheckFile(FILE* file, const XmlFileChecks& checks)
{
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    const long long size = _ftelli64(file);
    if (size < 0 || (checks.maxSize >= 0 && size > checks.maxSize))
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    if (_fseeki64(file, 0, SEEK_SET) != 0)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    if (checks.requireUtf8) {
        std::string bytes(static_cast<size_t>(size), '\0');
        if (size > 0 && fread(&bytes[0], 1, bytes.size(), file) != bytes.size())
            return tinyxml2::XML_ERROR_FILE_READ_ERROR;
        if (!IsValidUtf8(bytes))
            return tinyxml2::XML_ERROR_PARSING_TEXT;
        if (_fseeki64(file, 0, SEEK_SET) != 0)
            return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    }
    return tinyxml2::XML_SUCCESS;
}

} // namespace

tinyxml2::XMLError LoadXmlDocument(const std::wstring& path, tinyxml2::XMLDocument& document,
                                   const XmlFileChecks& checks)
{
    const std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
    if (!file)
        return tinyxml2::XML_ERROR_FILE_NOT_FOUND;
    if (checks.maxSize >= 0 || checks.requireUtf8) {
        const tinyxml2::XMLError error = CheckFile(file.get(), checks);
        if (error != tinyxml2::XML_SUCCESS)
            return error;
    }
    return document.LoadFile(file.get());
}

tinyxml2::XMLError ParseXmlDocument(const std::string& bytes, tinyxml2::XMLDocument& document,
                                    const XmlFileChecks& checks)
{
    if (bytes.empty())
        return tinyxml2::XML_ERROR_FILE_NOT_FOUND;
    if (checks.maxSize >= 0 && static_cast<long long>(bytes.size()) > checks.maxSize)
        return tinyxml2::XML_ERROR_FILE_READ_ERROR;
    if (checks.requireUtf8 && !IsValidUtf8(bytes))
        return tinyxml2::XML_ERROR_PARSING_TEXT;
    return document.Parse(bytes.data(), bytes.size());
}
