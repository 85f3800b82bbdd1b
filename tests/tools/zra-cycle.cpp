// Test harness: the tool's run sequence with two test steps in place of the
// real steps 3 and 7, so that the restart and resume cycle can be driven end
// to end before those steps do real work.
//
// Step 3 asks for a restart the way the Windows Installer step does (resume
// at step 4, a "reboot" item, Utils::SetRebootParamRun, status 2); step 7
// asks for one the way the driver step does (resume at step 6 with
// -DriverReboot through the driver-reboot flag) unless the run is already
// the driver step's second phase, or ZRA_CYCLE_DRIVER_REBOOT is "0". Step 8
// backs up and removes the configured registry keys and values as the
// registry step does (export first, delete only what was exported), through
// the product's registry wrapper and backup, so that the backup can be
// checked across restarts. The other steps are the product's. The command
// line is read by the product's parser; the
// re-launch names this harness, so a resumed run comes back here.
#include <windows.h>

#include <string>
#include <vector>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "run/CommandLine.h"
#include "steps/Reboot.h"
#include "run/RunSequence.h"
#include "steps/Steps.h"
#include "system/Console.h"
#include "system/MachineChanges.h"
#include "system/Privileges.h"
#include "system/RegistryKey.h"
#include "system/TextConvert.h"

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

// Splits "HKLM\\path" into its root key and path.
bool SplitKeyPath(const std::string& text, HKEY& root, std::wstring& path)
{
    const size_t slash = text.find('\\');
    if (!ParsePredefinedKey(text.substr(0, slash), root))
        return false;
    path = slash == std::string::npos ? std::wstring() : Utf8ToWide(text.substr(slash + 1));
    return true;
}

class RegistryBackupTestStep : public BaseStep {
public:
    explicit RegistryBackupTestStep(int number) : BaseStep(GetCleanupStepName(number), number) {}
    void Run(RunOptions* options) override
    {
        BaseStep::Run(options);
        const CConfiguration& config = CConfiguration::GetInstance();
        for (const RegKeyEntry& entry : config.GetRegistryKeys()) {
            HKEY root = nullptr;
            std::wstring path;
            if (!SplitKeyPath(entry.keyPath, root, path))
                continue;
            const REGSAM view = entry.wow6432Node ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
            std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, path, KEY_ALL_ACCESS | view);
            if (key && key->ExportRegistryKeyAndSubkeys(root, path) == ERROR_SUCCESS)
                key->DeleteKeyAndSubkeys();
        }
        for (const RegValueEntry& entry : config.GetRegistryValues()) {
            HKEY root = nullptr;
            std::wstring path;
            if (!SplitKeyPath(entry.keyName, root, path))
                continue;
            const REGSAM view = entry.wow6432Node ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
            std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, path, KEY_ALL_ACCESS | view);
            const std::wstring name = Utf8ToWide(entry.valueName);
            if (key && key->ExportRegistryValue(root, path, name) == ERROR_SUCCESS)
                key->DeleteValue(name);
        }
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
        else if (number == 8)
            steps.emplace_back(new RegistryBackupTestStep(number));
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
    // As in the tool, a preview is known before the first use of the log
    // folder, and the text log is opened before the command line is read,
    // so it stays in the cleanup temp folder whatever /Logpath says.
    if (IsPreviewRequested(args))
        SetChangeMode(ChangeMode::Preview);
    GetDebugLog();
    RunOptions options;
    const CommandLineResult parsed = ParseCommandLine(args, options);
    ConsoleWrite(parsed.console);
    if (parsed.action != CommandLineAction::Run)
        return 0;
    return RunSequence(options, CreateTestSteps);
}
