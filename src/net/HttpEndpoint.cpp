#include "net/HttpEndpoint.h"

#include <winhttp.h>

#include <vector>

const wchar_t* const VersionUrlVariable = L"ZRA_VERSION_URL";
const wchar_t* const UploadBaseUrlVariable = L"ZRA_UPLOAD_BASE_URL";

bool ParseHttpUrl(const std::wstring& url, HttpEndpoint& endpoint)
{
    if (url.empty() || url.size() > 2048)
        return false;
    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0)
        return false;
    if (parts.dwUserNameLength != 0 || parts.dwPasswordLength != 0)
        return false;

    HttpEndpoint result;
    result.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    result.port = parts.nPort;
    result.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszUrlPath != nullptr)
        result.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr)
        result.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (result.object.empty())
        result.object = L"/";
    endpoint = result;
    return true;
}

std::wstring GetEndpointOverride(const wchar_t* variable)
{
    const DWORD size = GetEnvironmentVariableW(variable, nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::vector<wchar_t> buffer(size + 1);
    const DWORD length = GetEnvironmentVariableW(variable, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    return std::wstring(buffer.data(), length);
}
