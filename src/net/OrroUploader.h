#pragma once
#include <windows.h>

#include <string>

class CDebugLog;

// Time limits of the upload. Each stage of one request waits at most its
// own limit, and all requests of one client together stop once its budget
// is used up: a silent or dead service holds the end of a run for about a
// minute at worst, however many attempts are left.
const int UploadResolveTimeoutMs = 2000;
const int UploadConnectTimeoutMs = 2500;
const int UploadSendTimeoutMs = 10000;
const int UploadReceiveTimeoutMs = 10000;
const DWORD UploadBudgetMs = 60000;

// A reply body larger than this is cut: the service's replies are a few
// bytes, and a wrong host must not fill the memory.
const size_t UploadMaxResponseBytes = 64 * 1024;

// Client of the maker's diagnostics upload service: asks for an upload id
// for a file of a given size, then sends the file in chunks of 1 MiB, each
// read from the file only when it is sent.
class OrroUploader {
public:
    // budgetMs bounds the time all requests of this client may take.
    OrroUploader(const std::wstring& baseUrl, const std::wstring& userName, const std::wstring& password,
                 const std::wstring& apiKey, DWORD budgetMs = UploadBudgetMs);

    // Uploads the file. 0: uploaded; -1: no upload id or a chunk was not
    // accepted; 500: the file cannot be read or is empty; 900: it does not
    // exist.
    int AnonymousUpload(const std::wstring& filePath);
    // Opens an upload for a file of the given size; the id, or empty.
    std::wstring RequestUploadId(unsigned long long size);
    // Sends the file in chunks, each up to three times until the service
    // confirms it with "COMPLETE".
    bool UploadChunks(const std::wstring& filePath, unsigned long long size, const std::wstring& id);
    // One POST to the URL with an optional body. 0 when it was sent and
    // answered (any status), -1 for an empty URL, otherwise the Windows
    // error of the failing call. response receives the reply body.
    int SendWebRequest(std::wstring& response, const char* body, DWORD bodyLength, const std::wstring& url,
                       const std::wstring& contentType);

    const std::wstring& GetStatusCode() const { return m_statusCode; }
    const std::wstring& GetResponseBody() const { return m_responseBody; }
    const std::wstring& GetRawHeaders() const { return m_rawHeaders; }
    const std::wstring& GetCookies() const { return m_cookies; }
    // Sent once, with the next request, as a "Cookie: " header.
    void SetCookieToSend(const std::wstring& cookie) { m_cookieToSend = cookie; }

    static const DWORD ChunkSize = 0x100000;
    static const int ChunkAttempts = 3;

    OrroUploader(const OrroUploader&) = delete;
    OrroUploader& operator=(const OrroUploader&) = delete;

private:
    // Milliseconds left of the budget.
    DWORD Remaining() const;

    std::wstring m_baseUrl;
    std::wstring m_userName;
    std::wstring m_password;
    std::wstring m_userAgent;
    std::wstring m_apiKey;
    int m_count = 20;
    DWORD m_chunkSize = ChunkSize;
    std::wstring m_cookies;
    std::wstring m_cookieToSend;
    std::wstring m_rawHeaders;
    std::wstring m_statusCode;
    std::wstring m_responseBody;
    CDebugLog& m_log;
    ULONGLONG m_deadline;
};
