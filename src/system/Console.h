#pragma once
#include <string>

// Console output of the program. Text goes to standard output in the
// console's code page (the ANSI code page when output is redirected) and is
// flushed at once, so it interleaves correctly with child processes such as
// the shell's "pause".
void ConsoleWrite(const std::wstring& text);
void ConsoleWriteLine(const std::wstring& text);

// Waits with the shell's "pause" command, which prints its own prompt.
void ConsolePause();

// Waits for one key press without echo. Returns at once when no console
// input is available.
void ConsoleWaitForKey();
