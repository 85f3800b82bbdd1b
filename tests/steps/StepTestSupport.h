#pragma once
// What the process and service step tests read back: the text-log lines and
// the result-log items a step wrote, and the paths of the test programs.
#include <windows.h>

#include <string>
#include <vector>

// One element of a result-log section.
struct LoggedItem {
    std::string name;    // element name
    std::string text;    // element text
    std::string status;  // "Status" attribute
    std::string errorId; // "ErrorID" attribute, empty when absent
};

// A point in the process-wide text log and result log; what was written
// after it can be read back.
class LogMark {
public:
    LogMark();
    // Text-log lines written since the mark, without their time stamps.
    std::vector<std::string> NewTextLines() const;
    // Items added to the result-log section since the mark.
    std::vector<LoggedItem> NewItems(const char* section) const;

private:
    size_t m_textSize = 0;
    size_t m_processItems = 0;
    size_t m_serviceItems = 0;
};

// The items of one result-log section, in order.
std::vector<LoggedItem> ReadResultLogSection(const char* section);

// The folder of this test program (with trailing backslash), where the
// build puts the test programs.
std::wstring TestProgramFolder();
