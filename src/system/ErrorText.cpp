#include "system/ErrorText.h"

#include "system/Format.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

// FormatMessageW from the system table, inserts ignored, user's default
// language; the buffer is allocated by the call and freed here.
bool GetSystemMessage(DWORD code, std::wstring& text)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const UniqueLocal owned(buffer);
    if (length == 0 || buffer == nullptr)
        return false;
    text.assign(buffer, length);
    return true;
}

} // namespace

std::string GetWin32ErrorText(DWORD code)
{
    std::wstring text;
    if (!GetSystemMessage(code, text))
        return std::string();
    const size_t lineEnd = text.find(L"\r\n");
    if (lineEnd != std::wstring::npos)
        text.erase(lineEnd, 2);
    return WideToUtf8(text);
}

std::wstring GetComErrorText(HRESULT code)
{
    const DWORD value = static_cast<DWORD>(code);
    std::wstring text;
    if (GetSystemMessage(value, text) && !text.empty()) {
        if (!text.empty() && text.back() == L'\n') {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r')
                text.pop_back();
        }
        return text;
    }
    if (value >= 0x80040201UL && value <= 0x8004FFFFUL)
        return FormatWide(L"IDispatch error #%d", static_cast<int>(LOWORD(value)) - 0x200);
    return FormatWide(L"Unknown error 0x%0lX", static_cast<unsigned long>(value));
}
