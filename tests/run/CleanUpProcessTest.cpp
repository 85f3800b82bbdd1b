// The cleanup driver with test steps: status handling, the driver-reboot
// restart, the resume marker, the run parameters and the start refusal
// while a re-launch is pending.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "logs/ResumeMarker.h"
#include "logs/UninstallXmlLog.h"
#include "run/CleanUpProcess.h"
#include "run/TimingReport.h"
#include "steps/Reboot.h"
#include "steps/Steps.h"
#include "support/TestSupport.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"

namespace {

const char* const ConfigDocument =
    "<config><Installer><Name>None</Name></Installer>"
    "<UpgradeCodes><Product><name>None</name><GUID>{00000000-0000-0000-0000-000000000000}</GUID></Product>"
    "</UpgradeCodes><Processes><Process>none.exe</Process></Processes>"
    "<Services><Service>None</Service></Services><Drivers><Driver>None</Driver></Drivers>"
    "<Files><File>C:\\none</File></Files>"
    "<Registry><Values><Value><KeyName>HKLM\\SOFTWARE\\None</KeyName><ValueName>None</ValueName></Value></Values>"
    "<Keys><Key>HKLM\\SOFTWARE\\None</Key></Keys>"
    "<SearchAndRemove><Search><Key>HKLM\\SOFTWARE\\None</Key><Pattern>None</Pattern></Search></SearchAndRemove>"
    "<UpgradeCodes key=\"HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\"/></Registry></config>";

// A step that records that it ran and ends with the given status; a status
// of 6 plays the driver step's first phase.
class TestStep : public BaseStep {
public:
    TestStep(int number, int status, std::vector<int>& ran)
        : BaseStep(GetCleanupStepName(number), number), m_status(status), m_ran(ran) {}
    void Run(RunOptions* options) override
    {
        BaseStep::Run(options);
        m_ran.push_back(GetNumber());
        if (m_status == 6) {
            options->step = 6;
            options->driverReboot = true;
            Utils::SetDriverRebootFlag(true);
            SetStatus(3);
            return;
        }
        SetStatus(m_status);
    }

private:
    int m_status;
    std::vector<int>& m_ran;
};

class CleanUpProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config = m_temp.Path() + L"config with blanks.xml";
        WriteFileBytes(m_config, ConfigDocument);
        m_options.silent = true;
        m_options.noReboot = true;
        m_options.configPath = m_config;
        // A completed run uploads its logs: to a closed loopback port here.
        SetEnvironmentVariableW(L"ZRA_UPLOAD_BASE_URL", L"http://127.0.0.1:1/feeds/api");
        DeleteRunOnceValue();
        ClearOverwriteLogMarker();
        Utils::SetDriverRebootFlag(false);
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"ZRA_UPLOAD_BASE_URL", nullptr);
        DeleteRunOnceValue();
        ClearOverwriteLogMarker();
        Utils::SetDriverRebootFlag(false);
    }

    static void DeleteRunOnceValue()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, Utils::RunOnceValueName);
            RegCloseKey(key);
        }
    }
    static std::wstring ReadRunOnceValue()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS)
            return L"<none>";
        wchar_t data[2048] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = RegQueryValueExW(key, Utils::RunOnceValueName, nullptr, &type,
                                             reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        return result == ERROR_SUCCESS && type == REG_SZ ? std::wstring(data) : std::wstring(L"<none>");
    }
    static void WriteRunOnceValue(const std::wstring& text)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        RegSetValueExW(key, Utils::RunOnceValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }

    // The steps with the given statuses from fromStep on (numbers 1 to 8).
    CleanUpProcess::StepFactory Factory(std::vector<int> statuses)
    {
        return [this, statuses](int fromStep) {
            m_factoryCalls.push_back(fromStep);
            std::vector<std::unique_ptr<BaseStep>> steps;
            for (int number = 1; number <= static_cast<int>(statuses.size()); ++number) {
                if (number >= fromStep)
                    steps.emplace_back(new TestStep(number, statuses[number - 1], m_ran));
            }
            return steps;
        };
    }

    ScopedTempDir m_temp{L"cleanup"};
    std::wstring m_config;
    RunOptions m_options;
    std::vector<int> m_ran;
    std::vector<int> m_factoryCalls;
};

} // namespace

