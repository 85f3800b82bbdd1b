// The service step and the service-list operations against real services:
// Wine's service manager runs the test service program under the names
// the tests register.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StepTestSupport.h"
#include "steps/ServiceStep.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

UniqueServiceHandle OpenManager()
{
    return UniqueServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The current state of a service; 0 when it cannot be opened or queried,
// and then error holds the code.
DWORD ServiceState(const std::wstring& name, DWORD* error = nullptr)
{
    UniqueServiceHandle manager = OpenManager();
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) {
        if (error)
            *error = GetLastError();
        return 0;
    }
    return status.dwCurrentState;
}

bool WaitForState(const std::wstring& name, DWORD state, DWORD timeoutMs = 15000)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (ServiceState(name) == state)
            return true;
        Sleep(50);
    }
    return false;
}

// True once the service manager no longer knows the service (15 s at most).
bool WaitUntilGone(const std::wstring& name)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 15000) {
        DWORD error = 0;
        if (ServiceState(name, &error) == 0 && error == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        Sleep(50);
    }
    return false;
}

// One service of the test service program, registered for the test's life.
// Whatever is left of it at the end is ended and deleted.
class TestService {
public:
    TestService(const std::wstring& folder, const std::wstring& name, const std::wstring& options = L"",
                const std::wstring& dependsOn = L"")
        : m_name(name)
    {
        const std::wstring program = folder + L"zra-test-service.exe";
        if (!FileExists(program))
            CopyFileW((TestProgramFolder() + L"zra-test-service.exe").c_str(), program.c_str(), FALSE);
        const std::wstring commandLine = L"\"" + program + L"\" " + name + L" " + options;
        std::wstring dependencies = dependsOn;
        if (!dependencies.empty())
            dependencies.append(1, L'\0');
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                   SERVICE_ERROR_IGNORE, commandLine.c_str(), nullptr, nullptr,
                                                   dependencies.empty() ? nullptr : dependencies.c_str(), nullptr,
                                                   nullptr));
        EXPECT_TRUE(service.valid()) << WideToUtf8(name) << " error " << GetLastError();
    }
    ~TestService() { Remove(); }

    bool Start()
    {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(OpenServiceW(manager.get(), m_name.c_str(), SERVICE_START));
        if (!service || !StartServiceW(service.get(), 0, nullptr))
            return false;
        return WaitForState(m_name, SERVICE_RUNNING);
    }

    // Sends the stop control and waits until the stop is pending.
    bool BeginStop()
    {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(OpenServiceW(manager.get(), m_name.c_str(), SERVICE_STOP));
        SERVICE_STATUS status = {};
        if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            return false;
        return WaitForState(m_name, SERVICE_STOP_PENDING, 5000) || ServiceState(m_name) == SERVICE_STOP_PENDING;
    }

    // Ends the service's process, if it runs, and deletes the service.
    void Remove()
    {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(OpenServiceW(manager.get(), m_name.c_str(), SERVICE_ALL_ACCESS));
        if (!service)
            return;
        SERVICE_STATUS_PROCESS status = {};
        DWORD bytes = 0;
        if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &bytes) &&
            status.dwProcessId != 0 && status.dwCurrentState != SERVICE_STOPPED) {
            UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
            if (process) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 5000);
            }
        }
        DeleteService(service.get());
        service.reset();
        WaitUntilGone(m_name);
    }

    const std::wstring& Name() const { return m_name; }

private:
    std::wstring m_name;
};

const std::vector<std::string> EntryAndExit = {"ServiceStep::RemoveServices Entry",
                                               "ServiceStep::RemoveServices Exit"};

class ServiceStepTest : public ::testing::Test {
protected:
    ScopedTempDir m_temp{L"zra-service"};
};

// The "Start" value under HKLM\path in the 64-bit view; -1 when it cannot
// be read.
long long ReadStartValue(const std::wstring& path)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return -1;
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key.get(), L"Start", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return -1;
    return value;
}

