// The re-launch command line written to RunOnce, and that the command-line
// parser reads it back into the same options.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "run/CommandLine.h"
#include "steps/Reboot.h"
#include "support/TestSupport.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

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

namespace {

// A folder path of the given length at least, each component a long name.
std::wstring LongFolder(const std::wstring& base, size_t length)
{
    std::wstring path = base;
    CreateDirectoryW(path.c_str(), nullptr);
    for (int i = 0; path.size() < length; ++i) {
        path += L"Halvora cleanup folder with a rather long name number " + std::to_wstring(i) + L"\\";
        CreateDirectoryW(path.c_str(), nullptr);
    }
    return path;
}

std::wstring ReadRunOnceValue()
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utils::RunOnceKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return L"<no key>";
    std::vector<wchar_t> data(4096, L'\0');
    DWORD size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), Utils::RunOnceValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return L"<no value>";
    RegDeleteValueW(key.get(), Utils::RunOnceValueName);
    return data.data();
}

std::wstring Unchanged(const std::wstring& path)
{
    return path;
}

} // namespace

// Windows runs at most 260 characters from RunOnce. Long /Config and
// /Logpath paths (full paths since the command line keeps them so) are
// registered in their short form, which names the same files; a line that
// cannot be made short enough is logged clearly.
TEST(RelaunchCommandLine, OverlongLineUsesShortPathsAndSaysSo)
{
    ScopedTempDir temp(L"long");
    const std::wstring configFolder = LongFolder(temp.Path() + L"config\\", 200);
    const std::wstring config = configFolder + L"cleanup configuration.xml";
    WriteFileBytes(config, "<config/>");
    ASSERT_TRUE(FileExists(config));
    const std::wstring logs = LongFolder(temp.Path() + L"logs\\", 150);
    RunOptions options;
    options.silent = true;
    options.noReboot = true;
    options.configPath = config;
    options.logPath = logs;
    options.step = 4;

    const std::wstring full = Utils::BuildRelaunchCommandLine(options, Program);
    ASSERT_GT(full.size(), Utils::RunOnceCommandLineLimit);
    EXPECT_EQ(full, Utils::BuildRegisteredCommandLine(options, Program, Unchanged));
    const std::wstring line = Utils::BuildRegisteredCommandLine(options, Program);
    EXPECT_LE(line.size(), Utils::RunOnceCommandLineLimit) << WideToUtf8(line);
    // Read back, the short paths name the same files.
    const std::vector<std::wstring> args = SplitAsWindows(line);
    ASSERT_EQ(9u, args.size()) << WideToUtf8(line);
    EXPECT_EQ(L"-Config", args[3]);
    EXPECT_EQ(ReadFileBytes(config), ReadFileBytes(args[4]));
    wchar_t longForm[1024] = {};
    ASSERT_NE(0u, GetLongPathNameW(args[6].c_str(), longForm, 1024));
    EXPECT_EQ(logs, std::wstring(longForm) + (std::wstring(longForm).back() == L'\\' ? L"" : L"\\"));
    EXPECT_EQ((std::vector<std::wstring>{L"-Step", L"4"}), std::vector<std::wstring>(args.begin() + 7, args.end()));

    // Registered by the restart request, with the reason in the text log.
    const std::wstring logPath = GetDebugLog().GetFilePath();
    size_t start = ReadFileBytes(logPath).size();
    Utils::SetRebootParamRun(options);
    std::string logged = ReadFileBytes(logPath).substr(start);
    const std::wstring registered = ReadRunOnceValue();
    EXPECT_LE(registered.size(), Utils::RunOnceCommandLineLimit);
    EXPECT_EQ(Utils::GetShortPath(config), SplitAsWindows(registered).at(4));
    EXPECT_NE(std::string::npos, logged.find("\tUtils::SetRebootParamRun: Error: the command line is " +
                                             std::to_string(Utils::BuildRelaunchCommandLine(options, GetProgramPath()).size()) +
                                             " characters long; Windows runs at most 260 characters from RunOnce\r\n"))
        << logged;
    EXPECT_NE(std::string::npos, logged.find("\tUtils::SetRebootParamRun: the short form of its paths is registered ("))
        << logged;

    // A path without a short form (here: one that does not exist) stays long.
    options.configPath = configFolder + L"missing configuration file with a long name.xml";
    start = ReadFileBytes(logPath).size();
    Utils::SetRebootParamRun(options);
    logged = ReadFileBytes(logPath).substr(start);
    EXPECT_GT(ReadRunOnceValue().size(), Utils::RunOnceCommandLineLimit);
    EXPECT_NE(std::string::npos, logged.find("with the short form of its paths; the cleanup will not continue by itself "
                                             "after the restart: start the tool again with the same options"))
        << logged;

    // A short line is registered as it is, with nothing more to say.
    RunOptions plain;
    plain.silent = plain.noReboot = true;
    plain.step = 4;
    start = ReadFileBytes(logPath).size();
    Utils::SetRebootParamRun(plain);
    EXPECT_EQ(Utils::BuildRelaunchCommandLine(plain, GetProgramPath()), ReadRunOnceValue());
    EXPECT_EQ(std::string::npos, ReadFileBytes(logPath).substr(start).find("RunOnce"));
}
