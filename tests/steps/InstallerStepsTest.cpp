// The decisions of the installer steps and the driver step that need no
// installed product: the special-release rule, the meta-installer's exit
// codes, the quoting of a registered uninstall command, and the driver phase
// kept in the unattended step file.
#include <gtest/gtest.h>

#include <string>

#include "config/AgentProductData.h"
#include "steps/InfoLog.h"
#include "steps/MetaInstallerStep.h"
#include "steps/SpecialZRAStep.h"
#include "support/TestSupport.h"

TEST(SpecialRelease, MajorFromSevenWithMinorSevenToElevenOnWindows8OrLater)
{
    struct Case {
        const char* version;
        bool special;
    } cases[] = {
        {"7.9.0.12", true},   {"8.7.0.0", true},     {"7.11.0.1", true},  {"7.7", false},
        {"7.7.0.0", true},    {"7.6.0.100", false},  {"7.12.1.1", false}, {"1912.0.0.0", false},
        {"6.9.0.0", false},   {"", false},           {"garbage", false},  {"7.x.0.0", false},
        {"10.8.0.0", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.special, SpecialZRAStep::IsSpecialRelease(c.version, true)) << c.version;
        EXPECT_FALSE(SpecialZRAStep::IsSpecialRelease(c.version, false)) << c.version;
    }
}

TEST(SpecialRelease, FiveDriversOfTheProductData)
{
    const auto drivers = SpecialZRAStep::GetSpecialVersionDrivers();
    ASSERT_EQ(5u, drivers.size());
    EXPECT_EQ("HVRVMIC", drivers[0]);
    EXPECT_EQ("HVRTWAIN", drivers[4]);
}

TEST(MetaInstallerExitCode, TableOfRestartRequests)
{
    for (int code : {3, 4, 8}) {
        EXPECT_TRUE(MetaInstallerStep::ExitCodeNeedsRestart(code, false)) << code;
        EXPECT_TRUE(MetaInstallerStep::ExitCodeNeedsRestart(code, true)) << code;
    }
    for (int code : {-1, 1, 2, 5, 6, 7}) {
        EXPECT_FALSE(MetaInstallerStep::ExitCodeNeedsRestart(code, false)) << code;
        EXPECT_TRUE(MetaInstallerStep::ExitCodeNeedsRestart(code, true)) << code;
    }
    for (int code : {0, 9, 3010, 1641, -2}) {
        EXPECT_FALSE(MetaInstallerStep::ExitCodeNeedsRestart(code, false)) << code;
        EXPECT_FALSE(MetaInstallerStep::ExitCodeNeedsRestart(code, true)) << code;
    }
}

TEST(UninstallCommand, UnquotedProgramPathWithBlanksIsQuoted)
{
    EXPECT_EQ(L"\"C:\\Program Files\\Halvora\\setup.exe\" /x {A}",
              QuoteUninstallProgramPath(L"C:\\Program Files\\Halvora\\setup.exe /x {A}"));
    EXPECT_EQ(L"\"C:\\Program Files\\Halvora\\Setup.EXE\"",
              QuoteUninstallProgramPath(L"C:\\Program Files\\Halvora\\Setup.EXE"));
    // A folder holding ".exe" in its name does not end the path.
    EXPECT_EQ(L"\"C:\\My Apps\\x.exe.d\\run.exe\" -u",
              QuoteUninstallProgramPath(L"C:\\My Apps\\x.exe.d\\run.exe -u"));
}

TEST(UninstallCommand, OtherCommandsAreLeftAlone)
{
    const wchar_t* unchanged[] = {
        L"\"C:\\Program Files\\Halvora\\setup.exe\" /x",  // already quoted
        L"C:\\Halvora\\setup.exe /x {A}",                  // no blank in the path
        L"MsiExec.exe /X{C2FD7894-E67B-57B6-AA9D-75BA3D906727}",
        L"C:\\Program Files\\Halvora\\setup /x",           // no ".exe" to tell where it ends
        L"",
        L"   ",
    };
    for (const wchar_t* command : unchanged)
        EXPECT_EQ(std::wstring(command), QuoteUninstallProgramPath(command)) << command;
}

TEST(InfoLogDriverPhase, SecondLineCarriesTheDriverPhase)
{
    ScopedTempDir temp(L"driverphase");
    CInfoLog info(temp.Path() + L"ZRACleanupTool.info");
    ASSERT_TRUE(info.SetStep(6, true));
    EXPECT_EQ("step: 6\r\ndriverReboot: 1\r\n", ReadFileBytes(info.GetFilePath()));
    int step = 0;
    bool driverReboot = false;
    ASSERT_TRUE(info.GetStep(step, &driverReboot));
    EXPECT_EQ(6, step);
    EXPECT_TRUE(driverReboot);

    // A file written without the line (also by an older release) resumes
    // without the phase.
    ASSERT_TRUE(info.SetStep(6));
    EXPECT_EQ("step: 6\r\n", ReadFileBytes(info.GetFilePath()));
    driverReboot = true;
    ASSERT_TRUE(info.GetStep(step, &driverReboot));
    EXPECT_EQ(6, step);
    EXPECT_FALSE(driverReboot);

    // Only the line right after the step line counts.
    WriteFileBytes(info.GetFilePath(), "step: 6\r\nother\r\ndriverReboot: 1\r\n");
    ASSERT_TRUE(info.GetStep(step, &driverReboot));
    EXPECT_FALSE(driverReboot);
    WriteFileBytes(info.GetFilePath(), "driverReboot: 1\r\nstep: 6\r\n");
    ASSERT_TRUE(info.GetStep(step, &driverReboot));
    EXPECT_EQ(6, step);
    EXPECT_FALSE(driverReboot);
}
