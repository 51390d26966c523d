#include "Debug.h"
#include "TextConversion.h"
#include "entry.h"
#include "event_log.h"
#include "fake_system.h"
#include "server_command_line.h"

#include <boost/filesystem/path.hpp>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

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
    int exitCode;
    std::string out;
    std::string err;
};

// Runs the entry point with the arguments after the program name.
EntryRun runEntry(FakeSystem& fake, std::vector<std::wstring> arguments)
{
    dispatcherView = DispatcherView{};
    // The service road replaces whatever the list held.
    ProcessArguments = {L"left over"};
    if (fake.onDispatcher == nullptr)
        fake.onDispatcher = observeDispatcher;
    arguments.insert(arguments.begin(), L"quorvanta-apiclient.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    FakeSystemScope scope(fake);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int exitCode = hostMain(static_cast<int>(arguments.size()), argv.data());
    eventSource = nullptr;
    std::string out = testing::internal::GetCapturedStdout();
    return {exitCode, out, testing::internal::GetCapturedStderr()};
}

const Calls serviceRoad{"RegisterEventSource", "StartServiceCtrlDispatcher", "DeregisterEventSource"};

// Only argv[1] spelled exactly "install" or "uninstall" is a command; every
// other command line is the service's and is kept for the server. Either way
// the event source is registered first.
TEST(Entry, DispatchesOnTheFirstArgumentSpelledExactly)
{
    const struct {
        std::vector<std::wstring> arguments;
        const char* failing; // ends a command at its first call
        const char* output;
        Calls calls;
    } roads[] = {
        {{L"install", L"--ignored", L"more"}, "GetModuleFileName", "Cannot install service (5)\n",
         {"RegisterEventSource", "GetModuleFileName"}},
        {{L"uninstall"}, "OpenSCManager", "OpenSCManager failed (5)\n", {"RegisterEventSource", "OpenSCManager"}},
        {{L"server"}, "", "", serviceRoad},
        {{L"Install"}, "", "", serviceRoad},
        {{L"UNINSTALL"}, "", "", serviceRoad},
        {{L"server", L"install"}, "", "", serviceRoad},
        {{L"install "}, "", "", serviceRoad},
    };
    for (const auto& road : roads) {
        const std::string what = toUtf8(road.arguments[0]);
        FakeSystem fake;
        fake.failures[road.failing] = ERROR_ACCESS_DENIED;
        const EntryRun run = runEntry(fake, road.arguments);
        EXPECT_EQ(road.output, run.out) << what;
        // Failed commands exit 1 and, denied, advise elevation.
        EXPECT_EQ(*road.failing ? 1 : 0, run.exitCode) << what;
        EXPECT_EQ(*road.failing ? "Run this command from an elevated prompt (Run as administrator).\n" : "", run.err)
            << what;
        EXPECT_EQ(road.calls, fake.calls) << what;
        EXPECT_EQ("null, \"Quorvanta-APIClient\"", fake.arguments["RegisterEventSource"]) << what;
        EXPECT_EQ(road.calls == serviceRoad, dispatcherView.called) << what;
        if (dispatcherView.called) {
            EXPECT_EQ(road.arguments, dispatcherView.processArguments) << what;
        }
    }
}

TEST(Entry, PreparesTheProcessBeforeTheDispatcherStarts)
{
    FakeSystem fake;
    runEntry(fake, {L"server"});
    ASSERT_TRUE(dispatcherView.called);
    EXPECT_EQ(L"Quorvanta-APIClient", dispatcherView.tableName);
    EXPECT_TRUE(dispatcherView.tableEndsWithNullEntry);
    EXPECT_EQ(FakeSystem::eventSource(), dispatcherView.eventSource);
    EXPECT_FALSE(dispatcherView.debugConfig.abortOnError);
    EXPECT_EQ(nullptr, dispatcherView.debugConfig.outputCallback);
    EXPECT_EQ(nullptr, dispatcherView.debugConfig.callbackContext);
    EXPECT_EQ(stdout, dispatcherView.debugConfig.outputStream);
    // Narrow path text is UTF-8 from here on, astral characters included.
    EXPECT_EQ("d\xC3\xA9j\xC3\xA0-\xF0\x9F\x98\x80.txt", dispatcherView.narrowPath);
    EXPECT_EQ("source", fake.arguments["DeregisterEventSource"]);
}

// The dispatcher returns once the service has reported SERVICE_STOPPED, which
// on the failure roads comes before the entry that says why: the process must
// not end before the service routine is done. Here the routine runs on a
// thread of its own, as the dispatcher's service thread would; the dispatcher
// returns as soon as the routine is under way, and the routine then takes a
// while before it writes its one entry (it fails for want of an SCM).
std::thread serviceThread;
HANDLE serviceUnderWay = nullptr;

TEST(Entry, WaitsForTheServiceRoutineBeforeReleasingTheEventSource)
{
    serviceUnderWay = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, serviceUnderWay);
    FakeSystem fake;
    fake.onDispatcher = [](const SERVICE_TABLE_ENTRYW* table) {
        LPSERVICE_MAIN_FUNCTIONW routine = table[0].lpServiceProc;
        serviceThread = std::thread([routine] {
            wchar_t name[] = L"Quorvanta-APIClient";
            LPWSTR argv[] = {name, nullptr};
            routine(1, argv);
        });
        WaitForSingleObject(serviceUnderWay, 5000);
    };
    fake.onRegisterHandler = [] {
        SetEvent(serviceUnderWay);
        Sleep(300);
    };
    runEntry(fake, {L"server"});
    if (serviceThread.joinable())
        serviceThread.join();
    CloseHandle(serviceUnderWay);

    EXPECT_EQ((Calls{"RegisterEventSource", "StartServiceCtrlDispatcher", "RegisterServiceCtrlHandler", "ReportEvent",
                     "DeregisterEventSource"}),
              fake.calls);
    EXPECT_NE(std::string::npos, fake.arguments["ReportEvent"].find("\"RegisterServiceCtrlHandler failed with 1060\""));
}

