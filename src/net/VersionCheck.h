#pragma once
#include <string>

// Asks the maker's file host for the latest published version of the tool.
// Returns the response body (four dot-separated numbers), empty on failure.
// testEndpoint selects the test host.
std::string GetLatestVersionInfo(bool testEndpoint);
