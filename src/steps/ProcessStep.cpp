#include "steps/ProcessStep.h"

#include <tlhelp32.h>

#include <cwchar>
#include <utility>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "steps/RemovalRecord.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/Privileges.h"
#include "system/ScopeGuards.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

struct ProcessEntry {
    DWORD id;
    DWORD parentId;
    std::wstring imageName;
};

// Every process of one snapshot, in snapshot order. Empty when the snapshot
// cannot be taken or read.
std::vector<ProcessEntry> ReadProcessSnapshot()
{
    std::vector<ProcessEntry> entries;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return entries;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry))
        return entries;
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
        entry.dwSize = sizeof(entry);
    } while (Process32NextW(snapshot.get(), &entry));
    return entries;
}

} // namespace

ProcessStep::ProcessStep(int number, const std::string& name)
    : ProcessStep(number, name, CConfiguration::GetInstance().GetProcesses())
{
}

ProcessStep::ProcessStep(int number, const std::string& name, std::vector<std::string> processes)
    : BaseStep(name, number), m_processes(std::move(processes))
{
}

void ProcessStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    RunBody([this] {
        TerminateProcesses();
        SetStatus(StatusContinue);
    });
}

void ProcessStep::TerminateProcesses()
{
    const wchar_t* const function = L"ProcessStep::TerminateProcesses";
    WriteDebugLine(L"%ws Entry", function);
    if (m_processes.empty()) {
        WriteDebugLine(L"%ws: Error: processes count is %d", function, static_cast<int>(m_processes.size()));
        return;
    }
    {
        // A token that cannot be opened is not an error: termination is then
        // tried without the privilege, and SetPrivilege logs its own failure.
        UniqueKernelHandle token;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
        EnabledPrivilege debugPrivilege(token.get(), L"SeDebugPrivilege");
        std::wstring killedName;
        for (const std::string& process : m_processes) {
            bool found = false;
            const int result = FindAndKillProcess(Utf8ToWide(process), found, killedName);
            const DWORD error = GetLastError();
            if (!found)
                continue;
            if (result == 0)
                WriteDebugLine(L"%ws: Error: failed to terminate process %ws", function, killedName.c_str());
            RecordRemoval(RemovalKind::Process, killedName, result != 0 ? 0L : static_cast<long>(error));
        }
        debugPrivilege.Disable();
    }
    WriteDebugLine(L"%ws Exit", function);
}

bool ProcessNameMatches(const std::wstring& entry, const std::wstring& imageName)
{
    const size_t length = entry.size();
    if (length >= 6 && entry[length - 5] == L'*') {
        const size_t prefixLength = length - 5;
        return imageName.size() >= prefixLength && imageName.compare(0, prefixLength, entry, 0, prefixLength) == 0;
    }
    return CompareStringOrdinal(entry.c_str(), static_cast<int>(entry.size()), imageName.c_str(),
                                static_cast<int>(imageName.size()), TRUE) == CSTR_EQUAL;
}

BOOL TerminateProcessById(DWORD processId, bool& opened, DWORD& error, const std::wstring& imageName)
{
    error = 0;
    const std::wstring shown = FormatWide(L"%ws (process id %lu)", imageName.empty() ? L"?" : imageName.c_str(),
                                          static_cast<unsigned long>(processId));
    if (IsChangePreviewed(L"Terminate process", shown)) {
        opened = true;
        return TRUE;
    }
    UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    opened = process.valid();
    if (!opened) {
        error = GetLastError();
        return FALSE;
    }
    const BOOL terminated = TerminateProcess(process.get(), 0);
    if (!terminated)
        error = GetLastError();
    return terminated;
}

int FindAndKillProcess(std::wstring name, bool& found, std::wstring& killedName)
{
    const wchar_t* const function = L"FindAndKillProcess";
    found = false;
    const std::vector<ProcessEntry> entries = ReadProcessSnapshot();

    // The cleanup must never end itself or the program that started it,
    // whatever a configured pattern matches.
    const DWORD ownId = GetCurrentProcessId();
    DWORD parentId = 0;
    bool parentKnown = false;
    for (const ProcessEntry& entry : entries) {
        if (entry.id == ownId) {
            parentId = entry.parentId;
            parentKnown = true;
        }
    }

    int result = 0;
    DWORD lastError = 0;
    for (const ProcessEntry& entry : entries) {
        if (entry.id == ownId || (parentKnown && entry.id == parentId))
            continue;
        if (!ProcessNameMatches(name, entry.imageName))
            continue;
        found = true;
        killedName = entry.imageName;
        bool opened = false;
        DWORD error = 0;
        const BOOL terminated = TerminateProcessById(entry.id, opened, error, entry.imageName);
        if (!opened) {
            WriteDebugLine(L"%ws: ERROR: OpenProcess failed with error %ld", function, static_cast<long>(error));
            lastError = error;
            continue;
        }
        result = terminated;
        if (!terminated) {
            WriteDebugLine(L"%ws: ERROR: TerminateProcess %ws failed with error %ld", function, killedName.c_str(),
                           static_cast<long>(error));
            lastError = error;
        }
    }
    SetLastError(result != 0 ? 0 : lastError);
    return result;
}
