#pragma once
#include <string>

// The program's one UTF-8 / UTF-16 converter. Windows calls take UTF-16; the
// configuration and the result log hold UTF-8. Invalid input never throws:
// unpaired surrogates and broken UTF-8 sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF).
bool IsValidUtf8(const std::string& bytes);