// A service key made directly in the registry (64-bit view) with an
// optional "Start" value; removed with its sub keys at the end.
class ServiceKey {
public:
    ServiceKey(const std::wstring& name, const DWORD* start)
        : m_name(name), m_path(L"System\\CurrentControlSet\\Services\\" + name)
    {
        UniqueRegKey key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr));
        if (start)
            RegSetValueExW(key.get(), L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(start), sizeof(DWORD));
    }
    ~ServiceKey()
    {
        UniqueRegKey parent;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services", 0,
                          KEY_ALL_ACCESS | KEY_WOW64_64KEY, parent.put()) == ERROR_SUCCESS)
            RegDeleteTreeW(parent.get(), m_name.c_str());
    }

    // The "Start" value; -1 when it cannot be read.
    long long Start(const std::wstring& sub = L"") const
    {
        return ReadStartValue(sub.empty() ? m_path : m_path + L"\\" + sub);
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_name;
    std::wstring m_path;
};

} // namespace

TEST_F(ServiceStepTest, RunningAndStoppedServicesAreDeletedMissingOnesLeaveNoTrace)
{
    TestService running(m_temp.Path(), L"ZraTestSvcRunning");
    TestService stopped(m_temp.Path(), L"ZraTestSvcStopped");
    ASSERT_TRUE(running.Start());
    ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(stopped.Name()));

    const LogMark mark;
    ServiceStep step(5, "Removing ZRA services...", {"ZraTestSvcMissing", "ZraTestSvcRunning", "ZraTestSvcStopped"});
    RunOptions options;
    options.silent = true;
    step.Run(&options);
    EXPECT_EQ(BaseStep::StatusContinue, step.GetStatus());

    EXPECT_TRUE(WaitUntilGone(running.Name()));
    EXPECT_TRUE(WaitUntilGone(stopped.Name()));
    // The stopped service's refused stop (1062) is no error; the missing one
    // is silent.
    EXPECT_EQ(EntryAndExit, mark.NewTextLines());
    const auto items = mark.NewItems("Services");
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ("ZraTestSvcRunning", items[0].text);
    EXPECT_EQ("ZraTestSvcStopped", items[1].text);
    for (const auto& item : items) {
        EXPECT_EQ("service", item.name);
        EXPECT_EQ("Succeeded", item.status);
    }
}

TEST_F(ServiceStepTest, EmptyListLogsTheCountAndStops)
{
    const LogMark mark;
    ServiceStep step(5, "Removing ZRA services...", {});
    step.RemoveServices();
    const std::vector<std::string> expected = {"ServiceStep::RemoveServices Entry",
                                               "ServiceStep::RemoveServices: Error: services count is 0"};
    EXPECT_EQ(expected, mark.NewTextLines());
    EXPECT_TRUE(mark.NewItems("Services").empty());
}

TEST_F(ServiceStepTest, OddNamesTouchNoOtherService)
{
    TestService bystander(m_temp.Path(), L"ZraTestSvcBystander");
    ASSERT_TRUE(bystander.Start());

    const LogMark mark;
    ServiceStep step(5, "Removing ZRA services...",
                     {"", "*", "ZraTestSvc*", "ZraTestSvcBystander\\", "..\\ZraTestSvcBystander",
                      std::string(300, 'Z'), "Zra\xD0\xB6\xF0\x9F\x98\x80", "ZraTestSvcBystanderX"});
    step.RemoveServices();

    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(bystander.Name()));
    EXPECT_TRUE(mark.NewItems("Services").empty());
    // Whatever a name the manager refuses logs, it is an OpenService line.
    const auto lines = mark.NewTextLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(EntryAndExit.front(), lines.front());
    EXPECT_EQ(EntryAndExit.back(), lines.back());
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_EQ(0u, lines[i].find("ServiceStep::RemoveServices: Error: OpenService ")) << lines[i];
}

TEST_F(ServiceStepTest, StopListedServicesStopsDependentsFirst)
{
    const std::wstring log = m_temp.Path() + L"stops.txt";
    TestService base(m_temp.Path(), L"ZraTestSvcBase", L"--pending 300 --log \"" + log + L"\"");
    TestService dependent(m_temp.Path(), L"ZraTestSvcDependent", L"--pending 300 --log \"" + log + L"\"",
                          L"ZraTestSvcBase");
    ASSERT_TRUE(base.Start());
    ASSERT_TRUE(dependent.Start());

    // Does this service manager list dependents at all?
    bool listsDependents = false;
    {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(OpenServiceW(manager.get(), base.Name().c_str(), SERVICE_ALL_ACCESS));
        DWORD needed = 0, count = 0;
        listsDependents = !EnumDependentServicesW(service.get(), SERVICE_ACTIVE, nullptr, 0, &needed, &count) &&
                          GetLastError() == ERROR_MORE_DATA;
    }

    StopListedServices({"ZraTestSvcMissing", "ZraTestSvcBase"});
    EXPECT_TRUE(WaitForState(base.Name(), SERVICE_STOPPED));
    if (!listsDependents)
        GTEST_SKIP() << "Wine's EnumDependentServicesW lists no dependents, so stopping the dependents first "
                        "(and their shared 30 s limit) cannot be shown; the listed service itself was stopped";
    EXPECT_TRUE(WaitForState(dependent.Name(), SERVICE_STOPPED));
    EXPECT_EQ("stopped ZraTestSvcDependent\r\nstopped ZraTestSvcBase\r\n", ReadFileBytes(log));
}

