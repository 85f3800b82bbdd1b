#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/LogFolder.h"
#include "run/CommandLine.h"
#include "run/VersionReport.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

CommandLineResult Parse(std::vector<std::wstring> args, RunOptions& options)
{
    args.insert(args.begin(), L"ZRACleanupUtility.exe");
    return ParseCommandLine(args, options);
}

} // namespace

TEST(CommandLine, DefaultsAndEveryFlag)
{
    RunOptions defaults;
    EXPECT_EQ(CommandLineAction::Run, Parse({}, defaults).action);
    EXPECT_FALSE(defaults.verbose || defaults.silent || defaults.noReboot || defaults.metaInstallerReboot ||
                 defaults.driverReboot || defaults.unattended);
    EXPECT_TRUE(defaults.uploadEnabled);
    EXPECT_EQ(0, defaults.step);
    EXPECT_EQ(1, defaults.restartExitCode);

    RunOptions options;
    const CommandLineResult result =
        Parse({L"-SILENT", L"/noreboot", L"/MetaInstallerReboot", L"-driverreboot", L"/DisableExperienceMetrics",
               L"/Config", L"C:\\my config.xml", L"-step", L"-3x", L"/unknown", L"/silentx"},
              options);
    EXPECT_EQ(CommandLineAction::Run, result.action);
    EXPECT_EQ(L"", result.console);
    EXPECT_TRUE(options.silent && options.noReboot && options.metaInstallerReboot && options.driverReboot);
    EXPECT_FALSE(options.uploadEnabled);
    EXPECT_EQ(L"C:\\my config.xml", options.configPath);
    EXPECT_EQ(-3, options.step);
}

TEST(CommandLine, UnattendedImpliesSilentAndNoRebootAndConflicts)
{
    RunOptions options;
    EXPECT_EQ(CommandLineAction::Run, Parse({L"/unattended"}, options).action);
    EXPECT_TRUE(options.unattended && options.silent && options.noReboot);

    RunOptions conflicting;
    const CommandLineResult result = Parse({L"/ChangeExitCode1To", L"5", L"-Unattended"}, conflicting);
    EXPECT_EQ(CommandLineAction::Exit, result.action);
    EXPECT_EQ(L"/Logpath and /ChangeExitCode1To cannot be used with /unattended.\n", result.console);
}

TEST(CommandLine, ExitCodeValueRules)
{
    struct Case { const wchar_t* value; CommandLineAction action; int code; };
    const Case cases[] = {
        {L"3010", CommandLineAction::Run, 3010}, {L"  12abc", CommandLineAction::Run, 12},
        {L"-1", CommandLineAction::Run, -1},     {L"+7", CommandLineAction::Run, 7},
        {L"1", CommandLineAction::Exit, 1},      {L"abc", CommandLineAction::Exit, 1},
        {L"", CommandLineAction::Exit, 1},       {L"99999999999", CommandLineAction::Exit, 1},
    };
    for (const Case& c : cases) {
        RunOptions options;
        EXPECT_EQ(c.action, Parse({L"/ChangeExitCode1To", c.value}, options).action) << c.value;
        EXPECT_EQ(c.code, options.restartExitCode) << c.value;
    }
}

TEST(CommandLine, ValueOptionAsLastArgumentIsIgnored)
{
    for (const wchar_t* option : {L"/Config", L"/Logpath", L"/ChangeExitCode1To", L"/Step"}) {
        RunOptions options;
        const CommandLineResult result = Parse({L"/silent", option}, options);
        EXPECT_EQ(CommandLineAction::Run, result.action) << option;
        EXPECT_EQ(L"", result.console);
        EXPECT_TRUE(options.configPath.empty() && options.logPath.empty());
        EXPECT_EQ(1, options.restartExitCode);
    }
}

TEST(CommandLine, LogpathIsCreatedAndBecomesTheOverride)
{
    ScopedTempDir temp(L"logpath");
    const std::wstring target = temp.Path() + L"d\u00e9p\u00f4t\\logs";
    RunOptions options;
    EXPECT_EQ(CommandLineAction::Run, Parse({L"/Logpath", target}, options).action);
    EXPECT_EQ(target, options.logPath);
    EXPECT_EQ(target, GetLogFolderOverride());
    EXPECT_TRUE(DirectoryExists(target));
    SetLogFolderOverride(L"");

    RunOptions refused;
    const std::wstring tooLong = temp.Path() + std::wstring(257 - temp.Path().size(), L'x');
    EXPECT_EQ(L"The maximum length of the log path is 256 characters.\n", Parse({L"/Logpath", tooLong}, refused).console);
    EXPECT_TRUE(GetLogFolderOverride().empty());
}

