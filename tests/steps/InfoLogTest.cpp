// The unattended step file and the unattended resume.
#include <gtest/gtest.h>

#include <string>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "steps/InfoLog.h"
#include "steps/Reboot.h"
#include "support/TestSupport.h"

namespace {

struct StepFileCase {
    const char* content;
    int step;
};

} // namespace

TEST(InfoLog, WritesOneStepLineAndReadsItBack)
{
    ScopedTempDir temp(L"info");
    CInfoLog info(temp.Path() + L"sub\\ZRACleanupTool.info");
    ASSERT_TRUE(info.SetStep(7));
    EXPECT_EQ("step: 7\r\n", ReadFileBytes(info.GetFilePath()));
    int step = -1;
    ASSERT_TRUE(info.GetStep(step));
    EXPECT_EQ(7, step);

    // A new step replaces the old one.
    ASSERT_TRUE(info.SetStep(4));
    EXPECT_EQ("step: 4\r\n", ReadFileBytes(info.GetFilePath()));

    info.RemoveInfoLog();
    EXPECT_FALSE(FileExists(info.GetFilePath()));
}

TEST(InfoLog, ReadsTheFirstStepLineAndTreatsNonsenseAsStepZero)
{
    ScopedTempDir temp(L"info");
    const StepFileCase cases[] = {
        {"step: 4\r\nstep: 6\r\n", 4},
        {"", 0},
        {"nothing here\r\n", 0},
        {"other: 1\r\nstep: 5\r\n", 5},
        {"step: x\r\n", 0},
        {"step\r\n", 0},
        {"step:", 0},
        {"step: 8", 8},
        {"steps 3\r\n", 3},
    };
    CInfoLog info(temp.Path() + L"ZRACleanupTool.info");
    for (const StepFileCase& c : cases) {
        WriteFileBytes(info.GetFilePath(), c.content);
        int step = -1;
        ASSERT_TRUE(info.GetStep(step)) << c.content;
        EXPECT_EQ(c.step, step) << c.content;
    }

    // Lines are read into 512 bytes: a longer line fails the read and ends
    // the search; 511 characters still fit.
    const struct {
        std::string content;
        int step;
    } longLines[] = {
        {std::string(600, 'x') + "\r\nstep: 4\r\n", 0},
        {"step: 3" + std::string(600, 'x') + "\r\n", 0},
        {std::string(511, 'x') + "\r\nstep: 6\r\n", 6},
        {"step: 5" + std::string(504, 'x') + "\r\nstep: 6\r\n", 5},
    };
    for (const auto& c : longLines) {
        WriteFileBytes(info.GetFilePath(), c.content);
        int step = -1;
        ASSERT_TRUE(info.GetStep(step)) << c.content.substr(0, 8);
        EXPECT_EQ(c.step, step) << c.content.substr(0, 8);
    }
}

TEST(InfoLog, MissingFileLeavesTheStepAndLogsTheFailedRemoval)
{
    ScopedTempDir temp(L"info");
    CInfoLog info(temp.Path() + L"ZRACleanupTool.info");
    int step = 3;
    EXPECT_FALSE(info.GetStep(step));
    EXPECT_EQ(3, step);

    info.RemoveInfoLog();
    const std::string log = ReadFileBytes(GetDebugLog().GetFilePath());
    EXPECT_NE(std::string::npos, log.find("\tCInfoLog::RemoveInfoLog: Enter  \r\n"));
    EXPECT_NE(std::string::npos, log.find("\tCInfoLog::RemoveInfoLog: RemoveInfoLog failed -1\r\n"));
}

TEST(InfoLog, UnfitFolderFailsTheWrite)
{
    ScopedTempDir temp(L"info");
    WriteFileBytes(temp.Path() + L"file", "x");
    CInfoLog info(temp.Path() + L"file\\ZRACleanupTool.info");
    EXPECT_FALSE(info.SetStep(2));
}

TEST(InfoLog, UnattendedStartTakesTheSavedStepAndDeletesTheFile)
{
    CInfoLog& info = CInfoLog::GetInstance();
    EXPECT_EQ(GetCleanupTempFolder() + L"ZRACleanupTool.info", info.GetFilePath());

    RunOptions options;
    options.unattended = true;
    options.step = 2;  // a /Step of the command line is always replaced
    ASSERT_TRUE(info.SetStep(6));
    Utils::UnattendedParamRun(options);
    EXPECT_EQ(6, options.step);
    EXPECT_FALSE(FileExists(info.GetFilePath()));

    options.step = 5;
    Utils::UnattendedParamRun(options);
    EXPECT_EQ(0, options.step);
}

TEST(InfoLog, UnattendedRestartOnlySavesTheStep)
{
    RunOptions options;
    options.unattended = options.silent = options.noReboot = true;
    options.step = 4;
    Utils::SetRebootParamRun(options);
    EXPECT_EQ("step: 4\r\n", ReadFileBytes(CInfoLog::GetInstance().GetFilePath()));
    EXPECT_FALSE(Utils::IsRunOnceValueSet());
    CInfoLog::GetInstance().RemoveInfoLog();
}
