#pragma once
#include <string>
#include <vector>

#include "config/RunOptions.h"

enum class CommandLineAction {
    Run,       // clean up with the parsed options
    ShowHelp,  // print the usage text, exit 0
    ShowVersion,
    Exit,      // an option error was reported, exit 0
};

struct CommandLineResult {
    CommandLineAction action = CommandLineAction::Run;
    std::wstring console;  // text printed while reading (echoes, error message)
};

// Reads the arguments (args[0] is the program) into options. /Logpath is
// validated by creating its folders and checking that the folder takes
// files, and, when accepted, becomes the process-wide log folder override.
// The /Config and /Logpath values are kept as full paths, so that the
// re-launch after a restart (started in another current folder) finds them.
CommandLineResult ParseCommandLine(const std::vector<std::wstring>& args, RunOptions& options);

// True when the first argument selects the test endpoint of the
// latest-version check.
bool IsTestEndpointRequested(const std::vector<std::wstring>& args);

// The usage text, line by line, each line ended by "\n".
std::wstring GetUsageText();

// Case-insensitive match of a whole argument against "/name" and "-name".
bool IsOption(const std::wstring& argument, const wchar_t* name);