// A re-launch after a restart starts in another current folder: relative
// values are kept as full paths.
TEST(CommandLine, RelativeConfigAndLogpathBecomeFullPaths)
{
    ScopedTempDir temp(L"relative");
    wchar_t previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    RunOptions options;
    const CommandLineResult result =
        Parse({L"/v", L"/Config", L"cfg\\my config.xml", L"/Logpath", L"..\\relative logs"}, options);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(CommandLineAction::Run, result.action);
    std::wstring parent = temp.Path().substr(0, temp.Path().size() - 1);
    parent = parent.substr(0, parent.rfind(L'\\') + 1);
    EXPECT_EQ(temp.Path() + L"cfg\\my config.xml", options.configPath);
    EXPECT_EQ(parent + L"relative logs", options.logPath);
    EXPECT_EQ(options.logPath, GetLogFolderOverride());
    EXPECT_TRUE(DirectoryExists(parent + L"relative logs"));
    // The echo shows the values as they were typed.
    EXPECT_EQ(L"\nCmd line  = /v\nCmd line  = cfg\\my config.xml\nCmd line  = ..\\relative logs\n", result.console);
    SetLogFolderOverride(L"");
    RemoveDirectoryW((parent + L"relative logs").c_str());
}

// A folder that cannot take the logs is refused like one that cannot be
// created: an existing file, a folder below a file, an unreachable share.
TEST(CommandLine, LogpathMustBeAFolderThatTakesFiles)
{
    ScopedTempDir temp(L"unusable");
    WriteFileBytes(temp.Path() + L"plain file", "x");
    for (const std::wstring& value : {temp.Path() + L"plain file", temp.Path() + L"plain file\\below",
                                      std::wstring(L"\\\\zra-no-such-host.invalid\\share\\logs")}) {
        RunOptions options;
        const CommandLineResult result = Parse({L"/Logpath", value}, options);
        EXPECT_EQ(CommandLineAction::Exit, result.action) << WideToUtf8(value);
        EXPECT_EQ(L"Can't set a directory to the path:" + value + L"\n", result.console);
        EXPECT_TRUE(options.logPath.empty());
        EXPECT_TRUE(GetLogFolderOverride().empty());
    }
    unsigned long error = 0;
    EXPECT_FALSE(IsUsableLogFolder(temp.Path() + L"plain file", error));
    EXPECT_NE(0u, error);
    EXPECT_TRUE(IsUsableLogFolder(temp.Path(), error));
    EXPECT_EQ(0u, error);
    // The probe file is gone again.
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((temp.Path() + L"ZraCleanupProbe*").c_str(), &found));
    EXPECT_FALSE(search);
}

TEST(CommandLine, HelpAndVersionStopReading)
{
    RunOptions options;
    EXPECT_EQ(CommandLineAction::ShowHelp, Parse({L"/Help", L"/Logpath", L"-x"}, options).action);
    EXPECT_EQ(CommandLineAction::ShowVersion, Parse({L"-VERSION", L"/ChangeExitCode1To", L"1"}, options).action);
    EXPECT_TRUE(IsTestEndpointRequested({L"exe", L"-CDNTEST"}));
    EXPECT_FALSE(IsTestEndpointRequested({L"exe", L"/silent", L"/cdntest"}));
    EXPECT_FALSE(IsTestEndpointRequested({L"exe"}));
}

TEST(VersionReport, ComparesTheFourParts)
{
    const char* own = "1.0.3.0";
    EXPECT_EQ(L"ZRA cleanup utility version 1.0.3.0\nThere is a new version 1.0.10.0 available.\n",
              BuildVersionReport("1.0.10.0", own));
    EXPECT_EQ(L"ZRA cleanup utility version 1.0.3.0\nThere is a new version 2.0.0.1 available.\n",
              BuildVersionReport("2.0.0.1\r\n", own));
    EXPECT_EQ(L"ZRA cleanup utility version 1.0.3.0\nYou are using the latest version.\n",
              BuildVersionReport("1.0.3.0", own));
    EXPECT_EQ(L"ZRA cleanup utility version 1.0.3.0\nYou are using the latest version.\n",
              BuildVersionReport("1.0.2.9", own));
    const std::wstring offline =
        L"ZRA cleanup utility version 1.0.3.0\nCannot connect to the network to determine the latest version.\n";
    EXPECT_EQ(offline, BuildVersionReport("", own));
    EXPECT_EQ(offline, BuildVersionReport("1.2", own));  // short text counts as 0.0.0.0
    EXPECT_EQ(offline, BuildVersionReport("<html><body>Not Found</body></html>", own));
}
