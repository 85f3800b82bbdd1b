// The process step against real processes: copies of a test program run
// under configured image names and are ended by the step.
#include <windows.h>
#include <aclapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "StepTestSupport.h"
#include "logs/Log.h"
#include "steps/ProcessStep.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

const DWORD SleeperOwnExitCode = 77;

// Image names of all running processes.
std::vector<std::wstring> RunningImageNames()
{
    std::vector<std::wstring> names;
    UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (snapshot && Process32FirstW(snapshot.get(), &entry)) {
        do {
            names.push_back(entry.szExeFile);
        } while (Process32NextW(snapshot.get(), &entry));
    }
    return names;
}

// Copies of the test program running under chosen image names. Whatever is
// still running when the object goes is ended.
class RunningCopies {
public:
    explicit RunningCopies(const std::wstring& folder) : m_folder(folder) {}
    ~RunningCopies()
    {
        for (auto& process : m_processes)
            if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
                TerminateProcess(process.get(), 1);
    }

    // Starts one copy; the index of its handle.
    size_t Start(const std::wstring& imageName, const SECURITY_ATTRIBUTES* attributes = nullptr)
    {
        const std::wstring path = m_folder + imageName;
        if (!FileExists(path))
            CopyFileW((TestProgramFolder() + L"zra-sleeper.exe").c_str(), path.c_str(), FALSE);
        std::wstring commandLine = L"\"" + path + L"\" 120000";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        const BOOL created = CreateProcessW(path.c_str(), &commandLine[0],
                                            const_cast<SECURITY_ATTRIBUTES*>(attributes), nullptr, FALSE, 0,
                                            nullptr, m_folder.c_str(), &startup, &info);
        EXPECT_TRUE(created) << WideToUtf8(path) << " error " << GetLastError();
        UniqueKernelHandle thread(info.hThread);
        m_processes.emplace_back(info.hProcess);
        m_names.push_back(imageName);
        return m_processes.size() - 1;
    }

    // Waits until every started copy shows in a process snapshot.
    void WaitUntilListed()
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::vector<std::wstring> running = RunningImageNames();
            bool all = true;
            for (const auto& name : m_names) {
                auto it = std::find(running.begin(), running.end(), name);
                if (it == running.end()) {
                    all = false;
                    break;
                }
                running.erase(it);
            }
            if (all)
                return;
            Sleep(100);
        }
        ADD_FAILURE() << "the test processes did not show in the process list";
    }

    // The exit code of a copy once it has ended (10 s at most), or
    // STILL_ACTIVE when it is still running.
    DWORD ExitCode(size_t index, DWORD waitMs = 10000)
    {
        WaitForSingleObject(m_processes[index].get(), waitMs);
        DWORD code = 0;
        GetExitCodeProcess(m_processes[index].get(), &code);
        return code;
    }

private:
    std::wstring m_folder;
    std::vector<UniqueKernelHandle> m_processes;
    std::vector<std::wstring> m_names;
};

class ProcessStepTest : public ::testing::Test {
protected:
    ProcessStepTest() : m_copies(m_temp.Path()) {}

    ScopedTempDir m_temp{L"zra-process"};
    RunningCopies m_copies;
};

const std::vector<std::string> EntryAndExit = {"ProcessStep::TerminateProcesses Entry",
                                               "ProcessStep::TerminateProcesses Exit"};

} // namespace

TEST_F(ProcessStepTest, EveryProcessOfEveryNameEndsWithOneItemPerName)
{
    const size_t a1 = m_copies.Start(L"zratest1.exe");
    const size_t a2 = m_copies.Start(L"zratest1.exe");
    const size_t a3 = m_copies.Start(L"zratest1.exe");
    const size_t lower = m_copies.Start(L"zratestcase.exe");
    const size_t other = m_copies.Start(L"zratestother.exe");
    m_copies.WaitUntilListed();

    const LogMark mark;
    ProcessStep step(4, "Terminating ZRA processes...",
                     {"ZRATESTCASE.EXE", "zratest1.exe", "notrunning.exe", "zratest1.exe"});
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusContinue, step.GetStatus());

    // Terminated with exit code 0, not ended by themselves.
    for (size_t index : {a1, a2, a3, lower})
        EXPECT_EQ(0u, m_copies.ExitCode(index)) << index;
    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(other, 0));

    // The second pass over zratest1.exe finds nothing; a name that is not
    // running leaves no trace.
    EXPECT_EQ(EntryAndExit, mark.NewTextLines());
    const auto items = mark.NewItems("Processes");
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("zratestcase.exe", items[0].text);
    EXPECT_EQ("zratest1.exe", items[1].text);
    for (const auto& item : items) {
        EXPECT_EQ("process", item.name);
        EXPECT_EQ("Succeeded", item.status);
        EXPECT_EQ("", item.errorId);
    }
}

