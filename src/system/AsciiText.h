#pragma once
// Letter case as the program compares names: only the ASCII letters A-Z and
// a-z fold into each other; every other character compares as it is. Names
// that reach Windows (paths, registry keys, services) are compared by
// Windows itself.
#include <string>

char AsciiToLower(char c);
wchar_t AsciiToLower(wchar_t c);
char AsciiToUpper(char c);
wchar_t AsciiToUpper(wchar_t c);

// True when both texts have the same length and equal characters apart from
// ASCII letter case. An embedded NUL is a character like any other.
bool EqualsAsciiNoCase(const std::string& a, const std::string& b);
bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b);

// The text with its ASCII letters in upper case.
std::string ToAsciiUpper(std::string text);
