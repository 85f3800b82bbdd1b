#include "system/Format.h"

#include <climits>
#include <cstdio>
#include <cwchar>
#include <vector>

// _vscwprintf/_vsnwprintf and _vscprintf/_vsnprintf are the C runtime's own
// functions (not the C99 replacements), so "%ws" and wide "%s" behave as the
// log formats expect.

std::wstring FormatWideV(const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return std::wstring();
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    va_list fill;
    va_copy(fill, args);
    const int written = _vsnwprintf(buffer.data(), buffer.size(), format, fill);
    va_end(fill);
    if (written < 0)
        return std::wstring();
    return std::wstring(buffer.data(), static_cast<size_t>(written));
}

std::wstring FormatWide(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring result = FormatWideV(format, args);
    va_end(args);
    return result;
}

std::string FormatNarrowV(const char* format, va_list args)
{
    if (format == nullptr)
        return std::string();
    va_list measure;
    va_copy(measure, args);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    if (length <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    va_list fill;
    va_copy(fill, args);
    const int written = _vsnprintf(buffer.data(), buffer.size(), format, fill);
    va_end(fill);
    if (written < 0)
        return std::string();
    return std::string(buffer.data(), static_cast<size_t>(written));
}

std::string FormatNarrow(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string result = FormatNarrowV(format, args);
    va_end(args);
    return result;
}

std::wstring ToWideDecimal(int value)
{
    return FormatWide(L"%d", value);
}

LeadingInt ReadLeadingInt(const std::wstring& text, bool skipBlanks, bool allowSign)
{
    LeadingInt result;
    size_t pos = 0;
    if (skipBlanks) {
        while (pos < text.size() && (text[pos] == L' ' || text[pos] == L'\t' || text[pos] == L'\n' ||
                                     text[pos] == L'\r' || text[pos] == L'\v' || text[pos] == L'\f'))
            ++pos;
    }
    bool negative = false;
    if (allowSign && pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    // The magnitude is held at 2^31 (the magnitude of the lowest value)
    // once it goes beyond.
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        result.hasDigits = true;
        magnitude = magnitude * 10 + (text[pos] - L'0');
        if (magnitude > limit) {
            magnitude = limit;
            result.fits = false;
        }
    }
    long long value = negative ? -magnitude : magnitude;
    if (value > INT_MAX) {
        value = INT_MAX;
        result.fits = false;
    }
    result.value = static_cast<int>(value);
    return result;
}

int ParseLeadingInt(const std::wstring& text, bool allowSign)
{
    return ReadLeadingInt(text, false, allowSign).value;
}

std::vector<std::wstring> SplitAtBackslashes(const std::wstring& text, size_t start)
{
    std::vector<std::wstring> parts;
    while (start <= text.size()) {
        size_t end = text.find(L'\\', start);
        if (end == std::wstring::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}
