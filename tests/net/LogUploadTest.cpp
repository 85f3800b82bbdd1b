#include <windows.h>
#include <winhttp.h>

#include <string>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "net/HttpEndpoint.h"
#include "net/LogUpload.h"
#include "net/OrroUploader.h"
#include "support/TestSupport.h"
#include "system/ProgramInfo.h"
#include "system/UniqueHandle.h"

namespace {

const wchar_t* const ClosedPortBaseUrl = L"http://127.0.0.1:1/feeds/api";

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(UploadAddress, FixedBaseUrlUnlessAValidOverride)
{
    SetEnvironmentVariableW(UploadBaseUrlVariable, nullptr);
    EXPECT_EQ(L"https://lumenhub.halvora.example/feeds/api", GetUploadBaseUrl());
    {
        ScopedVariable variable(UploadBaseUrlVariable, L"http://127.0.0.1:8080/feeds/api/");
        EXPECT_EQ(L"http://127.0.0.1:8080/feeds/api", GetUploadBaseUrl());
    }
    {
        ScopedVariable variable(UploadBaseUrlVariable, L"ftp://127.0.0.1/feeds/api");
        EXPECT_EQ(L"https://lumenhub.halvora.example/feeds/api", GetUploadBaseUrl());
    }
}

TEST(UploadArchive, NameCarriesTheUtcTimeInTheFolder)
{
    SYSTEMTIME utc = {};
    utc.wYear = 2026;
    utc.wMonth = 3;
    utc.wDay = 4;
    utc.wHour = 5;
    utc.wMinute = 6;
    utc.wSecond = 7;
    utc.wMilliseconds = 89;
    EXPECT_EQ(L"C:\\logs\\ZraCleanup\\ZraCleanupLogs_20260304_050607089.zip",
              GetArchivePath(L"C:\\logs\\ZraCleanup\\", utc));
    EXPECT_EQ(L"C:\\logs\\ZraCleanupLogs_20260304_050607089.zip", GetArchivePath(L"C:\\logs", utc));
    // Beyond 254 characters there is no archive.
    EXPECT_EQ(L"", GetArchivePath(L"C:\\" + std::wstring(230, L'a'), utc));
}

TEST(UploadManifest, OneLineWithTheNineFieldsEscaped)
{
    const std::string manifest = FillManifest("24.3.1.2207 <beta & \"rc\">", "site'1");
    const std::string utcPrefix = "<?xml version=\"1.0\" encoding=\"utf-8\"?><DataInfo><UTCDate>";
    ASSERT_EQ(0u, manifest.find(utcPrefix));
    // UTC time "YYYY-MM-DDTHH:MM:SSZ", local time "MM/DD/YYYY HH:MM:SS".
    const size_t utcEnd = manifest.find("</UTCDate><Date>");
    ASSERT_EQ(utcPrefix.size() + 20, utcEnd);
    EXPECT_EQ('T', manifest[utcPrefix.size() + 10]);
    EXPECT_EQ('Z', manifest[utcEnd - 1]);
    const size_t dateEnd = manifest.find("</Date>");
    EXPECT_EQ(utcEnd + 16 + 19, dateEnd);
    EXPECT_EQ('/', manifest[utcEnd + 16 + 2]);
    EXPECT_EQ("</Date><Product>Zorander</Product><ProductVersion>24.3.1.2207 &lt;beta &amp; &quot;rc&quot;&gt;"
              "</ProductVersion><ClientTool Name=\"ZRACleanupTool\" Version=\"" +
                  GetProgramVersion() +
                  "\"/><UploadUser>Anonymous</UploadUser><SiteID>site&apos;1</SiteID>"
                  "<SiteName>ZRACleanupTool</SiteName></DataInfo>",
              manifest.substr(dateEnd));
    EXPECT_EQ(std::string::npos, manifest.find('\n'));
}

TEST(UploadManifest, SiteIdentityAndManifestLiveInTheTempFolderWhateverItsName)
{
    ScopedTempDir dir(L"upload");
    const std::wstring temp = dir.Path() + L"Zo\u00EB \u03A9";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ScopedTempFolderOverride override(temp);
    EXPECT_EQ(temp + L"\\Site.txt", GetTempFilePath(L"Site.txt"));

    // Created once, reused after.
    const std::string site = GetSiteIdentity();
    ASSERT_EQ(36u, site.size());
    EXPECT_EQ('-', site[8]);
    EXPECT_EQ(site + "\r\n", ReadFileBytes(temp + L"\\Site.txt"));
    EXPECT_EQ(site, GetSiteIdentity());

    const std::wstring manifest = CreateManifest("7.1");
    EXPECT_EQ(temp + L"\\manifest.xml", manifest);
    const std::string document = ReadFileBytes(manifest);
    EXPECT_NE(std::string::npos, document.find("<ProductVersion>7.1</ProductVersion>"));
    EXPECT_NE(std::string::npos, document.find("<SiteID>" + site + "</SiteID>"));
    EXPECT_EQ("</DataInfo>\r\n", document.substr(document.size() - 13));

    // The first line, at most 39 characters; an empty file gets a new one.
    WriteFileBytes(temp + L"\\Site.txt", std::string(45, 'k') + "\nnext");
    EXPECT_EQ(std::string(39, 'k'), GetSiteIdentity());
    WriteFileBytes(temp + L"\\Site.txt", "\r\n");
    const std::string fresh = GetSiteIdentity();
    EXPECT_EQ(36u, fresh.size());
    EXPECT_NE(site, fresh);
    EXPECT_EQ(fresh + "\r\n", ReadFileBytes(temp + L"\\Site.txt"));
}

TEST(UploadManifest, UnknownTempFolderGivesNoManifest)
{
    ScopedTempDir dir(L"upload");
    ScopedTempFolderOverride override(dir.Path());
    SetEnvironmentVariableW(L"TEMP", nullptr);
    EXPECT_EQ(L"", GetTempFilePath(L"manifest.xml"));
    EXPECT_EQ(L"", CreateManifest("1.0"));
    EXPECT_EQ("ZRACleanupTool", GetSiteIdentity());
}

TEST(OrroUploaderTest, FileThatCannotBeSentIsRefusedBeforeAnyRequest)
{
    ScopedTempDir dir(L"upload");
    OrroUploader client(ClosedPortBaseUrl, L"Anonymous", L"", UploadApiKey);
    const std::wstring missing = dir.Path() + L"missing.zip";
    EXPECT_EQ(900, client.AnonymousUpload(missing));
    EXPECT_EQ(L"File path " + missing + L" doesn't exist", client.GetResponseBody());

    WriteFileBytes(dir.Path() + L"empty.zip", "");
    EXPECT_EQ(500, client.AnonymousUpload(dir.Path() + L"empty.zip"));
    EXPECT_EQ(L"File can not be opened for Reading.", client.GetResponseBody());

    // Nothing to send is sent at once.
    EXPECT_TRUE(client.UploadChunks(dir.Path() + L"empty.zip", 0, L"id"));
}

TEST(OrroUploaderTest, RequestsFailWithTheirReason)
{
    OrroUploader client(ClosedPortBaseUrl, L"Anonymous", L"", UploadApiKey);
    std::wstring response = L"old";
    EXPECT_EQ(-1, client.SendWebRequest(response, nullptr, 0, L"", L"application/json"));
    EXPECT_EQ(L"", response);
    EXPECT_EQ(ERROR_WINHTTP_INVALID_URL,
              client.SendWebRequest(response, nullptr, 0, L"http://127.0.0.1/" + std::wstring(1300, L'a'),
                                    L"application/json"));
    EXPECT_EQ(ERROR_WINHTTP_CANNOT_CONNECT,
              client.SendWebRequest(response, "x", 1, L"http://127.0.0.1:1/feeds/api/bundle/?size=1",
                                    L"application/json"));
    EXPECT_EQ(L"", client.GetStatusCode());
    EXPECT_EQ(L"", client.RequestUploadId(100));

    // Once the budget is used up no request leaves.
    OrroUploader spent(ClosedPortBaseUrl, L"Anonymous", L"", UploadApiKey, 0);
    EXPECT_EQ(ERROR_WINHTTP_TIMEOUT,
              spent.SendWebRequest(response, nullptr, 0, L"http://127.0.0.1:1/x", L"application/json"));
}

TEST(UploadLogFiles, FailedUploadRetriesThreeTimesAndDeletesTheArchive)
{
    ScopedVariable variable(UploadBaseUrlVariable, ClosedPortBaseUrl);
    CDebugLog& log = GetDebugLog();
    const std::string before = ReadFileBytes(log.GetFilePath());
    UploadLogFilesAnonymous(true, "1.2.3.4");
    const std::string added = ReadFileBytes(log.GetFilePath()).substr(before.size());

    EXPECT_EQ(1u, CountOf(added, "\tUploadLogFilesAnonymous : Manifest file "));
    EXPECT_EQ(1u, CountOf(added, "\tUploadLogFilesAnonymous : Archive file "));
    EXPECT_EQ(3u, CountOf(added, "\tOrroUploader::AnonymousUpload : upload Id is empty\r\n"));
    for (const char* retry : {"Retry 1\r\n", "Retry 2\r\n", "Retry 3\r\n"})
        EXPECT_EQ(1u, CountOf(added, std::string("\tUploadLogFilesAnonymous : ") + retry)) << retry;
    EXPECT_EQ(0u, CountOf(added, "Upload Successful"));

    WIN32_FIND_DATAW found;
    UniqueFindHandle search(FindFirstFileW((log.GetFolder() + L"ZraCleanupLogs_*.zip").c_str(), &found));
    EXPECT_FALSE(search.valid()) << "the archive is deleted";
}
