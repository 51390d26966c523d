#include "Debug.h"
#include "entry.h"
#include "event_log.h"
#include "fake_system.h"
#include "server_command_line.h"
#include "server_supervision.h"

#include <boost/filesystem/path.hpp>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the dispatcher found when it was started: the entry point has to have
// prepared all of it by then.
struct DispatcherView {
    bool called = false;
    std::wstring tableName;
    bool tableEndsWithNullEntry = false;
    std::vector<std::wstring> processArguments;
    HANDLE eventSource = nullptr;
    DebugConfig debugConfig;
    std::string narrowPath;
};
DispatcherView dispatcherView;

void observeDispatcher(const SERVICE_TABLE_ENTRYW* table)
{
    dispatcherView.called = true;
    dispatcherView.tableName = table[0].lpServiceName != nullptr ? table[0].lpServiceName : L"";
    dispatcherView.tableEndsWithNullEntry = table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr;
    dispatcherView.processArguments = ProcessArguments;
    dispatcherView.eventSource = eventSource;
    dispatcherView.debugConfig = Debug::config();
    dispatcherView.narrowPath = boost::filesystem::path(L"d\u00e9j\u00e0-\U0001F600.txt").string();
}

struct EntryRun {
    int exitCode = -1;
    std::string output;
};

EntryRun runEntry(FakeSystem& fake, std::vector<std::wstring> arguments)
{
    dispatcherView = DispatcherView{};
    // The service road replaces whatever the list held.
    ProcessArguments = {L"left over"};
    fake.onDispatcher = observeDispatcher;
    arguments.insert(arguments.begin(), L"quorvanta-apiclient.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    FakeSystemScope scope(fake);
    StdoutCapture capture;
    EXPECT_TRUE(capture.started());
    EntryRun run;
    run.exitCode = hostMain(static_cast<int>(arguments.size()), argv.data());
    run.output = capture.text();
    eventSource = nullptr;
    return run;
}

TEST(Entry, InstallRegistersTheEventSourceFirstAndNeverStartsTheDispatcher)
{
    FakeSystem fake;
    fake.moduleFileNameError = ERROR_ACCESS_DENIED; // ends the install at once
    const EntryRun run = runEntry(fake, {L"install", L"--ignored", L"more"});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "Cannot install service (5)\n");
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"RegisterEventSource", "GetModuleFileName"}));
    EXPECT_TRUE(fake.eventSourceServerNull);
    EXPECT_EQ(fake.eventSourceNames, std::vector<std::wstring>{L"Quorvanta-APIClient"});
    EXPECT_FALSE(dispatcherView.called);
}

TEST(Entry, UninstallRunsTheRemovalAndNothingElse)
{
    FakeSystem fake;
    fake.openSCManagerError = ERROR_ACCESS_DENIED;
    const EntryRun run = runEntry(fake, {L"uninstall"});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "OpenSCManager failed (5)\n");
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"RegisterEventSource", "OpenSCManager"}));
}

// Only argv[1] spelled exactly "install" or "uninstall" is a command; every
// other command line is the service's and is kept for the server.
struct ServiceRoadRow {
    const char* name;
    std::vector<std::wstring> arguments;
};

// Failure messages name the row, not its bytes.
void PrintTo(const ServiceRoadRow& row, std::ostream* out)
{
    *out << row.name;
}

class ServiceRoad : public ::testing::TestWithParam<ServiceRoadRow> {};

TEST_P(ServiceRoad, KeepsTheArgumentsAndHandsTheThreadToTheDispatcher)
{
    FakeSystem fake;
    const EntryRun run = runEntry(fake, GetParam().arguments);

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "");
    ASSERT_TRUE(dispatcherView.called);
    EXPECT_EQ(dispatcherView.processArguments, GetParam().arguments);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"RegisterEventSource", "StartServiceCtrlDispatcher", "DeregisterEventSource"}));
    EXPECT_TRUE(fake.events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Entry, ServiceRoad,
    ::testing::Values(ServiceRoadRow{"InstalledCommandLine", {L"server"}},
                      ServiceRoadRow{"CapitalInstall", {L"Install"}},
                      ServiceRoadRow{"CapitalUninstall", {L"UNINSTALL"}},
                      ServiceRoadRow{"InstallNotFirst", {L"server", L"install"}},
                      ServiceRoadRow{"InstallWithBlank", {L"install "}}),
    [](const ::testing::TestParamInfo<ServiceRoadRow>& info) { return std::string(info.param.name); });

