#include "net/VersionCheck.h"

#include "logs/Log.h"

std::string GetLatestVersionInfo(bool testEndpoint)
{
    // The text log is opened here: this is the first thing every run does.
    GetDebugLog();
    (void)testEndpoint;
    // The web request is not wired in yet: no version can be determined.
    return std::string();
}
