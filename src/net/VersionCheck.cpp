#include "net/VersionCheck.h"

#include <windows.h>
#include <winhttp.h>

#include <new>

#include "logs/Log.h"
#include "system/UniqueHandle.h"

const wchar_t* const VersionProductionHost = L"tools.halvora.example";
const wchar_t* const VersionTestHost = L"cdntest.halvora.example";
const wchar_t* const VersionObjectPath = L"zcu/ZCUVersion.txt";

namespace {

const wchar_t* const Operation = L"GetLatestVersionInfo";
const wchar_t* const UserAgent = L"ZRACleanupTool";
const DWORD SecureProtocols = 0xA00;  // TLS 1.1 | TLS 1.2

// Per-stage limits; together they stay within the budget, and the stages
// after the request was sent only get what is left of it.
const int ResolveTimeoutMs = 2000;
const int ConnectTimeoutMs = 2500;
const int SendTimeoutMs = 2000;
const int ReceiveTimeoutMs = 2500;

// A version text is a few bytes; a larger body is cut here rather than
// filling the memory with whatever a wrong host sends.
const size_t MaxBodyBytes = 64 * 1024;

// Milliseconds left until the deadline, 0 when it has passed.
DWORD RemainingMs(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Lets the next receive on the request wait no longer than the time left.
void LimitReceive(HINTERNET request, DWORD remaining)
{
    DWORD timeout = remaining;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout, sizeof(timeout));
}

} // namespace

HttpEndpoint GetVersionEndpoint(bool testEndpoint)
{
    HttpEndpoint endpoint;
    if (ParseHttpUrl(GetEndpointOverride(VersionUrlVariable), endpoint))
        return endpoint;
    endpoint.host = testEndpoint ? VersionTestHost : VersionProductionHost;
    endpoint.port = INTERNET_DEFAULT_HTTPS_PORT;
    endpoint.secure = true;
    endpoint.object = VersionObjectPath;
    return endpoint;
}

std::string GetLatestVersionInfo(bool testEndpoint)
{
    // The text log is opened here: this is the first thing every run does.
    CDebugLog& log = GetDebugLog();
    std::string result;
    const ULONGLONG deadline = GetTickCount64() + VersionCheckBudgetMs;
    const HttpEndpoint endpoint = GetVersionEndpoint(testEndpoint);

    UniqueInternet session(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        log.WriteLine(L"%ws: Error: Failed to open HTTP returned %d", Operation, static_cast<int>(GetLastError()));
        return result;
    }
    DWORD protocols = SecureProtocols;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    WinHttpSetTimeouts(session.get(), ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs, ReceiveTimeoutMs);

    UniqueInternet connection(WinHttpConnect(session.get(), endpoint.host.c_str(), endpoint.port, 0));
    if (!connection)
        return result;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", endpoint.object.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          endpoint.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        return result;

    // Some WinHTTP versions wait for the response headers within the send
    // already, under the response time-out, which is not one of the four
    // above and defaults to 90 seconds or more: bound it too.
    LimitReceive(request.get(), static_cast<DWORD>(ReceiveTimeoutMs));

    // The status code is not looked at: whatever body arrives is the answer.
    WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    DWORD remaining = RemainingMs(deadline);
    if (remaining == 0)
        return result;
    LimitReceive(request.get(), remaining);
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return result;

    DWORD available = 0;
    DWORD read = 0;
    do {
        remaining = RemainingMs(deadline);
        if (remaining == 0 || result.size() >= MaxBodyBytes)
            break;
        LimitReceive(request.get(), remaining);
        available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            log.WriteLine(L"%ws: Error: Failed to Query dataAvailable %d", Operation,
                          static_cast<int>(GetLastError()));
            break;
        }
        if (available == 0)
            break;
        char* buffer = new (std::nothrow) char[static_cast<size_t>(available) + 1]();
        if (buffer == nullptr) {
            log.WriteLine(L"%ws: Error: Failed to allocate memory for WinHttpReadData", Operation);
            break;
        }
        read = 0;
        if (!WinHttpReadData(request.get(), buffer, available, &read)) {
            log.WriteLine(L"%ws: Read Data Failure, Error Code: %d", Operation, static_cast<int>(GetLastError()));
            delete[] buffer;
            break;
        }
        result.append(buffer);
        delete[] buffer;
    } while (read > 0 && available > 0);

    if (result.size() > MaxBodyBytes)
        result.resize(MaxBodyBytes);
    return result;
}
