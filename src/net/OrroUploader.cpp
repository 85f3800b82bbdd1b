#include "net/OrroUploader.h"

#include <shlwapi.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "logs/Log.h"
#include "net/HttpEndpoint.h"
#include "system/Format.h"
#include "system/UniqueHandle.h"

namespace {

const wchar_t* const UserAgent = L"ZRACleanupTool";
const DWORD SecureProtocols = 0xA00;  // TLS 1.1 | TLS 1.2
const size_t MaxHostLength = 260;
const size_t MaxObjectLength = 1300;
const int MaxCookies = 5;

bool IsStatus200(const std::wstring& status)
{
    return CompareStringOrdinal(status.c_str(), -1, L"200", -1, TRUE) == CSTR_EQUAL;
}

// The upload id goes into the chunk URLs: anything but the characters a URL
// carries as they are is percent-encoded, so no reply can change the path
// or break the request line.
std::wstring EncodeQueryValue(const std::wstring& value)
{
    std::wstring encoded;
    for (wchar_t c : value) {
        if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' ||
            c == L'_' || c == L'.' || c == L'~') {
            encoded += c;
            continue;
        }
        const wchar_t utf16[2] = {c, 0};
        char utf8[8] = {};
        const int length = WideCharToMultiByte(CP_UTF8, 0, utf16, 1, utf8, sizeof(utf8), nullptr, nullptr);
        for (int i = 0; i < length; ++i)
            encoded += FormatWide(L"%%%02X", static_cast<unsigned char>(utf8[i]));
    }
    return encoded;
}

// Lets every wait of the handle end within its stage limit and the time
// left, whichever is shorter.
void LimitWaits(HINTERNET handle, DWORD remaining)
{
    // 0 would mean "wait forever" to WinHTTP.
    const DWORD left = remaining == 0 ? 1 : remaining;
    auto limit = [left](int stage) { return static_cast<int>(std::min<DWORD>(static_cast<DWORD>(stage), left)); };
    WinHttpSetTimeouts(handle, limit(UploadResolveTimeoutMs), limit(UploadConnectTimeoutMs),
                       limit(UploadSendTimeoutMs), limit(UploadReceiveTimeoutMs));
    DWORD response = static_cast<DWORD>(limit(UploadReceiveTimeoutMs));
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response, sizeof(response));
}

std::wstring QueryHeader(HINTERNET request, DWORD query, DWORD index = 0, bool* found = nullptr)
{
    DWORD size = 0;
    DWORD at = index;
    if (found != nullptr)
        *found = false;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size, &at);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    at = index;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size, &at))
        return std::wstring();
    if (found != nullptr)
        *found = true;
    return std::wstring(buffer.data(), size / sizeof(wchar_t));
}

std::wstring FromAnsi(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

// Reads exactly length bytes at offset; false on any shortfall.
bool ReadChunk(const std::wstring& path, unsigned long long offset, DWORD length, std::vector<char>& buffer)
{
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
        return false;
    DWORD total = 0;
    while (total < length) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data() + total, length - total, &read, nullptr) || read == 0)
            return false;
        total += read;
    }
    return true;
}

} // namespace

OrroUploader::OrroUploader(const std::wstring& baseUrl, const std::wstring& userName, const std::wstring& password,
                           const std::wstring& apiKey, DWORD budgetMs)
    : m_baseUrl(baseUrl), m_userName(userName), m_password(password), m_userAgent(UserAgent), m_apiKey(apiKey),
      m_log(GetDebugLog()), m_deadline(GetTickCount64() + budgetMs)
{
}

DWORD OrroUploader::Remaining() const
{
    const ULONGLONG now = GetTickCount64();
    return now >= m_deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(m_deadline - now, 0x7FFFFFFF));
}