TEST_F(ServiceStepTest, StopPendingIsPolledEverySecondForAZeroWaitHint)
{
    TestService service(m_temp.Path(), L"ZraTestSvcHint0", L"--hint 0 --pending 2500");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.BeginStop());
    const DWORD start = GetTickCount();
    StopListedServices({"ZraTestSvcHint0"});
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(service.Name()));
    // Stopped after 2.5 s, seen at the third poll; a 10 s poll would take
    // at least 10 s.
    EXPECT_GE(elapsed, 2400u);
    EXPECT_LT(elapsed, 9500u);
}

TEST_F(ServiceStepTest, StopPendingIsPolledEveryTenSecondsForALongWaitHint)
{
    TestService service(m_temp.Path(), L"ZraTestSvcHintLong", L"--hint 200000 --pending 2500");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.BeginStop());
    const DWORD start = GetTickCount();
    StopListedServices({"ZraTestSvcHintLong"});
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(service.Name()));
    // One sleep of 10 s (not 20 s, not the hint's 200 s) sees it stopped.
    EXPECT_GE(elapsed, 9900u);
    EXPECT_LT(elapsed, 19000u);
}

TEST_F(ServiceStepTest, StopThatStaysPendingIsWaitedForThirtySeconds)
{
    TestService service(m_temp.Path(), L"ZraTestSvcStuck", L"--hint 200000 --pending forever");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.BeginStop());
    const DWORD start = GetTickCount();
    StopListedServices({"ZraTestSvcStuck"});
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), ServiceState(service.Name()));
    // Polls at 10, 20 and 30 s, then at most one 10 s sleep before the
    // second stop control: never the 200 s the service asks for.
    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 55000u);
}

TEST_F(ServiceStepTest, PendingWaitEndsWhenStatusQueriesKeepFailing)
{
    TestService service(m_temp.Path(), L"ZraTestSvcNoQuery", L"--hint 0 --pending forever");
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.BeginStop());
    // A handle without the query right: every status query fails.
    UniqueServiceHandle manager = OpenManager();
    UniqueServiceHandle handle(OpenServiceW(manager.get(), service.Name().c_str(), SERVICE_STOP));
    ASSERT_TRUE(handle.valid());
    SERVICE_STATUS probe = {};
    if (QueryServiceStatus(handle.get(), &probe))
        GTEST_SKIP() << "this service manager answers status queries on a handle without the query right";

    SERVICE_STATUS status = {};
    status.dwCurrentState = SERVICE_STOP_PENDING;
    const DWORD start = GetTickCount();
    WaitWhileStopPending(handle.get(), status, start);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 40000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
}

TEST_F(ServiceStepTest, DependentsAreStoppedInTurn)
{
    const std::wstring log = m_temp.Path() + L"turns.txt";
    TestService first(m_temp.Path(), L"ZraTestSvcTurnA", L"--hint 100 --pending 600 --log \"" + log + L"\"");
    TestService second(m_temp.Path(), L"ZraTestSvcTurnB", L"--hint 100 --pending 300 --log \"" + log + L"\"");
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    UniqueServiceHandle manager = OpenManager();

    const DWORD start = GetTickCount();
    EXPECT_TRUE(StopServicesInTurn(manager.get(), {second.Name(), first.Name()}, start));
    EXPECT_LT(GetTickCount() - start, 20000u);
    // Each one had stopped before the next got its stop control.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(first.Name()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(second.Name()));
    EXPECT_EQ("stopped ZraTestSvcTurnB\r\nstopped ZraTestSvcTurnA\r\n", ReadFileBytes(log));

    EXPECT_TRUE(StopServicesInTurn(manager.get(), {}, GetTickCount()));
    EXPECT_FALSE(StopServicesInTurn(manager.get(), {L"ZraTestSvcMissing"}, GetTickCount()));
    // Already stopped: the stop control is refused.
    EXPECT_FALSE(StopServicesInTurn(manager.get(), {first.Name()}, GetTickCount()));
}

