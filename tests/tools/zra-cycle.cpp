// Test harness: the tool's run sequence with two test steps in place of the
// real steps 3 and 7, so that the restart and resume cycle can be driven end
// to end before those steps do real work.
//
// Step 3 asks for a restart the way the Windows Installer step does (resume
// at step 4, a "reboot" item, Utils::SetRebootParamRun, status 2); step 7
// asks for one the way the driver step does (resume at step 6 with
// -DriverReboot through the driver-reboot flag) unless the run is already
// the driver step's second phase, or ZRA_CYCLE_DRIVER_REBOOT is "0". The other steps are the
// product's. The command line is read by the product's parser; the
// re-launch names this harness, so a resumed run comes back here.
#include <windows.h>

#include <string>
#include <vector>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "run/CommandLine.h"
#include "steps/Reboot.h"
#include "run/RunSequence.h"
#include "steps/Steps.h"
#include "system/Console.h"

namespace {

class RestartTestStep : public BaseStep {
public:
    RestartTestStep(int number, int resumeAt) : BaseStep(GetCleanupStepName(number), number), m_resumeAt(resumeAt) {}
    void Run(RunOptions* options) override
    {
        BaseStep::Run(options);
        options->step = m_resumeAt;
        UninstallXmlLog::GetInstance().AddItem(RebootXmlLogItem("test step asks for a restart"));
        Utils::SetRebootParamRun(*options);
        SetStatus(StatusRestart);
    }

private:
    int m_resumeAt;
};

class DriverRebootTestStep : public BaseStep {
public:
    explicit DriverRebootTestStep(int number) : BaseStep(GetCleanupStepName(number), number) {}
    void Run(RunOptions* options) override
    {
        BaseStep::Run(options);
        wchar_t setting[8] = {};
        GetEnvironmentVariableW(L"ZRA_CYCLE_DRIVER_REBOOT", setting, 8);
        if (options->driverReboot || std::wstring(setting) == L"0")
            return;
        options->step = 6;
        options->driverReboot = true;
        UninstallXmlLog::GetInstance().AddItem(RebootXmlLogItem("test driver step asks for a restart"));
        Utils::SetDriverRebootFlag(true);
        SetStatus(3);
    }
};

std::vector<std::unique_ptr<BaseStep>> CreateTestSteps(int fromStep)
{
    std::vector<std::unique_ptr<BaseStep>> steps;
    for (int number = fromStep < 1 ? 1 : fromStep; number <= BaseStep::TotalSteps; ++number) {
        if (number == 3)
            steps.emplace_back(new RestartTestStep(number, 4));
        else if (number == 7)
            steps.emplace_back(new DriverRebootTestStep(number));
        else
            steps.push_back(CreateCleanupStep(number));
    }
    return steps;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i]);
    // As in the tool, the text log is opened before the command line is
    // read, so it stays in the cleanup temp folder whatever /Logpath says.
    GetDebugLog();
    RunOptions options;
    const CommandLineResult parsed = ParseCommandLine(args, options);
    ConsoleWrite(parsed.console);
    if (parsed.action != CommandLineAction::Run)
        return 0;
    return RunSequence(options, CreateTestSteps);
}