int OrroUploader::AnonymousUpload(const std::wstring& filePath)
{
    const wchar_t* const name = L"OrroUploader::AnonymousUpload";
    if (!PathFileExistsW(filePath.c_str())) {
        m_log.WriteLine(L"%ws : File path %ws doesn't exist", name, filePath.c_str());
        m_responseBody = L"File path " + filePath + L" doesn't exist";
        return 900;
    }

    unsigned long long size = 0;
    {
        UniqueKernelHandle file(CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER fileSize;
        if (file && GetFileSizeEx(file.get(), &fileSize))
            size = static_cast<unsigned long long>(fileSize.QuadPart);
    }
    // The service takes the size as a 32-bit number.
    if (size == 0 || size > 0xFFFFFFFFull) {
        m_log.WriteLine(L"%ws : File can not be opened for Reading", name);
        m_responseBody = L"File can not be opened for Reading.";
        return 500;
    }

    const std::wstring id = RequestUploadId(size);
    if (id.empty()) {
        m_log.WriteLine(L"%ws : upload Id is empty", name);
        return -1;
    }
    m_log.WriteLine(L"%ws : Upload Id is %ws", name, id.c_str());
    return UploadChunks(filePath, size, id) ? 0 : -1;
}

std::wstring OrroUploader::RequestUploadId(unsigned long long size)
{
    const std::wstring url = m_baseUrl + FormatWide(L"/bundle/?size=%lu", static_cast<unsigned long>(size));
    std::wstring response;
    if (SendWebRequest(response, nullptr, 0, url, L"application/json") != 0 || !IsStatus200(m_statusCode))
        return std::wstring();
    // The reply is {"id": "value"}: the id starts three characters after
    // the first colon and ends one before the last brace.
    const size_t colon = response.find(L':');
    const size_t brace = response.rfind(L'}');
    if (colon == std::wstring::npos || brace == std::wstring::npos || brace < colon + 4)
        return std::wstring();
    return response.substr(colon + 3, brace - 1 - (colon + 3));
}

bool OrroUploader::UploadChunks(const std::wstring& filePath, unsigned long long size, const std::wstring& id)
{
    const std::wstring encodedId = EncodeQueryValue(id);
    std::vector<char> buffer;
    unsigned long long offset = 0;
    while (offset < size) {
        const DWORD length = static_cast<DWORD>(std::min<unsigned long long>(m_chunkSize, size - offset));
        const std::wstring url =
            m_baseUrl + L"/upload_raw_chunk/?id=" + encodedId +
            FormatWide(L"&offset=%lu", static_cast<unsigned long>(offset));
        buffer.resize(length);
        if (!ReadChunk(filePath, offset, length, buffer))
            return false;

        bool accepted = false;
        for (int attempt = 0; attempt < ChunkAttempts && !accepted; ++attempt) {
            std::wstring response;
            accepted = SendWebRequest(response, buffer.data(), length, url, L"application/octet-stream") == 0 &&
                       IsStatus200(m_statusCode) && response.find(L"COMPLETE") != std::wstring::npos;
        }
        if (!accepted)
            return false;
        offset += length;
    }
    return true;
}

int OrroUploader::SendWebRequest(std::wstring& response, const char* body, DWORD bodyLength,
                                 const std::wstring& url, const std::wstring& contentType)
{
    const wchar_t* const name = L"OrroUploader::SendWebRequest";
    m_responseBody.clear();
    m_rawHeaders.clear();
    m_statusCode.clear();
    response.clear();
    if (url.empty())
        return -1;
    if (body == nullptr)
        bodyLength = 0;
    if (Remaining() == 0)
        return ERROR_WINHTTP_TIMEOUT;

    UniqueInternet session(WinHttpOpen(m_userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return static_cast<int>(GetLastError());
    DWORD protocols = SecureProtocols;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    LimitWaits(session.get(), Remaining());

    HttpEndpoint endpoint;
    if (!ParseHttpUrl(url, endpoint) || endpoint.host.size() >= MaxHostLength ||
        endpoint.object.size() >= MaxObjectLength)
        return ERROR_WINHTTP_INVALID_URL;
    UniqueInternet connection(WinHttpConnect(session.get(), endpoint.host.c_str(), endpoint.port, 0));
    if (!connection)
        return static_cast<int>(GetLastError());
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"POST", endpoint.object.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              endpoint.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        return static_cast<int>(GetLastError());

    bool ready = true;
    if (endpoint.secure) {
        DWORD feature = WINHTTP_ENABLE_SSL_REVOCATION;
        ready = WinHttpSetOption(request.get(), WINHTTP_OPTION_ENABLE_FEATURE, &feature, sizeof(feature)) != FALSE;
    }
    const DWORD modifiers = WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON;
    if (ready && !m_apiKey.empty()) {
        const std::wstring header = FormatWide(L"Authorization: PK  %ws\r\n", m_apiKey.c_str());
        ready = WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1L), modifiers) != FALSE;
    }
    if (ready && body != nullptr) {
        const std::wstring header = FormatWide(L"Content-Length: %d\r\nContent-Type: %ws\r\n",
                                               static_cast<int>(bodyLength), contentType.c_str());
        ready = WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1L), modifiers) != FALSE;
    }
    if (ready && !m_cookieToSend.empty()) {
        const std::wstring header = L"Cookie: " + m_cookieToSend;
        m_cookieToSend.clear();
        ready = WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1L), modifiers) != FALSE;
    }
    if (!ready)
        return static_cast<int>(GetLastError());

    LimitWaits(request.get(), Remaining());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            bodyLength, 0))
        return static_cast<int>(GetLastError());
    DWORD sent = 0;
    while (sent < bodyLength) {
        LimitWaits(request.get(), Remaining());
        DWORD written = 0;
        if (Remaining() == 0) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return ERROR_WINHTTP_TIMEOUT;
        }
        if (!WinHttpWriteData(request.get(), body + sent, bodyLength - sent, &written))
            return static_cast<int>(GetLastError());
        if (written == 0)
            return ERROR_WINHTTP_CONNECTION_ERROR;
        sent += written;
    }
    const DWORD remaining = Remaining();
    if (remaining == 0)
        return ERROR_WINHTTP_TIMEOUT;
    LimitWaits(request.get(), remaining);
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return static_cast<int>(GetLastError());

    m_rawHeaders = QueryHeader(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF);
    m_statusCode = QueryHeader(request.get(), WINHTTP_QUERY_STATUS_CODE);
    m_cookies.clear();
    for (int index = 0; index < MaxCookies; ++index) {
        bool found = false;
        const std::wstring cookie = QueryHeader(request.get(), WINHTTP_QUERY_SET_COOKIE, static_cast<DWORD>(index),
                                                &found);
        if (!found)
            break;
        m_cookies += cookie + L";";
    }

    int result = 0;
    std::string bytes;
    DWORD available = 0;
    DWORD read = 0;
    do {
        const DWORD left = Remaining();
        if (left == 0 || bytes.size() >= UploadMaxResponseBytes)
            break;
        LimitWaits(request.get(), left);
        available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            result = static_cast<int>(GetLastError());
            m_log.WriteLine(L"%ws: Query Data Failure, Error Code: %d", name, result);
            break;
        }
        if (available == 0)
            break;
        std::vector<char> piece(static_cast<size_t>(available) + 1, '\0');
        read = 0;
        if (!WinHttpReadData(request.get(), piece.data(), available, &read)) {
            result = static_cast<int>(GetLastError());
            m_log.WriteLine(L"%ws: Read Data Failure, Error Code: %d", name, result);
            break;
        }
        bytes.append(piece.data(), read);
    } while (read > 0 && available > 0);
    if (bytes.size() > UploadMaxResponseBytes)
        bytes.resize(UploadMaxResponseBytes);
    m_responseBody = FromAnsi(bytes);

    request.reset();
    connection.reset();
    if (result == 0 && !IsStatus200(m_statusCode))
        result = static_cast<int>(GetLastError());
    response = m_responseBody;
    return result;
}
