#include "run/CleanUpProcess.h"

#include <map>
#include <string>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/ResumeMarker.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "net/LogUpload.h"
#include "steps/Reboot.h"
#include "steps/Steps.h"
#include "system/Console.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

namespace {

UninstallXmlLog& ResultLog()
{
    return UninstallXmlLog::GetInstance(L"UninstallLog.xml");
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
    UninstallXmlLog& resultLog = ResultLog();
    resultLog.SetValue("MetaData", "Parameter", parameter);

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
        step->Run(&m_options);
        const int status = step->GetStatus();
        if (status == BaseStep::StatusRestart)
            return m_options.restartExitCode;
        if (status == BaseStep::StatusFailed)
            return -1;
    }

    if (Utils::GetDriverRebootFlag()) {
        Utils::SetRebootParamRun(m_options);
        return m_options.restartExitCode;
    }
    return 0;
}

void CleanUpProcess::Finish()
{
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
