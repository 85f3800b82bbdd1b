#pragma once
#include <windows.h>

#include <string>

// Where a web request of the tool goes. The maker's hosts are fixed; for
// tests and staging an environment variable can name another address.
struct HttpEndpoint {
    std::wstring host;
    unsigned short port = 443;
    bool secure = true;   // TLS (https)
    std::wstring object;  // path and query, as handed to WinHttpOpenRequest
};

// Environment variables that replace the fixed addresses when set:
//   ZRA_VERSION_URL      full URL of the version text, e.g.
//                        "http://127.0.0.1:8080/zcu/ZCUVersion.txt"
//   ZRA_UPLOAD_BASE_URL  base URL of the diagnostics upload service
// Both accept http and https and any port.
extern const wchar_t* const VersionUrlVariable;
extern const wchar_t* const UploadBaseUrlVariable;

// Splits an absolute http or https URL. False for anything else (other
// schemes, no host, user names, unparsable text).
bool ParseHttpUrl(const std::wstring& url, HttpEndpoint& endpoint);

// The value of the environment variable; empty when it is not set.
std::wstring GetEndpointOverride(const wchar_t* variable);
