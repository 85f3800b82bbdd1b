#include "system/Console.h"

#include <windows.h>
#include <conio.h>

#include <cstdio>
#include <cstdlib>

void ConsoleWrite(const std::wstring& text)
{
    if (text.empty())
        return;
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = GetACP();
    const int size = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return;
    std::string bytes(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, &bytes[0], needed, nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void ConsoleWriteLine(const std::wstring& text)
{
    ConsoleWrite(text + L"\n");
}

void ConsolePause()
{
    std::fflush(stdout);
    std::system("pause");
}

void ConsoleWaitForKey()
{
    std::fflush(stdout);
    _getch();
}
