#pragma once
#include <string>

#include "net/HttpEndpoint.h"

// The maker's hosts publishing the latest version text (port 443, TLS).
extern const wchar_t* const VersionProductionHost;
extern const wchar_t* const VersionTestHost;
extern const wchar_t* const VersionObjectPath;  // "zcu/ZCUVersion.txt"

// Start-up waits at most this long for the version text, however the
// network behaves (name resolution, connection, sending and receiving).
const unsigned long VersionCheckBudgetMs = 9000;

// The address of the version text: the production or test host, unless the
// environment variable ZRA_VERSION_URL names a valid http(s) URL, which then
// wins for both.
HttpEndpoint GetVersionEndpoint(bool testEndpoint);

// Asks the maker's file host for the latest published version of the tool.
// Returns the response body (four dot-separated numbers) whatever the HTTP
// status, empty when nothing could be read. testEndpoint selects the test
// host.
std::string GetLatestVersionInfo(bool testEndpoint);
