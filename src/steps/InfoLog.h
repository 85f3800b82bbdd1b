#pragma once
#include <string>

// The step file of unattended mode, "ZRACleanupTool.info" in the cleanup
// temp folder (never in the /Logpath folder): one line "step: N", and a
// second line "driverReboot: 1" when the resumed run must do the driver
// step's second phase (files without it resume without that phase). Written
// when an unattended run needs a restart, read back and deleted by the next
// unattended start. Failures are only written to the text log.
class CInfoLog {
public:
    // The process-wide step file, created on first use.
    static CInfoLog& GetInstance();

    // A step file at the given path (tests use their own).
    explicit CInfoLog(const std::wstring& filePath);

    // Writes "step: N" and a line end (and "driverReboot: 1" with its line
    // end when driverReboot is set), replacing the file. False when the
    // file cannot be created.
    bool SetStep(int step, bool driverReboot = false);
    // True when the file could be opened; step is then the number of the
    // first line beginning with "step" (0 when there is none or the line
    // holds no digit where the number belongs). False (step untouched)
    // when there is no file. driverReboot (when given) tells whether a line
    // "driverReboot: 1" follows the step line.
    bool GetStep(int& step, bool* driverReboot = nullptr);
    void RemoveInfoLog();

    const std::wstring& GetFilePath() const { return m_filePath; }

    static const wchar_t* const FileName;

private:
    std::wstring m_filePath;
};