TEST(Entry, PreparesTheProcessBeforeTheDispatcherStarts)
{
    FakeSystem fake;
    runEntry(fake, {L"server"});

    ASSERT_TRUE(dispatcherView.called);
    EXPECT_EQ(dispatcherView.tableName, L"Quorvanta-APIClient");
    EXPECT_TRUE(dispatcherView.tableEndsWithNullEntry);
    EXPECT_EQ(dispatcherView.eventSource, FakeSystem::eventSource());
    EXPECT_FALSE(dispatcherView.debugConfig.abortOnError);
    EXPECT_EQ(dispatcherView.debugConfig.outputCallback, nullptr);
    EXPECT_EQ(dispatcherView.debugConfig.callbackContext, nullptr);
    EXPECT_EQ(dispatcherView.debugConfig.outputStream, stdout);
    // Narrow path text is UTF-8 from here on, astral characters included.
    EXPECT_EQ(dispatcherView.narrowPath, "d\xC3\xA9j\xC3\xA0-\xF0\x9F\x98\x80.txt");
    EXPECT_EQ(fake.deregisteredSources, std::vector<HANDLE>{FakeSystem::eventSource()});
}

// The dispatcher returns once the service has reported SERVICE_STOPPED, which
// on the failure roads comes before the entry that says why: the process must
// not end before the service routine is done. Here the routine runs on a
// thread of its own, as the dispatcher's service thread would; the dispatcher
// returns as soon as the routine is under way, and the routine then takes a
// while before it writes its one entry (it fails for want of an SCM).
std::thread serviceThread;
HANDLE serviceUnderWay = nullptr;

void runServiceOnItsOwnThread(const SERVICE_TABLE_ENTRYW* table)
{
    LPSERVICE_MAIN_FUNCTIONW routine = table[0].lpServiceProc;
    serviceThread = std::thread([routine] {
        wchar_t name[] = L"Quorvanta-APIClient";
        LPWSTR argv[] = {name, nullptr};
        routine(1, argv);
    });
    WaitForSingleObject(serviceUnderWay, 5000);
}

void slowHandlerRegistration()
{
    SetEvent(serviceUnderWay);
    Sleep(300);
}

TEST(Entry, WaitsForTheServiceRoutineBeforeReleasingTheEventSource)
{
    serviceUnderWay = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(serviceUnderWay, nullptr);
    FakeSystem fake;
    FakeSystemScope scope(fake);
    fake.onDispatcher = runServiceOnItsOwnThread;
    fake.onRegisterHandler = slowHandlerRegistration;
    wchar_t program[] = L"quorvanta-apiclient.exe";
    wchar_t mode[] = L"server";
    wchar_t* argv[] = {program, mode, nullptr};
    const int exitCode = hostMain(2, argv);
    if (serviceThread.joinable())
        serviceThread.join();
    CloseHandle(serviceUnderWay);
    eventSource = nullptr;

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"RegisterEventSource", "StartServiceCtrlDispatcher",
                                                    "RegisterServiceCtrlHandler", "ReportEvent",
                                                    "DeregisterEventSource"}));
    ASSERT_EQ(fake.events.size(), 1u);
    EXPECT_EQ(fake.events[0].text, L"RegisterServiceCtrlHandler failed with 1060");
}

TEST(Entry, AFailedDispatcherIsLoggedOnceAndStillEndsWithZero)
{
    FakeSystem fake;
    fake.dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    const EntryRun run = runEntry(fake, {});

    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(fake.events.size(), 1u);
    const WrittenEvent& event = fake.events[0];
    EXPECT_EQ(event.source, FakeSystem::eventSource());
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(event.identifier, EVENT_API_FAILURE);
    EXPECT_EQ(event.stringCount, 1);
    EXPECT_EQ(event.text, L"StartServiceCtrlDispatcher failed with 1063");
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"RegisterEventSource", "StartServiceCtrlDispatcher", "ReportEvent",
                                                    "DeregisterEventSource"}));
}

TEST(Entry, WithoutAnEventSourceNothingIsLoggedOrReleased)
{
    FakeSystem fake;
    fake.eventSourceFails = true;
    fake.dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    const EntryRun run = runEntry(fake, {});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"RegisterEventSource", "StartServiceCtrlDispatcher"}));
}

} // namespace
