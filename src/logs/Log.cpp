#include "logs/Log.h"

#include <vector>

#include "logs/LogFolder.h"
#include "logs/ResumeMarker.h"
#include "system/Diagnostics.h"
#include "system/Format.h"
#include "system/ProgramInfo.h"

namespace {

// One byte per character, as the log files have always been written; what
// does not fit in a byte is replaced, never allowed to stop the log.
std::string ToLogBytes(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\n') {
            bytes += "\r\n";
        } else if (c <= 0xFF) {
            bytes += static_cast<char>(static_cast<unsigned char>(c));
        } else {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
                ++i;
            bytes += '?';
        }
    }
    return bytes;
}

bool AppendFileTo(const std::wstring& source, const std::wstring& target)
{
    // Declared so that the target is closed before the source.
    UniqueKernelHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in)
        return false;
    UniqueKernelHandle out(CreateFileW(target.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out)
        return false;
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read) {
            ok = false;
            break;
        }
    }
    return ok;
}

} // namespace

CLog::CLog(const std::wstring& fileName, CostKind costKind) : m_costKind(costKind)
{
    ScopedCost meter(m_costKind);
    m_folder = GetLogFolder();
    m_path = GetLogFilePath(m_folder, fileName);
}

CLog::~CLog() = default;

void CLog::Open(OpenMode mode)
{
    ScopedCost meter(m_costKind);
    m_file.reset();
    // Shared for reading, writing and deletion: an administrator can read
    // the log while the program runs. Appends go to the end of the file as
    // it is at each write, so that lines another instance writes meanwhile
    // (a second start refused by the instance guard) are not overwritten.
    const DWORD access = mode == OpenMode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    m_file.reset(CreateFileW(m_path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, mode == OpenMode::Truncate ? CREATE_ALWAYS : OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (m_file && mode == OpenMode::Append)
        SetFilePointer(m_file.get(), 0, nullptr, FILE_END);
}

long long CLog::GetOpenFileSize() const
{
    LARGE_INTEGER size;
    if (!m_file || !GetFileSizeEx(m_file.get(), &size))
        return -1;
    return size.QuadPart;
}

void CLog::WriteRaw(const std::wstring& text)
{
    if (!m_file || text.empty())
        return;
    ScopedCost meter(m_costKind);
    const std::string bytes = ToLogBytes(text);
    DWORD written = 0;
    if (!WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        m_writeFailed = true;
}

void CLog::Write(const wchar_t* format, ...)
{
    ScopedCost meter(m_costKind);
    try {
        va_list args;
        va_start(args, format);
        const std::wstring text = FormatWideV(format, args);
        va_end(args);
        WriteRaw(text);
    } catch (...) {
    }
}

void CLog::WriteLineV(const wchar_t* format, va_list args)
{
    ScopedCost meter(m_costKind);
    try {
        WriteRaw(FormatWideV(format, args) + L"\n");
    } catch (...) {
    }
}

void CLog::WriteLine(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLineV(format, args);
    va_end(args);
}

void CLog::WriteText(std::wstring text)
{
    if (text.empty())
        return;
    ScopedCost meter(m_costKind);
    try {
        text += L"\n";
        WriteRaw(text);
    } catch (...) {
    }
}

const wchar_t* const CDebugLog::FileName = L"CleanupToolLog.txt";
const wchar_t* const CDebugLog::BackupFileName = L"CleanupToolLogBackup.txt";

CDebugLog::CDebugLog() : CLog(FileName)
{
    ScopedCost meter(GetCostKind());
    bool overflow = false;
    UniqueKernelHandle existing(CreateFileW(GetFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (existing) {
        LARGE_INTEGER size;
        const bool known = GetFileSizeEx(existing.get(), &size) != 0;
        existing.reset();
        if (known && size.QuadPart >= OverflowSize)
            overflow = AppendFileTo(GetFilePath(), GetFolder() + BackupFileName);
    }
    Open(overflow ? OpenMode::Truncate : OpenMode::Append);

    const std::string stamp = GetTimeStamp();
    const std::wstring version = FormatWide(L"%S", GetProgramVersion().c_str());
    Write(L"\n%S\tVersion: %ws\n", stamp.c_str(), version.c_str());
}

void CDebugLog::WriteLine(const wchar_t* format, ...)
{
    ScopedCost meter(GetCostKind());
    try {
        const std::string stamp = GetTimeStamp();
        va_list args;
        va_start(args, format);
        const std::wstring message = FormatWideV(format, args);
        va_end(args);
        WriteRaw(FormatWide(L"%S\t", stamp.c_str()) + message + L"\n");
    } catch (...) {
    }
}

const wchar_t* const CRegLog::FileName = L"RegBackup.reg";

CRegLog::CRegLog() : CLog(FileName, CostKind::Backup)
{
    ScopedCost meter(GetCostKind());
    // A run resumed after a restart continues the first run's backup. The
    // file is opened at the first export, when a fresh run has already set
    // the marker itself: only a marker left by an earlier run counts.
    if (IsResumingEarlierRun()) {
        Open(OpenMode::Append);
        // The first run may have exported nothing (a restart before the
        // registry work is the usual case), and the importer rejects a file
        // that does not start with its header.
        if (!IsOpen() || GetOpenFileSize() != 0)
            return;
    } else {
        Open(OpenMode::Truncate);
    }
    CLog::WriteLine(L"Windows Registry Editor Version 5.00");
    Write(L"\n");
}

CRegLog::~CRegLog() = default;

namespace {

// Hands a line of the diagnostic channel to the text log.
void WriteToDebugLog(const std::wstring& line)
{
    try {
        GetDebugLog().WriteLine(L"%ws", line.c_str());
    } catch (...) {
    }
}

RegistryBackupTarget& ProvideRegistryBackup()
{
    return GetRegLog();
}

// Installed when the program starts: every program that can write its text
// log links this file.
const bool g_logsInstalled = [] {
    SetDiagnosticSink(&WriteToDebugLog);
    SetRegistryBackupProvider(&ProvideRegistryBackup);
    return true;
}();

} // namespace

CDebugLog& GetDebugLog()
{
    static CDebugLog* created = nullptr;
    if (created == nullptr) {
        // The log finds its folder through the registry; what that lookup
        // reports is written after the start header.
        DiagnosticDeferral deferral;
        static CDebugLog log;
        created = &log;
    }
    return *created;
}

void WriteDebugLine(const wchar_t* format, ...)
{
    ScopedCost meter(CostKind::TextLog);
    try {
        va_list args;
        va_start(args, format);
        const std::wstring message = FormatWideV(format, args);
        va_end(args);
        WriteDiagnosticLine(L"%ws", message.c_str());
    } catch (...) {
    }
}

CRegLog& GetRegLog()
{
    static CRegLog log;
    return log;
}
