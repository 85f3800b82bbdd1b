#include "run/CommandLine.h"

#include "logs/LogFolder.h"
#include "system/AsciiText.h"
#include "system/Format.h"

namespace {

const size_t MaxLogPathLength = 256;

// Reads an integer as a wide string stream would: leading blanks skipped,
// a sign allowed, reading stops at the first non-digit. False when no
// number could be read or it does not fit in 32 bits.
bool ReadStreamInt(const std::wstring& text, int& value)
{
    const LeadingInt number = ReadLeadingInt(text, true, true);
    if (!number.hasDigits || !number.fits)
        return false;
    value = number.value;
    return true;
}

} // namespace

bool IsOption(const std::wstring& argument, const wchar_t* name)
{
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-'))
        return false;
    // An embedded NUL cannot come from a real command line, but must not
    // make a longer argument match.
    if (argument.find(L'\0') != std::wstring::npos)
        return false;
    return EqualsAsciiNoCase(argument.substr(1), name);
}

bool IsTestEndpointRequested(const std::vector<std::wstring>& args)
{
    return args.size() > 1 && IsOption(args[1], L"cdntest");
}

std::wstring GetUsageText()
{
    return L"Usage: \n"
           L"\tZRACleanupUtility.exe [/silent|-silent] | [/noreboot|-noreboot] | "
           L"[/DISABLEEXPERIENCEMETRICS|-DISABLEEXPERIENCEMETRICS] | [/unattended|-unattended] | "
           L"[/version|-version]\n"
           L"Example:\n"
           L":\\> ZRACleanupUtility.exe /silent: \n"
           L"No progress or informational messages appear during the uninstallation of the ZRA. The only "
           L"evidence of the uninstallation process is in Windows Task Manager.  During uninstallation, a "
           L"reboot might be automatically performed by the tool.\n"
           L":\\> ZRACleanupUtility.exe /noreboot: \n"
           L"Prevents a restart of the ZRA during uninstallation.\n"
           L":\\> ZRACleanupUtility.exe /silent /noreboot:\n"
           L"No progress or informational messages appear and prevents a restart of the ZRA during "
           L"uninstallation. The only evidence of the uninstallation process is in Windows Task Manager.\n"
           L":\\> ZRACleanupUtility.exe /DISABLEEXPERIENCEMETRICS\n"
           L"No infomation will be uploaded to Halvora Lumenhub after the uninstallation\n"
           L":\\> ZRACleanupUtility.exe /unattended: \n"
           L"The application will uninstall the ZRA without any prompt and will suppress the reboot. User "
           L"has to reboot the machine manually.\n"
           L"More details, please refer to: https://support.halvora.example/kb/zra-cleanup-utility\n";
}

CommandLineResult ParseCommandLine(const std::vector<std::wstring>& args, RunOptions& options)
{
    CommandLineResult result;
    std::wstring& out = result.console;
    auto fail = [&result](const std::wstring& message) {
        result.console += message + L"\n";
        result.action = CommandLineAction::Exit;
        return result;
    };

    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        // A value option as the last argument has no value: it is ignored.
        const bool hasValue = i + 1 < args.size();

        if (IsOption(arg, L"v")) {
            if (!options.verbose)
                out += FormatWide(L"\nCmd line  = %s\n", arg.c_str());
            options.verbose = true;
        } else if (IsOption(arg, L"MetaInstallerReboot")) {
            options.metaInstallerReboot = true;
        } else if (IsOption(arg, L"DriverReboot")) {
            options.driverReboot = true;
        } else if (IsOption(arg, L"silent")) {
            options.silent = true;
            if (options.verbose)
                out += FormatWide(L"\nCmd line  = %s\n", arg.c_str());
        } else if (IsOption(arg, L"NoReboot")) {
            options.noReboot = true;
            if (options.verbose)
                out += FormatWide(L"\nCmd line  = %s\n", arg.c_str());
        } else if (IsOption(arg, L"Config")) {
            if (!hasValue)
                continue;
            // Kept as a full path: the re-launch after a restart starts in
            // another current folder.
            const std::wstring& value = args[++i];
            options.configPath = GetFullPath(value);
            if (options.verbose)
                out += FormatWide(L"Cmd line  = %s\n", value.c_str());
        } else if (IsOption(arg, L"Logpath")) {
            if (!hasValue)
                continue;
            const std::wstring& value = args[++i];
            if (!value.empty() && (value[0] == L'-' || value[0] == L'/'))
                return fail(L"Add a path name after /Logpath.");
            if (value.size() > MaxLogPathLength)
                return fail(L"The maximum length of the log path is 256 characters.");
            // The folder must exist as a directory that takes files: an
            // existing file or an unreachable share is refused here rather
            // than leaving the run without its logs and backup.
            unsigned long error = 0;
            if (CreateDirectoryPath(value + L"\\") != 0 || !IsUsableLogFolder(value, error))
                return fail(L"Can't set a directory to the path:" + value);
            options.logPath = GetFullPath(value);
            SetLogFolderOverride(options.logPath);
            if (options.verbose)
                out += FormatWide(L"Cmd line  = %s\n", value.c_str());
        } else if (IsOption(arg, L"ChangeExitCode1To")) {
            if (!hasValue)
                continue;
            int code = 0;
            if (!ReadStreamInt(args[++i], code))
                return fail(L"You need to set the value of ChangeExitCode1To as an integer value.");
            if (code == 1)
                return fail(L"The default restart code is already 1.");
            options.restartExitCode = code;
            if (options.verbose)
                out += FormatWide(L"Cmd line  = %d\n", code);
        } else if (IsOption(arg, L"Step")) {
            if (!hasValue)
                continue;
            options.step = ParseLeadingInt(args[++i], true);
            if (options.verbose)
                out += FormatWide(L"Cmd line  = %d\n", options.step);
        } else if (IsOption(arg, L"DISABLEEXPERIENCEMETRICS")) {
            options.uploadEnabled = false;
        } else if (IsOption(arg, L"unattended")) {
            options.unattended = true;
            options.silent = true;
            options.noReboot = true;
        } else if (IsOption(arg, L"Help")) {
            result.action = CommandLineAction::ShowHelp;
            return result;
        } else if (IsOption(arg, L"version")) {
            result.action = CommandLineAction::ShowVersion;
            return result;
        }
    }

    if (options.unattended && (options.restartExitCode != 1 || !options.logPath.empty()))
        return fail(L"/Logpath and /ChangeExitCode1To cannot be used with /unattended.");
    return result;
}
