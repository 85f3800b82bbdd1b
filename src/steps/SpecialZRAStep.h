#pragma once
#include <string>
#include <vector>

#include "steps/BaseStep.h"

// Step 1: the pre-handling of a range of older agent releases. On those
// releases (on Windows 8 or later) five of the agent's kernel drivers are
// disabled and the machine is restarted before the agent's own uninstall
// runs; everywhere else only a restart already pending on the agent's
// behalf is taken first. The run resumes at step 2 either way.
class SpecialZRAStep : public BaseStep {
public:
    SpecialZRAStep(int number, const std::string& name);
    void Run(RunOptions* options) override;
    // True on a special agent release on Windows 8 or later.
    bool ShouldRun() override;

    // The kernel-driver services the step disables, as UTF-8 names.
    static std::vector<std::string> GetSpecialVersionDrivers();

    // The special-release rule on a version string and the answer to
    // "Windows 8 / Server 2012 or later": "major.minor..." with major at
    // least 7 and minor 7 to 11, at least 7 characters long.
    static bool IsSpecialRelease(const std::string& version, bool windows8OrLater);
};

// The version of the installed agent: the "VersionString" of the first
// product related to the broker's upgrade code (UTF-8), empty when there is
// none or it cannot be read.
std::string GetZraVersion();

// Whether this is Windows 8 / Windows Server 2012 or later.
bool IsWindows8OrLater();
