#include "steps/InfoLog.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "logs/Log.h"
#include "logs/LogFolder.h"

const wchar_t* const CInfoLog::FileName = L"ZRACleanupTool.info";

namespace {

// The second line of a file whose resumed run does the driver step's
// second phase.
const char* const DriverRebootLine = "driverReboot: 1";

} // namespace

CInfoLog& CInfoLog::GetInstance()
{
    static CInfoLog instance(GetCleanupTempFolder() + FileName);
    return instance;
}

CInfoLog::CInfoLog(const std::wstring& filePath)
    : m_filePath(filePath)
{
}

bool CInfoLog::SetStep(int step, bool driverReboot)
{
    GetDebugLog().WriteLine(L"%ws: Enter step %d ", L"CInfoLog::SetStep", step);
    const size_t slash = m_filePath.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        CreateDirectoryPath(m_filePath.substr(0, slash + 1));
    FILE* file = _wfopen(m_filePath.c_str(), L"w");
    if (file == nullptr) {
        GetDebugLog().WriteLine(L"%ws: exit with error to open the file ", L"CInfoLog::SetStep");
        return false;
    }
    // Text mode turns the line feed into CR LF.
    bool written = std::fprintf(file, "step: %d\n", step) > 0;
    if (written && driverReboot)
        written = std::fprintf(file, "%s\n", DriverRebootLine) > 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        GetDebugLog().WriteLine(L"%ws: exit with error to open the file ", L"CInfoLog::SetStep");
        return false;
    }
    return true;
}

bool CInfoLog::GetStep(int& step, bool* driverReboot)
{
    GetDebugLog().WriteLine(L"%ws: Entry ", L"CInfoLog::GetStep");
    FILE* file = _wfopen(m_filePath.c_str(), L"r");
    if (file == nullptr)
        return false;

    int result = 0;
    bool stepFound = false;
    bool driverPhase = false;
    char line[512];
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        // A line longer than the buffer fails the read and ends the search.
        if (std::strchr(line, '\n') == nullptr && !std::feof(file)) {
            const int next = std::fgetc(file);
            if (next != '\n' && next != EOF)
                break;
        }
        if (stepFound) {
            // Only the line right after the step line can carry the
            // driver phase.
            driverPhase = std::strncmp(line, DriverRebootLine, std::strlen(DriverRebootLine)) == 0;
            break;
        }
        if (std::strncmp(line, "step", 4) != 0)
            continue;
        // The digit follows "step: ". A line too short to hold it, or with
        // anything but a digit there, names no step: start from the first.
        const char digit = std::strlen(line) > 6 ? line[6] : '\0';
        result = (digit >= '0' && digit <= '9') ? digit - '0' : 0;
        GetDebugLog().WriteLine(L"%ws: step is %d", L"CInfoLog::GetStep", result);
        stepFound = true;
    }
    step = result;
    if (driverReboot != nullptr)
        *driverReboot = driverPhase;
    std::fclose(file);
    GetDebugLog().WriteLine(L"%ws: exit step %d ", L"CInfoLog::GetStep", result);
    return true;
}

void CInfoLog::RemoveInfoLog()
{
    GetDebugLog().WriteLine(L"%ws: Enter  ", L"CInfoLog::RemoveInfoLog");
    if (!DeleteFileW(m_filePath.c_str()))
        GetDebugLog().WriteLine(L"%ws: RemoveInfoLog failed %d", L"CInfoLog::RemoveInfoLog", -1);
}
