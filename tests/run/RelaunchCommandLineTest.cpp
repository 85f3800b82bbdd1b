// The re-launch command line written to RunOnce, and that the command-line
// parser reads it back into the same options.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logs/LogFolder.h"
#include "run/CommandLine.h"
#include "steps/Reboot.h"
#include "support/TestSupport.h"

namespace {

const std::wstring Program = L"C:\\Program Files\\Halvora Tools\\ZRACleanupUtility.exe";

// Splits the command line as Windows builds a program's argv from it.
std::vector<std::wstring> SplitAsWindows(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> args;
    for (int i = 0; argv != nullptr && i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

RunOptions RoundTrip(const RunOptions& options)
{
    const std::vector<std::wstring> args = SplitAsWindows(Utils::BuildRelaunchCommandLine(options, Program));
    EXPECT_FALSE(args.empty());
    if (!args.empty()) {
        EXPECT_EQ(Program, args[0]);
    }
    RunOptions parsed;
    const CommandLineResult result = ParseCommandLine(args, parsed);
    EXPECT_EQ(CommandLineAction::Run, result.action);
    SetLogFolderOverride(L"");
    return parsed;
}

} // namespace

TEST(RelaunchCommandLine, OptionTextsInOrderAndOnlyWhenTheyApply)
{
    RunOptions options;
    EXPECT_EQ(L"\"" + Program + L"\" -Step 0", Utils::BuildRelaunchCommandLine(options, Program));

    options.silent = true;
    options.configPath = L"C:\\cfg.xml";
    options.step = 6;
    options.driverReboot = true;
    EXPECT_EQ(L"\"" + Program + L"\" -silent -Config C:\\cfg.xml -Step 6 -DriverReboot",
              Utils::BuildRelaunchCommandLine(options, Program));

    RunOptions all;
    all.silent = all.verbose = all.noReboot = true;
    all.uploadEnabled = false;
    all.metaInstallerReboot = all.driverReboot = true;
    all.configPath = L"C:\\c.xml";
    all.logPath = L"C:\\logs";
    all.restartExitCode = 3010;
    all.step = 2;
    EXPECT_EQ(L"\"" + Program +
                  L"\" -silent -v -NoReboot -Config C:\\c.xml -Logpath C:\\logs -ChangeExitCode1To 3010 "
                  L"-DISABLEEXPERIENCEMETRICS -Step 2 -MetaInstallerReboot",
              Utils::BuildRelaunchCommandLine(all, Program));

    // The reboot flags only travel with the step they belong to.
    all.step = 3;
    const std::wstring stepThree = Utils::BuildRelaunchCommandLine(all, Program);
    EXPECT_EQ(L" -DISABLEEXPERIENCEMETRICS -Step 3", stepThree.substr(stepThree.find(L" -DISABLE")));
    all.step = 6;
    const std::wstring stepSix = Utils::BuildRelaunchCommandLine(all, Program);
    EXPECT_EQ(L" -DISABLEEXPERIENCEMETRICS -Step 6 -DriverReboot", stepSix.substr(stepSix.find(L" -DISABLE")));
    all.restartExitCode = -5;
    EXPECT_NE(std::wstring::npos, Utils::BuildRelaunchCommandLine(all, Program).find(L" -ChangeExitCode1To -5 "));
}

TEST(RelaunchCommandLine, QuotingFollowsTheArgvRules)
{
    EXPECT_EQ(L"C:\\plain\\path.xml", Utils::QuoteArgument(L"C:\\plain\\path.xml"));
    EXPECT_EQ(L"\"C:\\my logs\"", Utils::QuoteArgument(L"C:\\my logs"));
    EXPECT_EQ(L"\"C:\\my logs\\\\\"", Utils::QuoteArgument(L"C:\\my logs\\"));
    EXPECT_EQ(L"\"\"", Utils::QuoteArgument(L""));
    EXPECT_EQ(L"\"a\\\\\\\"b c\"", Utils::QuoteArgument(L"a\\\"b c"));

    for (const std::wstring value : {L"C:\\my logs", L"C:\\my logs\\", L"C:\\a\\\\b c\\\\", L"x\"y z", L"\t tab",
                                     L"C:\\d\u00e9p\u00f4t \u4e2d\\cfg.xml", L"C:\\no-blank\\"}) {
        const std::vector<std::wstring> args = SplitAsWindows(L"\"p.exe\" " + Utils::QuoteArgument(value));
        ASSERT_EQ(2u, args.size()) << value.c_str();
        EXPECT_EQ(value, args[1]);
    }
}

TEST(RelaunchCommandLine, PathsWithBlanksReadBackUnchanged)
{
    ScopedTempDir temp(L"relaunch");
    RunOptions options;
    options.silent = true;
    options.noReboot = true;
    options.uploadEnabled = false;
    options.configPath = L"C:\\Program Files\\Halvora\\my config.xml";
    options.logPath = temp.Path() + L"log folder with blanks\\";
    options.restartExitCode = 3010;
    options.step = 6;
    options.driverReboot = true;

    const RunOptions parsed = RoundTrip(options);
    EXPECT_TRUE(parsed.silent);
    EXPECT_TRUE(parsed.noReboot);
    EXPECT_FALSE(parsed.uploadEnabled);
    EXPECT_FALSE(parsed.verbose);
    EXPECT_FALSE(parsed.unattended);
    EXPECT_FALSE(parsed.metaInstallerReboot);
    EXPECT_TRUE(parsed.driverReboot);
    EXPECT_EQ(options.configPath, parsed.configPath);
    EXPECT_EQ(options.logPath, parsed.logPath);
    EXPECT_EQ(3010, parsed.restartExitCode);
    EXPECT_EQ(6, parsed.step);
    EXPECT_TRUE(DirectoryExists(options.logPath));

    RunOptions meta;
    meta.step = 2;
    meta.metaInstallerReboot = true;
    meta.verbose = true;
    const RunOptions parsedMeta = RoundTrip(meta);
    EXPECT_TRUE(parsedMeta.metaInstallerReboot);
    EXPECT_TRUE(parsedMeta.verbose);
    EXPECT_EQ(2, parsedMeta.step);
}