TEST_F(CleanUpProcessTest, StatusTwoStopsWithTheRestartExitCodeAndKeepsTheMarker)
{
    m_options.restartExitCode = 3010;
    m_options.step = 2;
    CleanUpProcess process(m_options, Factory({0, 0, 2, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(process.BeforeRun());
    EXPECT_EQ(3010, process.Run());
    EXPECT_EQ((std::vector<int>{2}), m_factoryCalls);
    EXPECT_EQ((std::vector<int>{2, 3}), m_ran);
    EXPECT_TRUE(IsOverwriteLogMarkerSet());
}

TEST_F(CleanUpProcessTest, FailedStepEndsTheRunAndOtherStatusesContinue)
{
    {
        CleanUpProcess process(m_options, Factory({0, 3, 0, -1, 0, 0, 0, 0}));
        EXPECT_EQ(-1, process.Run());
        EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), m_ran);
    }
    m_ran.clear();
    {
        CleanUpProcess process(m_options, Factory({3, 1, 7, 0, 0, 0, 0, 0}));
        EXPECT_EQ(0, process.Run());
        EXPECT_EQ(8u, m_ran.size());
        EXPECT_TRUE(IsOverwriteLogMarkerSet());
        process.Finish();
        EXPECT_FALSE(IsOverwriteLogMarkerSet());
    }
}

TEST_F(CleanUpProcessTest, MissingOrBrokenConfigurationFailsBeforeAnyStep)
{
    m_options.configPath = m_temp.Path() + L"missing.xml";
    CleanUpProcess missing(m_options, Factory({0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(-1, missing.Run());

    WriteFileBytes(m_temp.Path() + L"broken.xml", "<config><Installer>");
    m_options.configPath = m_temp.Path() + L"broken.xml";
    CleanUpProcess broken(m_options, Factory({0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(-1, broken.Run());

    EXPECT_TRUE(m_factoryCalls.empty());
    EXPECT_TRUE(m_ran.empty());
    EXPECT_FALSE(IsOverwriteLogMarkerSet());
}

TEST_F(CleanUpProcessTest, DriverRebootAfterTheLastStepRegistersTheResume)
{
    m_options.restartExitCode = 7;
    m_options.uploadEnabled = false;
    CleanUpProcess process(m_options, Factory({0, 0, 0, 0, 0, 0, 6, 0}));
    EXPECT_EQ(7, process.Run());
    EXPECT_EQ(8u, m_ran.size());  // the driver step does not stop the run
    EXPECT_EQ(6, process.GetOptions().step);
    EXPECT_EQ(L"\"" + GetProgramPath() + L"\" -silent -NoReboot -Config \"" + m_config +
                  L"\" -ChangeExitCode1To 7 -DISABLEEXPERIENCEMETRICS -Step 6 -DriverReboot",
              ReadRunOnceValue());
    EXPECT_TRUE(Utils::IsRunOnceValueSet());
}

TEST_F(CleanUpProcessTest, RecordsTheRunParameters)
{
    const std::wstring resultLog = Utf8ToWide(UninstallXmlLog::GetInstance().GetFilePath());
    struct {
        bool silent, noReboot, unattended;
        const char* text;
    } cases[] = {
        {true, true, false, "<Parameter>/Silent/NoReboot</Parameter>"},
        {true, false, false, "<Parameter>/Silent</Parameter>"},
        {false, true, false, "<Parameter>/NoReboot</Parameter>"},
        {true, true, true, "<Parameter>/Unattended</Parameter>"},
    };
    for (const auto& c : cases) {
        m_options.silent = c.silent;
        m_options.noReboot = c.noReboot;
        m_options.unattended = c.unattended;
        CleanUpProcess process(m_options, Factory({}));
        EXPECT_EQ(0, process.Run());
        EXPECT_NE(std::string::npos, ReadFileBytes(resultLog).find(c.text)) << c.text;
    }
}

TEST_F(CleanUpProcessTest, PendingRelaunchRefusesAFreshStartButNotAResumedOne)
{
    // Longer than any fixed read buffer: a pending re-launch is pending
    // whatever its length.
    WriteRunOnceValue(L"\"C:\\zra\\ZRACleanupUtility.exe\" -Config \"" + std::wstring(700, L'c') + L"\" -Step 4");
    ASSERT_TRUE(Utils::IsRunOnceValueSet());

    CleanUpProcess fresh(m_options, Factory({0}));
    EXPECT_FALSE(fresh.BeforeRun());

    m_options.step = 4;
    CleanUpProcess resumed(m_options, Factory({0}));
    EXPECT_TRUE(resumed.BeforeRun());

    DeleteRunOnceValue();
    m_options.step = 0;
    CleanUpProcess clear(m_options, Factory({0}));
    EXPECT_TRUE(clear.BeforeRun());
}

// Every step that ran is timed, the one that ends the run for a restart
// too; the steps that did not run are not.
TEST_F(CleanUpProcessTest, TimesEveryStepThatRan)
{
    ClearStepTimings();
    m_options.step = 2;
    {
        CleanUpProcess process(m_options, Factory({0, 0, 0, 2, 0, 0, 0, 0}));
        EXPECT_EQ(1, process.Run());
    }
    const std::vector<StepTiming> timings = GetStepTimings();
    ClearStepTimings();
    ASSERT_EQ(3u, timings.size());
    for (size_t i = 0; i < timings.size(); ++i) {
        EXPECT_EQ(static_cast<int>(i) + 2, timings[i].number);
        EXPECT_EQ(GetCleanupStepName(timings[i].number), timings[i].name);
        EXPECT_GE(timings[i].ticks, timings[i].cost.Total());
    }
}