TEST(Entry, AFailedDispatcherIsLoggedOnceOnlyWithAnEventSource)
{
    FakeSystem fake;
    fake.failures["StartServiceCtrlDispatcher"] = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    const EntryRun console = runEntry(fake, {});
    EXPECT_EQ(1, console.exitCode);
    EXPECT_EQ(0u, console.err.rfind("Quorvanta-APIClient " QUORVANTA_VERSION " - ", 0)) << console.err;
    for (const char* part : {" install ", " uninstall ", "Service Control Manager", "--executable=<path>"})
        EXPECT_NE(std::string::npos, console.err.find(part)) << part;
    EXPECT_EQ((Calls{"RegisterEventSource", "StartServiceCtrlDispatcher", "ReportEvent", "DeregisterEventSource"}),
              fake.calls);
    EXPECT_EQ("source, " + std::to_string(EVENTLOG_ERROR_TYPE) + ", 1, " + std::to_string(EVENT_API_FAILURE)
                  + ", null, 1, 0, \"StartServiceCtrlDispatcher failed with 1063\", null",
              fake.arguments["ReportEvent"]);

    FakeSystem withoutSource;
    withoutSource.failures["RegisterEventSource"] = ERROR_ACCESS_DENIED;
    withoutSource.failures["StartServiceCtrlDispatcher"] = ERROR_INVALID_DATA; // not a console start: no usage
    const EntryRun other = runEntry(withoutSource, {});
    EXPECT_EQ((Calls{"RegisterEventSource", "StartServiceCtrlDispatcher"}), withoutSource.calls);
    EXPECT_EQ(1, other.exitCode);
    EXPECT_EQ("StartServiceCtrlDispatcher failed with 13\n", other.err);
}

} // namespace
