#pragma once
#include <cstdarg>
#include <string>
#include <vector>

// printf-style formatting with the Microsoft C runtime's rules: in wide
// formats "%s" and "%ws" take wide strings and "%S" a narrow one.
std::wstring FormatWide(const wchar_t* format, ...);
std::wstring FormatWideV(const wchar_t* format, va_list args);
std::string FormatNarrow(const char* format, ...);
std::string FormatNarrowV(const char* format, va_list args);

// The number as wide decimal text.
std::wstring ToWideDecimal(int value);

// The integer at the start of a text: optional blanks (when skipBlanks),
// an optional sign (when allowSign), then the decimal digits up to the first
// other character.
struct LeadingInt {
    bool hasDigits = false;  // at least one digit was read
    bool fits = true;        // the number lies within the 32-bit range
    int value = 0;           // the number, clamped to the 32-bit range
};
LeadingInt ReadLeadingInt(const std::wstring& text, bool skipBlanks, bool allowSign);

// Reads an optional sign and the leading decimal digits of text, as the
// command line and the version report do; no digits give 0. Values beyond
// the 32-bit range are clamped to it.
int ParseLeadingInt(const std::wstring& text, bool allowSign);

// The non-empty components of text between backslashes, from position
// start on: a\\b\ gives a and b.
std::vector<std::wstring> SplitAtBackslashes(const std::wstring& text, size_t start = 0);
