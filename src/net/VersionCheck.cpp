#include "net/VersionCheck.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "logs/Log.h"
#include "system/Format.h"
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

namespace {

// What the caller and the request's worker thread share. The caller stops
// waiting when the budget is spent, whatever WinHTTP is doing (a server
// that sends its headers one byte at a time keeps every single receive
// short): it closes the request handle, which ends the request on Windows,
// and takes what has arrived so far. The worker may go on inside WinHTTP
// for a while; it only ever touches this state.
struct VersionRequest {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    UniqueInternet request;              // owned here, so either side can close it
    std::string body;                    // what has arrived so far
    std::vector<std::wstring> logLines;  // for the text log, written by the caller

    void Log(const std::wstring& line)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!abandoned)
            logLines.push_back(line);
    }
};

void FetchVersionText(const std::shared_ptr<VersionRequest>& state, const HttpEndpoint& endpoint,
                      ULONGLONG deadline)
{
    UniqueInternet session(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        state->Log(FormatWide(L"%ws: Error: Failed to open HTTP returned %d", Operation,
                              static_cast<int>(GetLastError())));
        return;
    }
    DWORD protocols = SecureProtocols;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    WinHttpSetTimeouts(session.get(), ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs, ReceiveTimeoutMs);

    UniqueInternet connection(WinHttpConnect(session.get(), endpoint.host.c_str(), endpoint.port, 0));
    if (!connection)
        return;
    const HINTERNET request = WinHttpOpenRequest(connection.get(), L"GET", endpoint.object.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 endpoint.secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->request.reset(request);
        if (state->abandoned) {
            state->request.reset();
            return;
        }
    }
    // Whatever happens below, the request handle is closed before the
    // connection and the session (unless the caller closed it already).
    const auto closeRequest = MakeScopeExit([&state] {
        std::lock_guard<std::mutex> guard(state->lock);
        state->request.reset();
    });

    // Some WinHTTP versions wait for the response headers within the send
    // already, under the response time-out, which is not one of the four
    // above and defaults to 90 seconds or more: bound it too.
    LimitReceive(request, static_cast<DWORD>(ReceiveTimeoutMs));

    // The status code is not looked at: whatever body arrives is the answer.
    WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    DWORD remaining = RemainingMs(deadline);
    if (remaining == 0)
        return;
    LimitReceive(request, remaining);
    if (!WinHttpReceiveResponse(request, nullptr))
        return;

    size_t received = 0;
    DWORD available = 0;
    DWORD read = 0;
    do {
        remaining = RemainingMs(deadline);
        if (remaining == 0 || received >= MaxBodyBytes)
            break;
        LimitReceive(request, remaining);
        available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            state->Log(FormatWide(L"%ws: Error: Failed to Query dataAvailable %d", Operation,
                                  static_cast<int>(GetLastError())));
            break;
        }
        if (available == 0)
            break;
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(available) + 1]());
        if (!buffer) {
            state->Log(FormatWide(L"%ws: Error: Failed to allocate memory for WinHttpReadData", Operation));
            break;
        }
        read = 0;
        if (!WinHttpReadData(request, buffer.get(), available, &read)) {
            state->Log(FormatWide(L"%ws: Read Data Failure, Error Code: %d", Operation,
                                  static_cast<int>(GetLastError())));
            break;
        }
        // The text ends at its first NUL, as it always has.
        const std::string piece(buffer.get());
        received += piece.size();
        std::lock_guard<std::mutex> guard(state->lock);
        state->body += piece;
    } while (read > 0 && available > 0);
}

} // namespace

std::string GetLatestVersionInfo(bool testEndpoint)
{
    // The text log is opened here: this is the first thing every run does.
    CDebugLog& log = GetDebugLog();
    const ULONGLONG deadline = GetTickCount64() + VersionCheckBudgetMs;
    const HttpEndpoint endpoint = GetVersionEndpoint(testEndpoint);

    std::shared_ptr<VersionRequest> state = std::make_shared<VersionRequest>();
    bool started = false;
    try {
        std::thread worker([state, endpoint, deadline] {
            FetchVersionText(state, endpoint, deadline);
            std::lock_guard<std::mutex> guard(state->lock);
            state->done = true;
            state->finished.notify_all();
        });
        worker.detach();
        started = true;
    } catch (const std::exception&) {
    }
    if (!started) {
        // No thread to spare: ask on this one, within the same stage limits.
        FetchVersionText(state, endpoint, deadline);
        state->done = true;
    }

    std::string result;
    std::vector<std::wstring> lines;
    {
        std::unique_lock<std::mutex> guard(state->lock);
        state->finished.wait_for(guard, std::chrono::milliseconds(RemainingMs(deadline)),
                                 [&state] { return state->done; });
        if (!state->done) {
            state->abandoned = true;
            state->request.reset();
        }
        result = state->body;
        lines.swap(state->logLines);
    }
    for (const std::wstring& line : lines)
        log.WriteLine(L"%ws", line.c_str());

    if (result.size() > MaxBodyBytes)
        result.resize(MaxBodyBytes);
    return result;
}
