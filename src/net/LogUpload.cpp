#include <windows.h>

#include "net/LogUpload.h"

#include <objbase.h>

#include <vector>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "net/HttpEndpoint.h"
#include "net/OrroUploader.h"
#include "net/ZipArchive.h"
#include "system/Console.h"
#include "system/FileRemoval.h"
#include "system/Format.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

const wchar_t* const UploadProductionBaseUrl = L"https://lumenhub.halvora.example/feeds/api";
const wchar_t* const UploadApiKey = L"3c9e07d2b84f16a5e0d97c3b21f8a64e5d0b7c19";
const wchar_t* const UploadUserName = L"Anonymous";

namespace {

const char* const ProductName = "Zorander";
const char* const ClientToolName = "ZRACleanupTool";
const size_t MaxSiteIdLength = 39;
const DWORD TempPathCapacity = 512;
const DWORD ArchivePathCapacity = 255;

const char* const ManifestTemplate =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><DataInfo><UTCDate>%s</UTCDate><Date>%s</Date>"
    "<Product>%s</Product><ProductVersion>%s</ProductVersion><ClientTool Name=\"%s\" Version=\"%s\"/>"
    "<UploadUser>%s</UploadUser><SiteID>%s</SiteID><SiteName>%s</SiteName></DataInfo>";

// The manifest's values come from files and the registry: markup characters
// in them must not break the document.
std::string EscapeXml(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&apos;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The first line of the file, at most limit bytes; empty when there is
// none.
std::string ReadFirstLine(const std::wstring& path, size_t limit)
{
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::string();
    char buffer[256] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr))
        return std::string();
    std::string line(buffer, read);
    line = line.substr(0, line.find_first_of("\r\n"));
    if (line.size() > limit)
        line.resize(limit);
    return line;
}

} // namespace

std::wstring GetUploadBaseUrl()
{
    std::wstring url = GetEndpointOverride(UploadBaseUrlVariable);
    HttpEndpoint endpoint;
    if (!ParseHttpUrl(url, endpoint))
        url = UploadProductionBaseUrl;
    while (!url.empty() && url.back() == L'/')
        url.pop_back();
    return url;
}

std::wstring GetTempFilePath(const wchar_t* fileName)
{
    std::vector<wchar_t> buffer(TempPathCapacity, L'\0');
    const DWORD length = ExpandEnvironmentStringsW(L"%TEMP%", buffer.data(), TempPathCapacity);
    if (length == 0 || length >= TempPathCapacity)
        return std::wstring();
    std::wstring folder(buffer.data());
    // An unset variable stays unexpanded.
    if (folder.empty() || folder.find(L'%') != std::wstring::npos)
        return std::wstring();
    return folder + L"\\" + fileName;
}

std::string GetSiteIdentity()
{
    try {
        const std::wstring path = GetTempFilePath(L"Site.txt");
        if (path.empty())
            return ClientToolName;
        const std::string existing = ReadFirstLine(path, MaxSiteIdLength);
        if (!existing.empty())
            return existing;

        GUID guid;
        wchar_t text[64] = {};
        if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 64) == 0)
            return ClientToolName;
        std::wstring id(text);
        if (id.size() >= 2 && id.front() == L'{' && id.back() == L'}')
            id = id.substr(1, id.size() - 2);
        const std::string narrow = WideToUtf8(id);
        WriteWholeFile(path, narrow + "\r\n");
        return narrow;
    } catch (...) {
        return ClientToolName;
    }
}

std::string FillManifest(const std::string& productVersion, const std::string& siteId)
{
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    const std::string utcDate = FormatNarrow("%04d-%02d-%02dT%02d:%02d:%02dZ", utc.wYear, utc.wMonth, utc.wDay,
                                             utc.wHour, utc.wMinute, utc.wSecond);
    const std::string date = FormatNarrow("%02d/%02d/%04d %02d:%02d:%02d", local.wMonth, local.wDay, local.wYear,
                                          local.wHour, local.wMinute, local.wSecond);
    return FormatNarrow(ManifestTemplate, utcDate.c_str(), date.c_str(), ProductName,
                        EscapeXml(productVersion).c_str(), ClientToolName,
                        EscapeXml(GetProgramVersion()).c_str(), WideToUtf8(UploadUserName).c_str(),
                        EscapeXml(siteId).c_str(), ClientToolName);
}

std::wstring CreateManifest(const std::string& productVersion)
{
    const std::string document = FillManifest(productVersion, GetSiteIdentity()) + "\r\n";
    const std::wstring path = GetTempFilePath(L"manifest.xml");
    if (path.empty() || !WriteWholeFile(path, document))
        return std::wstring();
    return path;
}

std::wstring GetArchivePath(const std::wstring& folder, const SYSTEMTIME& utc)
{
    const std::wstring name =
        FormatWide(L"%ws\\ZraCleanupLogs_%02d%02d%02d_%02d%02d%02d%03d.zip", folder.c_str(), utc.wYear, utc.wMonth,
                   utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
    std::vector<wchar_t> buffer(ArchivePathCapacity, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), ArchivePathCapacity, buffer.data(), nullptr);
    if (length == 0 || length >= ArchivePathCapacity)
        return std::wstring();
    return std::wstring(buffer.data(), length);
}

void UploadLogFilesAnonymous(bool quiet, const std::string& productVersion)
{
    const wchar_t* const name = L"UploadLogFilesAnonymous";
    CDebugLog& log = GetDebugLog();
    OrroUploader client(GetUploadBaseUrl(), UploadUserName, L"", UploadApiKey);

    SYSTEMTIME utc;
    GetSystemTime(&utc);
    const std::wstring archivePath = GetArchivePath(log.GetFolder(), utc);
    if (!archivePath.empty()) {
        // Every addition is complete on disk before the next one starts.
        ShellZipArchive archive(archivePath);
        archive.AddFile(log.GetFilePath());
        archive.AddFile(Utf8ToWide(UninstallXmlLog::GetInstance().GetFilePath()));
        const std::wstring manifest = CreateManifest(productVersion);
        if (!manifest.empty() && archive.AddFile(manifest) == 0)
            log.WriteLine(L"%ws : Manifest file %ws Added.", name, manifest.c_str());
        log.WriteLine(L"%ws : Archive file %ws created.", name, archivePath.c_str());
    }

    int failures = 0;
    while (failures < UploadAttempts) {
        const int result = client.AnonymousUpload(archivePath);
        if (result == 0 && CompareStringOrdinal(client.GetStatusCode().c_str(), -1, L"200", -1, TRUE) == CSTR_EQUAL) {
            log.WriteLine(L"%ws : Upload Successful", name);
            break;
        }
        ++failures;
        log.WriteLine(L"%ws : Retry %d", name, failures);
    }

    if (!quiet) {
        ConsoleWriteLine(L"");
        ConsoleWriteLine(L"Finished, Thank you for your support.");
    }

    if (!archivePath.empty()) {
        bool existed = false;
        HRESULT result = S_OK;
        DeleteFileOrDirectory(archivePath, existed, result);
    }
}
