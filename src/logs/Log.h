#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

#include "system/CostMeter.h"
#include "system/RegistryBackup.h"
#include "system/UniqueHandle.h"

// A plain-text log file in the log folder. Text is written as 8-bit bytes
// (one byte per character; characters beyond U+00FF become "?") with CR LF
// line ends. Logging never fails its caller: a file that cannot be opened,
// or a failing write or format, is swallowed. The time spent writing is
// metered as the log's cost kind (system/CostMeter.h).
class CLog {
public:
    virtual ~CLog();

    // Formats with the C runtime's wide printf rules and writes the text
    // without a line end.
    virtual void Write(const wchar_t* format, ...);
    // Formats, writes and ends the line.
    virtual void WriteLine(const wchar_t* format, ...);
    // Writes the text as it is (it may hold "%"), then a line end. An empty
    // text writes nothing.
    void WriteText(std::wstring text);

    const std::wstring& GetFilePath() const { return m_path; }
    const std::wstring& GetFolder() const { return m_folder; }
    bool IsOpen() const { return m_file.valid(); }
    // True once a write to an open file has failed.
    bool HasWriteFailed() const { return m_writeFailed; }

    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

protected:
    // Resolves the file's path in the log folder; the file is not opened yet.
    explicit CLog(const std::wstring& fileName, CostKind costKind = CostKind::TextLog);

    enum class OpenMode { Append, Truncate };
    void Open(OpenMode mode);
    // Size of the open file in bytes; -1 when it is not open.
    long long GetOpenFileSize() const;
    // Writes text with "\n" expanded to CR LF.
    void WriteRaw(const std::wstring& text);
    void WriteLineV(const wchar_t* format, va_list args);
    CostKind GetCostKind() const { return m_costKind; }

private:
    UniqueKernelHandle m_file;
    std::wstring m_path;
    std::wstring m_folder;
    bool m_writeFailed = false;
    CostKind m_costKind;
};

// The diagnostic text log "CleanupToolLog.txt": every line starts with the
// local time stamp and a tab. Copied to "CleanupToolLogBackup.txt" and
// restarted once it has reached 10 MiB.
class CDebugLog : public CLog {
public:
    CDebugLog();
    void WriteLine(const wchar_t* format, ...) override;

    static const wchar_t* const FileName;
    static const wchar_t* const BackupFileName;
    static const long long OverflowSize = 10485760;
};

// The registry backup "RegBackup.reg" in registration-entries format.
// A fresh run starts the file with its header; a resumed run appends, and
// writes the header first when the file is new or empty. It is
// the target of the registry wrapper's exports.
class CRegLog : public CLog, public RegistryBackupTarget {
public:
    CRegLog();
    ~CRegLog() override;

    void WriteBackupText(const std::wstring& text) override { WriteText(text); }
    bool IsBackupOpen() const override { return IsOpen(); }
    bool HasBackupWriteFailed() const override { return HasWriteFailed(); }
    std::wstring GetBackupFilePath() const override { return GetFilePath(); }

    static const wchar_t* const FileName;
};

// The process-wide logs, created on first use and closed at exit. The text
// log is the sink of the system layer's diagnostic lines and the registry
// backup the target of its registry exports; both are installed when the
// program starts (see system/Diagnostics.h and system/RegistryBackup.h).
CDebugLog& GetDebugLog();
CRegLog& GetRegLog();

// Writes one line to the text log, like GetDebugLog().WriteLine, through
// the same channel as the system layer's lines, so that lines reported while
// the text log is being created follow its start header.
void WriteDebugLine(const wchar_t* format, ...);