TEST_F(ProcessStepTest, PrefixPatternMatchesAnyExtensionWithTheExactPrefixCase)
{
    const size_t exe = m_copies.Start(L"zrab.exe");
    const size_t longer = m_copies.Start(L"zrabcd.exe");
    const size_t dll = m_copies.Start(L"zrab.dll");
    const size_t upper = m_copies.Start(L"ZRABX.exe");
    const size_t shorter = m_copies.Start(L"zra.exe");
    m_copies.WaitUntilListed();

    const LogMark mark;
    ProcessStep step(4, "Terminating ZRA processes...", {"zrab*.exe"});
    step.TerminateProcesses();

    for (size_t index : {exe, longer, dll})
        EXPECT_EQ(0u, m_copies.ExitCode(index)) << index;
    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(upper, 0));
    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(shorter, 0));
    EXPECT_EQ(EntryAndExit, mark.NewTextLines());
    const auto items = mark.NewItems("Processes");
    ASSERT_EQ(1u, items.size());
    EXPECT_TRUE(items[0].text == "zrab.exe" || items[0].text == "zrabcd.exe" || items[0].text == "zrab.dll")
        << items[0].text;
    EXPECT_EQ("Succeeded", items[0].status);
}

TEST(ProcessNameMatching, PatternFormsAndCase)
{
    EXPECT_TRUE(ProcessNameMatches(L"PROC.EXE", L"proc.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"proc.exe", L"PrOc.ExE"));
    EXPECT_FALSE(ProcessNameMatches(L"proc.exe", L"proc.exe2"));
    EXPECT_FALSE(ProcessNameMatches(L"proc", L"proc.exe"));
    // Prefix pattern: the prefix is compared with its case, the extension
    // not at all.
    EXPECT_TRUE(ProcessNameMatches(L"ab*.exe", L"abc.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"ab*.exe", L"ab.dll"));
    EXPECT_TRUE(ProcessNameMatches(L"ab*.exe", L"ab"));
    EXPECT_FALSE(ProcessNameMatches(L"ab*.exe", L"Abc.exe"));
    EXPECT_FALSE(ProcessNameMatches(L"ab*.exe", L"a"));
    EXPECT_TRUE(ProcessNameMatches(L"a*.exe", L"a.exe"));
    // Fewer than 6 characters: never a pattern, a "*" is an ordinary
    // character.
    EXPECT_FALSE(ProcessNameMatches(L"*.exe", L"a.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"*.exe", L"*.EXE"));
    EXPECT_FALSE(ProcessNameMatches(L"a*exe", L"abexe"));
    // A "*" anywhere else is compared as it stands.
    EXPECT_FALSE(ProcessNameMatches(L"ab.*exe", L"ab.xexe"));
    EXPECT_FALSE(ProcessNameMatches(L"*ab.exe", L"xab.exe"));
    EXPECT_FALSE(ProcessNameMatches(L"****.exe", L"abcd.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"****.exe", L"***x"));
    // Empty entries match nothing; case folding goes beyond ASCII.
    EXPECT_FALSE(ProcessNameMatches(L"", L"a.exe"));
    EXPECT_TRUE(ProcessNameMatches(L"\u00C4G\u0416.EXE", L"\u00E4g\u0436.exe"));
}

TEST_F(ProcessStepTest, OddEntriesEndNothingOutsideTheirNames)
{
    const size_t bystander = m_copies.Start(L"zrq.exe");
    const size_t unicode = m_copies.Start(L"zr\u0436\u00E9.exe");
    m_copies.WaitUntilListed();

    const LogMark mark;
    ProcessStep step(4, "Terminating ZRA processes...",
                     {"", "*", "*.exe", "z*exe", "**********", "****.exe", std::string(300, 'z') + ".exe",
                      std::string(1000, '*'), "z\xD0\xB6*.exe", "\xF0\x9F\x98\x80.exe", "zr\xD0\xB6\xC3\xA9X.exe"});
    step.TerminateProcesses();

    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(bystander, 0));
    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(unicode, 0));
    EXPECT_EQ(EntryAndExit, mark.NewTextLines());
    EXPECT_TRUE(mark.NewItems("Processes").empty());

    // The same name outside Latin-1, upper-cased, does end it.
    ProcessStep exact(4, "Terminating ZRA processes...", {"ZR\xD0\x96\xC3\x89.EXE"});
    exact.TerminateProcesses();
    EXPECT_EQ(0u, m_copies.ExitCode(unicode));
    const auto items = mark.NewItems("Processes");
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ("zr\xD0\xB6\xC3\xA9.exe", items[0].text);
}

TEST_F(ProcessStepTest, NeverEndsItselfOrItsParent)
{
    wchar_t ownPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    std::wstring ownName = ownPath;
    ownName = ownName.substr(ownName.find_last_of(L"\\/") + 1);
    ASSERT_GE(ownName.size(), 6u);

    const LogMark mark;
    // A whole-name entry and a prefix pattern that both match this program.
    ProcessStep step(4, "Terminating ZRA processes...",
                     {WideToUtf8(ownName), WideToUtf8(ownName.substr(0, ownName.size() - 4)) + "*.exe"});
    step.TerminateProcesses();
    // Still here to check: nothing matched, so nothing was recorded.
    EXPECT_EQ(EntryAndExit, mark.NewTextLines());
    EXPECT_TRUE(mark.NewItems("Processes").empty());
}

TEST_F(ProcessStepTest, EmptyListLogsTheCountAndStops)
{
    const LogMark mark;
    ProcessStep step(4, "Terminating ZRA processes...", {});
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusContinue, step.GetStatus());
    const std::vector<std::string> expected = {"ProcessStep::TerminateProcesses Entry",
                                               "ProcessStep::TerminateProcesses: Error: processes count is 0"};
    EXPECT_EQ(expected, mark.NewTextLines());
    EXPECT_TRUE(mark.NewItems("Processes").empty());
}

TEST_F(ProcessStepTest, ProcessThatCannotBeOpenedGivesTheErrorLineAndAFailedItem)
{
    // A process whose access list grants nobody anything.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ACL emptyAcl;
    InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyAcl, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    const size_t locked = m_copies.Start(L"zralocked.exe", &attributes);
    m_copies.WaitUntilListed();

    DWORD pid = 0;
    {
        UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        if (Process32FirstW(snapshot.get(), &entry))
            do {
                if (std::wstring(entry.szExeFile) == L"zralocked.exe")
                    pid = entry.th32ProcessID;
            } while (Process32NextW(snapshot.get(), &entry));
    }
    UniqueKernelHandle probe(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (probe)
        GTEST_SKIP() << "Wine opens a process for termination whatever its access list says, so no process "
                        "here refuses to be opened";
    const DWORD expectedError = GetLastError();

    const LogMark mark;
    ProcessStep step(4, "Terminating ZRA processes...", {"zralocked.exe"});
    step.TerminateProcesses();
    EXPECT_EQ(STILL_ACTIVE, m_copies.ExitCode(locked, 0));
    const std::vector<std::string> expected = {
        "ProcessStep::TerminateProcesses Entry",
        "FindAndKillProcess: ERROR: OpenProcess failed with error " + std::to_string(expectedError),
        "ProcessStep::TerminateProcesses: Error: failed to terminate process zralocked.exe",
        "ProcessStep::TerminateProcesses Exit"};
    EXPECT_EQ(expected, mark.NewTextLines());
    const auto items = mark.NewItems("Processes");
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ("Failed", items[0].status);
    EXPECT_EQ(std::to_string(expectedError), items[0].errorId);
    EXPECT_EQ("zralocked.exe", items[0].text);
}
