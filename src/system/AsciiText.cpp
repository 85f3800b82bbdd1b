#include "system/AsciiText.h"

char AsciiToLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

wchar_t AsciiToLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

char AsciiToUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

wchar_t AsciiToUpper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

namespace {

template <typename Text>
bool EqualsNoCase(const Text& a, const Text& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiToLower(a[i]) != AsciiToLower(b[i]))
            return false;
    }
    return true;
}

} // namespace

bool EqualsAsciiNoCase(const std::string& a, const std::string& b)
{
    return EqualsNoCase(a, b);
}

bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b)
{
    return EqualsNoCase(a, b);
}

std::string ToAsciiUpper(std::string text)
{
    for (char& c : text)
        c = AsciiToUpper(c);
    return text;
}
