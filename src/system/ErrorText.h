#pragma once
#include <windows.h>

#include <string>

// The system's message for a Win32 error code, UTF-8, with the first CR LF
// removed; empty when Windows has no text for the code.
std::string GetWin32ErrorText(DWORD code);

// The system's message for an HRESULT or Win32 code without its final line
// end. Without a system message: "IDispatch error #N" for the codes
// 0x80040201 to 0x8004FFFF (N = low word - 0x200), else "Unknown error 0x..".
std::wstring GetComErrorText(HRESULT code);
