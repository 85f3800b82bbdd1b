#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "steps/BaseStep.h"

// Step 4: the termination of the agent's processes. For each configured
// image name every running process of that name is ended; one result item
// is recorded per name that was running.
class ProcessStep : public BaseStep {
public:
    // Takes the process list of the process-wide configuration.
    ProcessStep(int number, const std::string& name);
    // Takes the given process list (UTF-8 image names or patterns).
    ProcessStep(int number, const std::string& name, std::vector<std::string> processes);
    void Run(RunOptions* options) override;

    // The step body: ends the processes of every listed name with the debug
    // privilege enabled, and records one "Processes"/"process" item per name
    // that matched a running process.
    void TerminateProcesses();

    const std::vector<std::string>& GetProcesses() const { return m_processes; }

private:
    std::vector<std::string> m_processes;
};

// Whether a running process's image name matches a configured entry. An
// entry of at least 6 characters whose fifth character from the end is "*"
// is a prefix pattern ("prefix*.ext"): it matches every image name that
// starts with the prefix, compared case-sensitively; the extension is not
// compared. Any other entry is compared with the whole image name, ignoring
// case.
bool ProcessNameMatches(const std::wstring& entry, const std::wstring& imageName);

// Ends every running process that matches name (see ProcessNameMatches),
// except this process and the one that started it. found tells whether any
// process matched; killedName holds the image name of the last match.
// Returns the result of the last TerminateProcess call (non-zero: success);
// 0 when nothing matched or no process could be opened, and then the
// thread's last-error code is the code of the last failed call.
int FindAndKillProcess(std::wstring name, bool& found, std::wstring& killedName);

// The one place where a process is ended: opens it for termination and
// terminates it with exit code 0, without waiting for it. opened tells
// whether OpenProcess succeeded; error holds the failing call's code (0 on
// success). Returns the TerminateProcess result (0 when not opened).
// imageName only names the process in a preview, which reports
// "Terminate process" and returns TRUE with opened set.
BOOL TerminateProcessById(DWORD processId, bool& opened, DWORD& error,
                          const std::wstring& imageName = std::wstring());
