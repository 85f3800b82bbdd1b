#pragma once

// The program's entry flow: latest-version check, command line, run
// sequence. Returns the process exit code.
int RunEntry(int argc, wchar_t* argv[]);
