#include "run/CleanUpProcess.h"

#include <map>
#include <string>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/PreviewReport.h"
#include "logs/ResumeMarker.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "net/LogUpload.h"
#include "run/TimingReport.h"
#include "steps/Reboot.h"
#include "steps/Steps.h"
#include "system/Console.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

namespace {

UninstallXmlLog& ResultLog()
{
    return UninstallXmlLog::GetInstance(L"UninstallLog.xml");
}

const wchar_t* const PendingRestartText =
    L"A restart requested by an earlier cleanup run is still pending; the preview shows the whole cleanup.";

// In a preview a restart is one more change to list; the run goes on with
// the next step, as the re-launched cleanup would.
void ReportPreviewRestart(int resumeStep)
{
    IsChangePreviewed(L"Restart the machine",
                      FormatWide(L"the cleanup would continue with step %d after the restart", resumeStep));
}

} // namespace

CleanUpProcess::CleanUpProcess(RunOptions options, StepFactory stepFactory)
    : m_options(options), m_stepFactory(stepFactory ? stepFactory : StepFactory(CreateCleanupSteps))
{
    GetDebugLog();
    ResultLog();
}

CleanUpProcess::~CleanUpProcess()
{
    // The steps were handed the options: they go first.
    m_steps.clear();
}

bool CleanUpProcess::BeforeRun()
{
    const wchar_t* const name = L"CleanUpProcess::BeforeRun";
    if (!m_options.silent)
        ConsoleWriteLine(L"Thank you for using ZRA Cleanup Utility...");

    if (m_options.step != 0) {
        if (m_options.silent)
            GetDebugLog().WriteLine(L"%ws: Continuing cleanup.", name);
        else
            ConsoleWriteLine(L"Continuing cleanup");
        return true;
    }

    if (m_options.preview) {
        // A preview changes nothing: it neither waits for a pending restart
        // nor asks the user to close anything.
        if (Utils::IsRunOnceValueSet()) {
            GetDebugLog().WriteLine(L"%ws: Preview: %ws", name, PendingRestartText);
            if (!m_options.silent)
                ConsoleWriteLine(PendingRestartText);
        }
        return true;
    }

    if (Utils::IsRunOnceValueSet()) {
        if (!m_options.noReboot)
            Utils::RunReboot(m_options.silent);
        else if (m_options.silent)
            GetDebugLog().WriteLine(L"%ws: %ws", name, Utils::RestartYourselfText);
        else
            ConsoleWriteLine(Utils::RestartYourselfText);
        return false;
    }

    if (m_options.silent)
        return true;
    ConsoleWriteLine(L"Before you can continue, please close any applications that are currently running and "
                     L"logoff from all Halvora sessions. Additionally, make sure no installation of Halvora or "
                     L"Third Party software are currently in progress.");
    ConsolePause();
    return true;
}

bool CleanUpProcess::Prepare()
{
    // The carried document is parsed as the program holds it; "config.xml"
    // is its copy for the record. A copy that could not be written is an
    // older or someone else's file, and must never be what the run removes.
    bool loaded = false;
    if (m_options.configPath.empty())
        loaded = CConfiguration::GetInstance().InitializeFromDocument(ExtractConfig().document);
    else
        loaded = CConfiguration::GetInstance().Initialize(m_options.configPath);
    if (!loaded)
        return false;

    std::vector<std::unique_ptr<BaseStep>> steps = m_stepFactory(m_options.step);
    for (std::unique_ptr<BaseStep>& step : steps) {
        if (step)
            m_steps.push_back(std::move(step));
    }

    SetOverwriteLogMarker();

    std::string parameter;
    if (m_options.unattended) {
        parameter = "/Unattended";
    } else {
        if (m_options.silent)
            parameter += "/Silent";
        if (m_options.noReboot)
            parameter += "/NoReboot";
    }
    if (m_options.preview)
        parameter += "/Preview";
    UninstallXmlLog& resultLog = ResultLog();
    resultLog.SetValue("MetaData", "Parameter", parameter);
    if (m_options.preview)
        return true;

    // Close the restart the previous run of this cleanup asked for.
    std::map<int, std::string> doneTime;
    doneTime[XmlLogField::DoneTime] = GetTimeStamp();
    resultLog.UpdateLastItem(doneTime, "Reboots", "reboot");
    return true;
}

int CleanUpProcess::Run()
{
    if (!Prepare())
        return -1;

    for (std::unique_ptr<BaseStep>& step : m_steps) {
        // The step's wall time and the bookkeeping within it (see
        // run/TimingReport.h); recorded also when it ends the run.
        const StepTimer timer(step->GetNumber(), step->GetName());
        SetChangeStep(step->GetNumber());
        step->Run(&m_options);
        const int status = step->GetStatus();
        if (status == BaseStep::StatusRestart) {
            if (!m_options.preview)
                return m_options.restartExitCode;
            ReportPreviewRestart(m_options.step);
        }
        if (status == BaseStep::StatusFailed)
            return -1;
    }
    SetChangeStep(0);

    if (m_options.preview) {
        if (Utils::GetDriverRebootFlag())
            ReportPreviewRestart(m_options.step);
        return 0;
    }
    if (Utils::GetDriverRebootFlag()) {
        Utils::SetRebootParamRun(m_options);
        return m_options.restartExitCode;
    }
    return 0;
}

void CleanUpProcess::Finish()
{
    if (m_options.preview) {
        // Nothing is uploaded and no marker was set; the result log of the
        // preview is complete on disk.
        const std::wstring summary = GetPreviewSummaryText(GetPlannedChangeCount());
        GetDebugLog().WriteLine(L"%ws: %ws", L"CleanUpProcess::Finish", summary.c_str());
        if (!m_options.silent) {
            ConsoleWriteLine(L"");
            ConsoleWriteLine(summary);
            ConsoleWrite(L"Press any key to exit...");
            ConsoleWaitForKey();
        }
        return;
    }
    if (m_options.uploadEnabled) {
        const std::wstring resultLogPath = Utf8ToWide(ResultLog().GetFilePath());
        const std::string agentVersion = Utils::GetZraVersionFromXmlLog(resultLogPath);
        UploadLogFilesAnonymous(m_options.silent, agentVersion);
    }

    ClearOverwriteLogMarker();

    if (!m_options.silent) {
        ConsoleWriteLine(L"");
        ConsoleWriteLine(L"Halvora ZRA removal is complete.");
        ConsoleWrite(L"Press any key to exit...");
        ConsoleWaitForKey();
    }
}
