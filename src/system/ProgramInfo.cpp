#include "system/ProgramInfo.h"

#include <windows.h>

#include <vector>

#include "system/Format.h"

std::string GetTimeStamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FormatNarrow("%02d-%02d-%02d %02d:%02d:%02d:%03d", now.wYear, now.wMonth, now.wDay,
                        now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

std::string GetOwnFileVersion(const std::wstring& filePath)
{
    if (filePath.empty())
        return std::string();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(filePath.c_str(), &handle);
    if (size == 0)
        return std::string();
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(filePath.c_str(), 0, size, data.data()))
        return std::string();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
        info == nullptr || infoSize < sizeof(VS_FIXEDFILEINFO))
        return std::string();
    return FormatNarrow("%d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                        HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
}

std::wstring GetProgramPath()
{
    // Long program paths are legal; grow the buffer until the name fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::wstring();
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        if (buffer.size() >= 32768)
            return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring GetProgramFolder()
{
    std::wstring path = GetProgramPath();
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return std::wstring();
    return path.substr(0, slash + 1);
}

std::string GetProgramVersion()
{
    return GetOwnFileVersion(GetProgramPath());
}