TEST_F(ServiceStepTest, DependentsShareThirtySecondsWhateverTheirWaitHint)
{
    TestService stuck(m_temp.Path(), L"ZraTestSvcTurnStuck", L"--hint 200000 --pending forever");
    TestService next(m_temp.Path(), L"ZraTestSvcTurnNext");
    ASSERT_TRUE(stuck.Start());
    ASSERT_TRUE(next.Start());
    UniqueServiceHandle manager = OpenManager();

    const DWORD start = GetTickCount();
    EXPECT_FALSE(StopServicesInTurn(manager.get(), {stuck.Name(), next.Name()}, start));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 29900u);
    EXPECT_LT(elapsed, 40000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(next.Name()));
}

TEST(ServicePollInterval, TenthOfTheHintWithinOneToTenSeconds)
{
    EXPECT_EQ(1000u, GetStopPendingPollInterval(0));
    EXPECT_EQ(1000u, GetStopPendingPollInterval(9999));
    EXPECT_EQ(2500u, GetStopPendingPollInterval(25000));
    EXPECT_EQ(10000u, GetStopPendingPollInterval(200000));
    EXPECT_EQ(10000u, GetStopPendingPollInterval(0xFFFFFFFFu));
}

TEST(ServiceStartType, DisableAndCheckExistingMissingAndDisabledKeys)
{
    const DWORD demand = 3, disabled = 4;
    ServiceKey enabled(L"ZraTestKeyEnabled", &demand);
    ServiceKey off(L"ZraTestKeyDisabled", &disabled);
    ServiceKey noValue(L"ZraTestKeyNoStart", nullptr);
    ServiceKey nested(L"ZraTestKeyEnabled\\Sub", &demand);

    EXPECT_TRUE(AreListedServicesDisabled({}));
    EXPECT_TRUE(AreListedServicesDisabled({"ZraTestKeyMissing", "ZraTestKeyNoStart"}));
    EXPECT_TRUE(AreListedServicesDisabled({"ZraTestKeyDisabled"}));
    EXPECT_FALSE(AreListedServicesDisabled({"ZraTestKeyDisabled", "ZraTestKeyEnabled", "ZraTestKeyMissing"}));
    // Names that would reach another key do not count.
    EXPECT_TRUE(AreListedServicesDisabled({"ZraTestKeyEnabled\\Sub", "", "ZraTestKeyEnabled/Sub"}));

    DisableListedServices({"ZraTestKeyMissing", "ZraTestKeyEnabled", "ZraTestKeyDisabled", "ZraTestKeyNoStart", "",
                           "ZraTestKeyEnabled\\Sub", "..\\..\\Services\\ZraTestKeyEnabled\\Sub"});
    EXPECT_EQ(4, enabled.Start());
    EXPECT_EQ(4, off.Start());
    EXPECT_EQ(-1, noValue.Start());
    EXPECT_EQ(3, enabled.Start(L"Sub"));
    UniqueRegKey missing;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\ZraTestKeyMissing", 0,
                            KEY_READ | KEY_WOW64_64KEY, missing.put()));
    EXPECT_EQ(-1, ReadStartValue(L"System\\CurrentControlSet\\Services"));
    EXPECT_TRUE(AreListedServicesDisabled({"ZraTestKeyEnabled", "ZraTestKeyDisabled", "ZraTestKeyNoStart"}));
}

TEST(ServiceKeyPath, OnlyPlainNamesGiveAKey)
{
    EXPECT_EQ(L"System\\CurrentControlSet\\Services\\KpaSvc", GetServiceKeyPath(L"KpaSvc"));
    EXPECT_EQ(L"", GetServiceKeyPath(L""));
    EXPECT_EQ(L"", GetServiceKeyPath(L"a\\b"));
    EXPECT_EQ(L"", GetServiceKeyPath(L"a/b"));
    EXPECT_EQ(L"", GetServiceKeyPath(std::wstring(257, L'a')));
    EXPECT_EQ(256u + 34u, GetServiceKeyPath(std::wstring(256, L'a')).size());
}
