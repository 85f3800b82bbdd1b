#include "run/EntryFlow.h"

#include <string>
#include <vector>

#include "net/VersionCheck.h"
#include "run/CommandLine.h"
#include "run/RunSequence.h"
#include "run/VersionReport.h"
#include "system/Console.h"
#include "system/MachineChanges.h"
#include "system/ProgramInfo.h"

int RunEntry(int argc, wchar_t* argv[])
{
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i] != nullptr ? argv[i] : L"");

    RunOptions options;
    // Decided before the first use of the log folder, which otherwise
    // remembers the cleanup temp folder in the registry.
    if (IsPreviewRequested(args))
        SetChangeMode(ChangeMode::Preview);
    const std::string latestVersion = GetLatestVersionInfo(IsTestEndpointRequested(args));

    const CommandLineResult parsed = ParseCommandLine(args, options);
    ConsoleWrite(parsed.console);
    switch (parsed.action) {
    case CommandLineAction::ShowHelp:
        ConsoleWrite(GetUsageText());
        return 0;
    case CommandLineAction::ShowVersion:
        ConsoleWrite(BuildVersionReport(latestVersion, GetProgramVersion()));
        return 0;
    case CommandLineAction::Exit:
        return 0;
    case CommandLineAction::Run:
        break;
    }
    return RunSequence(options);
}
