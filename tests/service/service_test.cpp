// The host against a fake system table, with test_child as its server. Every call through the table lands in one
// ordered log as a reader would say it: status reports by state and fields, event entries by kind and text, waits by
// what they wait for, other calls by name and what the cases read of their arguments.
#include "ServerSockets.h"
#include "entry.h"
#include "event_log.h"
#include "install.h"
#include "server_command_line.h"
#include "server_supervision.h"
#include "service_status.h"
#include "system_api.h"
#include "test_child.h"
#include "test_sockets.h"
#include <algorithm>
#include <atomic>
#include <boost/filesystem/path.hpp>
#include <codecvt>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Strings = std::vector<std::string>;
using Arguments = std::vector<std::wstring>;

// What the fake hands out, named in the log by role. The values are odd: a real handle is a multiple of
// four, so the stop event the host creates can never be taken for one of these.
const auto fakeKey = reinterpret_cast<HKEY>(0x51);
const auto fakeManager = reinterpret_cast<SC_HANDLE>(0x53);
const auto fakeService = reinterpret_cast<SC_HANDLE>(0x55);
const auto fakeEventSource = reinterpret_cast<HANDLE>(0x57);
const auto fakeStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x59);
// However long the host asks to wait, no wait of a test lasts longer.
constexpr DWORD waitLimitMs = 20000;

struct Fake {
    std::wstring modulePath;
    Strings log;
    std::map<std::string, DWORD> failures; // a call fails with the error when its log entry begins with the key
    LPHANDLER_FUNCTION handler = nullptr;
    bool stopWhileWaiting = false; // the SCM sends a stop control while the service waits for a stop or the child
    std::function<void(const SERVICE_STATUS&)> onStatus;
    std::function<void(const SERVICE_TABLE_ENTRYW*)> onDispatch;
    std::function<void()> onRegister;
};
Fake fake;
std::mutex logLock;

// Logs the entry; the error scripted for it (NO_ERROR: none) is returned and left as the last error.
DWORD note(const std::string& entry)
{
    std::lock_guard<std::mutex> guard(logLock);
    fake.log.push_back(entry);
    DWORD error = NO_ERROR;
    for (const auto& [call, code] : fake.failures) {
        if (entry.rfind(call, 0) == 0)
            error = code;
    }
    SetLastError(error);
    return error;
}

// The log after the first entry that begins with the given text; empty without one.
Strings entriesAfter(const std::string& beginning)
{
    std::lock_guard<std::mutex> guard(logLock);
    const auto found = std::find_if(fake.log.begin(), fake.log.end(),
                                    [&](const std::string& entry) { return entry.rfind(beginning, 0) == 0; });
    return found == fake.log.end() ? Strings{} : Strings(found + 1, fake.log.end());
}

std::string quoted(std::wstring_view text)
{
    return '"' + toUtf8(text) + '"';
}

std::string named(DWORD value, std::initializer_list<std::pair<DWORD, const char*>> names)
{
    for (const auto& [known, name] : names) {
        if (value == known)
            return name;
    }
    return std::to_string(value);
}

std::string role(const void* handle)
{
    const std::map<const void*, std::string> roles{
        {fakeKey, "key"}, {fakeManager, "manager"}, {fakeService, "service"}, {fakeEventSource, "source"}};
    if (roles.count(handle) != 0)
        return roles.at(handle);
    if (handle != nullptr && handle == stopEvent)
        return "stop-event";
    return GetProcessId(const_cast<HANDLE>(handle)) != 0 ? "child" : "unknown handle";
}

std::string info(const std::string& text)
{
    return "info \"" + text + '"';
}

std::string error(const std::string& text)
{
    return "error \"" + text + '"';
}

std::string apiFailure(const std::string& text)
{
    return "api-failure \"" + text + '"';
}

BOOL WINAPI fakeSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    std::string entry = named(status->dwCurrentState,
                              {{SERVICE_STOPPED, "STOPPED"},
                               {SERVICE_START_PENDING, "START_PENDING"},
                               {SERVICE_STOP_PENDING, "STOP_PENDING"},
                               {SERVICE_RUNNING, "RUNNING"}});
    if (status->dwCheckPoint != 0)
        entry += " checkpoint=" + std::to_string(status->dwCheckPoint);
    if (status->dwWaitHint != 0)
        entry += " hint=" + std::to_string(status->dwWaitHint);
    // The SCM reads the controls of a service that runs or is pending, the exit codes of a stopped one.
    if (status->dwCurrentState != SERVICE_STOPPED)
        entry += " accepts=" + named(status->dwControlsAccepted, {{0, "none"}, {SERVICE_ACCEPT_STOP, "stop"}});
    if (status->dwCurrentState == SERVICE_STOPPED || status->dwWin32ExitCode != NO_ERROR) {
        entry += " win32=" + std::to_string(status->dwWin32ExitCode)
            + " specific=" + std::to_string(status->dwServiceSpecificExitCode);
    }
    if (handle != fakeStatusHandle || status->dwServiceType != SERVICE_WIN32_OWN_PROCESS)
        entry += " (another service's handle or type)";
    note(entry);
    if (fake.onStatus)
        fake.onStatus(*status);
    return TRUE;
}

BOOL WINAPI fakeReportEvent(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                            LPCWSTR* texts, LPVOID data)
{
    // The message file's identifiers, each with the type its entries are written with.
    const std::map<DWORD, std::pair<WORD, std::string>> kinds{
        {0x40020102, {EVENTLOG_INFORMATION_TYPE, "info"}},
        {0xC0020101, {EVENTLOG_ERROR_TYPE, "error"}},
        {0xC0020100, {EVENTLOG_ERROR_TYPE, "api-failure"}},
    };
    const auto kind = kinds.find(id);
    const bool wellFormed = source == fakeEventSource && kind != kinds.end() && kind->second.first == type
        && category == 1 && user == nullptr && count == 1 && dataSize == 0 && data == nullptr;
    return note((wellFormed ? kind->second.second : "malformed event") + " " + quoted(texts[0])) == NO_ERROR;
}

// As older systems do, a name that does not fit is cut without an error, and the capacity returned.
DWORD WINAPI fakeGetModuleFileName(HMODULE module, LPWSTR buffer, DWORD capacity)
{
    const std::string whose = module == nullptr ? "the host" : "another module";
    if (note("GetModuleFileName of " + whose + ", " + std::to_string(capacity) + " units") != NO_ERROR)
        return 0;
    const std::size_t kept = fake.modulePath.copy(buffer, capacity - 1);
    buffer[kept] = L'\0';
    return kept < fake.modulePath.size() ? capacity : static_cast<DWORD>(kept);
}

std::string waitEntry(const std::string& handles, DWORD milliseconds)
{
    return "wait for " + handles + ", "
        + (milliseconds == INFINITE ? "no time limit" : std::to_string(milliseconds) + " ms");
}

DWORD WINAPI fakeWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (note(waitEntry(role(handle), milliseconds)) != NO_ERROR)
        return WAIT_FAILED;
    return WaitForSingleObject(handle, std::min(milliseconds, waitLimitMs));
}

DWORD WINAPI fakeWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    std::string roles = role(handles[0]);
    for (DWORD i = 1; i < count; ++i)
        roles += (waitAll ? " and " : " or ") + role(handles[i]);
    if (note(waitEntry(roles, milliseconds)) != NO_ERROR)
        return WAIT_FAILED;
    if (fake.stopWhileWaiting)
        fake.handler(SERVICE_CONTROL_STOP);
    return WaitForMultipleObjects(count, handles, waitAll, std::min(milliseconds, waitLimitMs));
}

// The registry answers with a status alone; the last error it leaves is stale.
LSTATUS registryStatus(DWORD error)
{
    SetLastError(NO_ERROR);
    return static_cast<LSTATUS>(error);
}

// The registry keeps what the size covers: the terminating NUL only when it is counted.
LSTATUS WINAPI fakeRegSetValueEx(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size)
{
    std::string entry = "RegSetValueEx " + role(key) + " " + toUtf8(std::wstring_view(name));
    if (type == REG_SZ) {
        const std::wstring_view text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        const bool terminated = !text.empty() && text.back() == L'\0';
        entry += " " + quoted(terminated ? text.substr(0, text.size() - 1) : text) + (terminated ? "" : " without NUL");
    } else {
        entry += " " + std::to_string(*reinterpret_cast<const DWORD*>(data));
    }
    return registryStatus(note(entry));
}

SC_HANDLE WINAPI fakeCreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR, DWORD, DWORD, DWORD start, DWORD,
                                   LPCWSTR command, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)
{
    const std::string entry = "CreateService " + role(manager) + " " + quoted(name) + " "
        + named(start, {{SERVICE_DEMAND_START, "demand-start"}}) + " command=" + quoted(command);
    return note(entry) == NO_ERROR ? fakeService : nullptr;
}

void installFake()
{
    systemApi.setServiceStatus = fakeSetServiceStatus;
    systemApi.reportEvent = fakeReportEvent;
    systemApi.getModuleFileName = fakeGetModuleFileName;
    systemApi.waitForSingleObject = fakeWaitForSingleObject;
    systemApi.waitForMultipleObjects = fakeWaitForMultipleObjects;
    systemApi.regSetValueEx = fakeRegSetValueEx;
    systemApi.createService = fakeCreateService;
    systemApi.registerServiceCtrlHandler = [](LPCWSTR name, LPHANDLER_FUNCTION handler) -> SERVICE_STATUS_HANDLE {
        fake.handler = handler;
        if (fake.onRegister)
            fake.onRegister();
        return note("RegisterServiceCtrlHandler " + quoted(name)) == NO_ERROR ? fakeStatusHandle : nullptr;
    };
    systemApi.startServiceCtrlDispatcher = [](const SERVICE_TABLE_ENTRYW* table) -> BOOL {
        if (note("StartServiceCtrlDispatcher") != NO_ERROR)
            return FALSE;
        if (fake.onDispatch)
            fake.onDispatch(table);
        return TRUE;
    };
    systemApi.createEvent = [](LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initiallySet, LPCWSTR) -> HANDLE {
        const std::string kind = manualReset ? "manual-reset" : "auto-reset";
        if (note("CreateEvent " + kind + (initiallySet ? " signalled" : " unsignalled")) != NO_ERROR)
            return nullptr;
        return CreateEventW(nullptr, manualReset, initiallySet, nullptr);
    };
    systemApi.registerEventSource = [](LPCWSTR, LPCWSTR name) -> HANDLE {
        return note("RegisterEventSource " + quoted(name)) == NO_ERROR ? fakeEventSource : nullptr;
    };
    systemApi.deregisterEventSource
        = [](HANDLE source) -> BOOL { return !note("DeregisterEventSource " + role(source)); };
    systemApi.regCreateKeyEx
        = [](HKEY, LPCWSTR path, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD) {
              *key = fakeKey;
              return registryStatus(note("RegCreateKeyEx " + toUtf8(std::wstring_view(path))));
          };
    systemApi.regCloseKey = [](HKEY key) { return registryStatus(note("RegCloseKey " + role(key))); };
    systemApi.openSCManager = [](LPCWSTR, LPCWSTR, DWORD) { return note("OpenSCManager") ? nullptr : fakeManager; };
    systemApi.changeServiceConfig2
        = [](SC_HANDLE service, DWORD, LPVOID) -> BOOL { return !note("ChangeServiceConfig2 " + role(service)); };
    systemApi.openService = [](SC_HANDLE manager, LPCWSTR name, DWORD) {
        return note("OpenService " + role(manager) + " " + quoted(name)) ? nullptr : fakeService;
    };
    systemApi.deleteService = [](SC_HANDLE service) -> BOOL { return !note("DeleteService " + role(service)); };
    systemApi.closeServiceHandle = [](SC_HANDLE handle) -> BOOL { return !note("CloseServiceHandle " + role(handle)); };
}

void useUtf8ForPaths()
{
    boost::filesystem::path::imbue(std::locale(std::locale(), new std::codecvt_utf8_utf16<wchar_t, 0x10FFFF>));
}

// A narrow encoding that holds no path at all.
struct NoConversion : std::codecvt<wchar_t, char, std::mbstate_t> {
    result do_in(std::mbstate_t&, const char*, const char*, const char*&, wchar_t*, wchar_t*, wchar_t*&) const override
    {
        return error;
    }
    result do_out(std::mbstate_t&, const wchar_t*, const wchar_t*, const wchar_t*&, char*, char*, char*&) const override
    {
        return error;
    }
};

void failPathConversion()
{
    boost::filesystem::path::imbue(std::locale(std::locale(), new NoConversion));
}

// The argument vector as the SCM or the console passes it: the name first, a null last. It points into texts.
std::vector<LPWSTR> argumentVector(const wchar_t* name, Arguments& texts)
{
    std::vector<LPWSTR> pointers{const_cast<LPWSTR>(name)};
    for (std::wstring& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::wstring childOverride()
{
    return L"--executable=" + testChild::path();
}

const std::string handlerRegistered = "RegisterServiceCtrlHandler \"Quorvanta-APIClient\"";
const std::string hostPathRead = "GetModuleFileName of the host, 260 units";
const std::string serverStarted = info("Server started");
const std::string waitForStopOrChild = "wait for stop-event or child, no time limit";
const std::string waitForChild = "wait for child, 5000 ms";

// What every start logs once its control handler is registered, then the rest.
Strings serviceControlStartedThen(const Strings& rest)
{
    Strings log{"CreateEvent manual-reset unsignalled", handlerRegistered,
                "START_PENDING checkpoint=1 hint=6000 accepts=none"};
    log.insert(log.end(), rest.begin(), rest.end());
    return log;
}

// Every case starts as the host does at a fresh start, against the fake. The host is a real file reached through a
// detour, in a folder whose name needs UTF-8.
class HostTest : public testing::Test {
protected:
    void SetUp() override
    {
        installFake();
        fake = Fake{};
        CreateDirectoryW(folder().c_str(), nullptr);
        CreateDirectoryW((folder() + L"\\sub").c_str(), nullptr);
        ASSERT_TRUE(testChild::writeFile(folder() + L"\\host.exe", ""));
        fake.modulePath = folder() + L"\\sub\\..\\.\\host.exe";
        serviceStatus = SERVICE_STATUS{};
        nextCheckPoint = 1;
        statusHandle = nullptr;
        if (stopEvent != nullptr)
            CloseHandle(stopEvent);
        stopEvent = nullptr;
        eventSource = fakeEventSource;
        ProcessArguments.clear();
        useUtf8ForPaths();
        // A child's sockets outlive its exit code under Wine by a moment; the host's own must not.
        for (int attempt = 0; attempt < 250; ++attempt) {
            const SOCKET probe = testSockets::listenOn(serverPort);
            closesocket(probe);
            if (probe != INVALID_SOCKET)
                return;
            Sleep(20);
        }
        FAIL() << "127.0.0.1:54321 stays taken";
    }
    void TearDown() override { processApi = realProcessApi; }

    std::wstring folder() const { return dir.file(L"h\x00F6st-\x4E2D"); }

    // serviceMain on a thread of its own, as the dispatcher runs it, given at most 20 s.
    static void runService(Arguments startArguments)
    {
        std::vector<LPWSTR> argv = argumentVector(serviceName, startArguments);
        auto service
            = std::async(std::launch::async, [&] { serviceMain(static_cast<DWORD>(argv.size() - 1), argv.data()); });
        ASSERT_EQ(std::future_status::ready, service.wait_for(std::chrono::seconds(20))) << "the service never ended";
        service.get();
    }

    ScopedSystemApi restoreSystemApi;
    const ProcessApi realProcessApi = processApi;
    testChild::TempDirectory dir;
};

class StatusReports : public HostTest {};

TEST_F(StatusReports, StartAcceptsNoControlAndCheckpointsCountPendingReportsOnly)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_START_PENDING, 3000);
    reportServiceStatus(SERVICE_RUNNING, 0);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(
        serviceControlStartedThen({"START_PENDING checkpoint=2 hint=3000 accepts=none", "RUNNING accepts=stop",
                                   "STOP_PENDING checkpoint=3 accepts=stop", "STOP_PENDING checkpoint=4 accepts=stop"}),
        fake.log);
}

// The service accepts the stop control alone; any other control that reaches the handler changes nothing.
TEST_F(StatusReports, ControlsOtherThanStopAreIgnored)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_RUNNING, 0);
    serviceControlHandler(SERVICE_CONTROL_INTERROGATE);
    serviceControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(Strings{}, entriesAfter("RUNNING"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(stopEvent, 0)) << "the service was told to stop";
}

// The handler re-reads the state for its second report. A final report slipping in between would be followed by a
// pending one, and the SCM would show the stopped service as stopping for good.
TEST_F(StatusReports, AFinalReportWaitsForTheHandlersSecondReport)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_RUNNING, 0);
    std::thread finalReport;
    fake.onStatus = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_STOP_PENDING || finalReport.joinable())
            return;
        finalReport = std::thread([] { reportServiceStatus(SERVICE_STOPPED, 0); });
        Sleep(100); // time for the final report to come in between, were it let
    };
    serviceControlHandler(SERVICE_CONTROL_STOP);
    if (finalReport.joinable())
        finalReport.join();
    EXPECT_EQ((Strings{"STOP_PENDING checkpoint=2 accepts=stop", "STOP_PENDING checkpoint=3 accepts=stop",
                       "STOPPED win32=0 specific=0"}),
              entriesAfter("RUNNING"));
}

// Wine's dispatcher holds a lock of its own while the handler runs, and takes it again to take in SERVICE_STOPPED.
// Sent under the status lock, the final report and a handler running meanwhile waited for each other for good.
TEST_F(StatusReports, StoppedIsSentWithoutTheStatusLock)
{
    ASSERT_TRUE(startServiceControl());
    std::timed_mutex dispatcherLock;
    std::atomic<bool> controlSent{false};
    bool dispatcherLockTaken = false;
    HANDLE handlerCalled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread dispatcher;
    fake.onStatus = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_STOPPED || controlSent.exchange(true))
            return;
        // A stop control comes in while the system takes in the final report.
        dispatcher = std::thread([&] {
            std::lock_guard<std::timed_mutex> dispatching(dispatcherLock);
            SetEvent(handlerCalled);
            serviceControlHandler(SERVICE_CONTROL_STOP);
        });
        WaitForSingleObject(handlerCalled, 5000);
        dispatcherLockTaken = dispatcherLock.try_lock_for(std::chrono::seconds(2));
        if (dispatcherLockTaken)
            dispatcherLock.unlock();
    };
    reportServiceStatus(SERVICE_STOPPED, 0);
    if (dispatcher.joinable())
        dispatcher.join();
    CloseHandle(handlerCalled);
    EXPECT_TRUE(dispatcherLockTaken) << "the final report and the handler waited for each other";
}

// A failed run stays failed: the SCM's recovery actions read the codes of whatever report comes last.
TEST_F(StatusReports, AStopAfterStoppedRepeatsTheFinalCodes)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_RUNNING, 0);
    reportServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 2);
    serviceControlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Strings(3, "STOPPED win32=1066 specific=2"), entriesAfter("RUNNING"));
}

class EventLog : public HostTest {};

// 255 units and the terminating NUL fill the entry's buffer; the error's sign survives the cut.
TEST_F(EventLog, ApiFailureTextsAreCutAt255Units)
{
    const std::wstring name(241, L'a');
    SetLastError(static_cast<DWORD>(-1));
    reportApiFailure(name.c_str());
    SetLastError(static_cast<DWORD>(-1));
    reportApiFailure((name + L"b").c_str());
    const std::string kept = toUtf8(name);
    EXPECT_EQ((Strings{apiFailure(kept + " failed with -"), apiFailure(kept + "b failed with ")}), fake.log);
}

// A failing row is named by its name, not by its bytes.
template <typename Row>
auto operator<<(std::ostream& out, const Row& row) -> decltype(out << row.name)
{
    return out << row.name;
}

struct ArgumentsRow {
    std::string name;
    Arguments hostArguments;
    Arguments startArguments;
    std::optional<std::string> executable; // none: the server beside the host
    Strings serverArguments;
    bool serverMode;
};

class ServerCommandLine : public HostTest, public testing::WithParamInterface<ArgumentsRow> {};

TEST_P(ServerCommandLine, ComesFromTheOverrideTheHostsAndTheStartArguments)
{
    const ArgumentsRow& row = GetParam();
    ProcessArguments = row.hostArguments;
    Arguments startArguments = row.startArguments;
    std::vector<LPWSTR> argv = argumentVector(serviceName, startArguments);
    std::vector<std::string> assembled;
    bool serverMode = !row.serverMode;
    ASSERT_TRUE(assembleServerArguments(static_cast<DWORD>(argv.size() - 1), argv.data(), assembled, serverMode));
    Strings expected{row.executable.value_or(toUtf8(folder()) + "\\quorvanta-embedded-server.exe")};
    expected.insert(expected.end(), row.serverArguments.begin(), row.serverArguments.end());
    EXPECT_EQ(expected, assembled);
    EXPECT_EQ(row.serverMode, serverMode);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServerCommandLine,
    testing::Values(
        ArgumentsRow{"NoneRunTheServerBesideTheHostInServerMode", {}, {}, std::nullopt, {"server"}, true},
        ArgumentsRow{"QuotedOverrideLosesOnePairOfQuotes",
                     {},
                     {L"--executable=\"C:\\A B\\s.exe\""},
                     "C:\\A B\\s.exe",
                     {"server"},
                     true},
        ArgumentsRow{"OverrideIsCaseSensitive", {}, {L"--Executable=x"}, std::nullopt, {"--Executable=x"}, false},
        ArgumentsRow{"ASecondOverrideIsAnArgument",
                     {},
                     {L"--executable=a", L"--executable=b", L"server"},
                     "a",
                     {"--executable=b", "server"},
                     false},
        ArgumentsRow{"HostArgumentsCannotOverride", {L"--executable=x"}, {}, std::nullopt, {"--executable=x"}, false},
        ArgumentsRow{
            "ServerModeIsSpelledExactly", {}, {L"Server", L"server "}, std::nullopt, {"Server", "server "}, false},
        ArgumentsRow{"ServerModeIsTheFirstArgumentOnly", {}, {L"-v", L"server"}, std::nullopt, {"-v", "server"}, false},
        ArgumentsRow{"HostArgumentsComeFirst", {L"server"}, {L"--executable=x", L"-v"}, "x", {"server", "-v"}, true},
        ArgumentsRow{"UnconvertibleArgumentsKeepTheirPlaces",
                     {L"a\xD800", L"b"},
                     {L"\xDC00z", L"c"},
                     std::nullopt,
                     {"", "b", "", "c"},
                     false}),
    [](const testing::TestParamInfo<ArgumentsRow>& row) { return row.param.name; });

// The roads through serviceMain. A failure tells the SCM first, then the operator why; its final status carries the
// cause, so that the SCM's recovery actions can act on it.
class ServiceRun : public HostTest {};

TEST_F(ServiceRun, CreateEventFailureIsWrittenWithoutAnyStatus)
{
    fake.failures["CreateEvent"] = 0x80070005;
    runService({});
    EXPECT_EQ((Strings{"CreateEvent manual-reset unsignalled", apiFailure("CreateEvent failed with -2147024891")}),
              fake.log);
}

struct HostPathRow {
    std::string name;
    void (*breakHostPath)();
    DWORD win32;
};

class HostPathRoads : public HostTest, public testing::WithParamInterface<HostPathRow> {};

TEST_P(HostPathRoads, StopTheServiceWithTheCause)
{
    GetParam().breakHostPath();
    runService({L"-v"});
    EXPECT_EQ(
        serviceControlStartedThen({hostPathRead, "STOPPED win32=" + std::to_string(GetParam().win32) + " specific=0",
                                   error("Could not resolve path to server")}),
        fake.log);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostPathRoads,
    testing::Values(HostPathRow{"Unreadable", [] { fake.failures["GetModuleFileName"] = ERROR_NOT_ENOUGH_MEMORY; },
                                ERROR_NOT_ENOUGH_MEMORY},
                    // Canonical, a cut name would name another file, or none.
                    HostPathRow{"Cut", [] { fake.modulePath = std::wstring(300, L'x'); }, ERROR_INSUFFICIENT_BUFFER},
                    HostPathRow{"InAMissingFolder", [] { fake.modulePath = L"C:\\no-such-folder\\host.exe"; },
                                ERROR_BAD_PATHNAME},
                    HostPathRow{"Unconvertible", failPathConversion, ERROR_NO_UNICODE_TRANSLATION}),
    [](const testing::TestParamInfo<HostPathRow>& row) { return row.param.name; });

TEST_F(ServiceRun, RunningOutOfMemoryStopsWithNotEnoughMemory)
{
    systemApi.getModuleFileName = [](HMODULE, LPWSTR, DWORD) -> DWORD { throw std::bad_alloc(); };
    runService({});
    EXPECT_EQ(serviceControlStartedThen({"STOPPED win32=8 specific=0"}), fake.log);
}

TEST_F(ServiceRun, AnyOtherExceptionStopsWithInternalError)
{
    systemApi.getModuleFileName = [](HMODULE, LPWSTR, DWORD) -> DWORD { throw std::runtime_error("unexpected"); };
    runService({});
    EXPECT_EQ(serviceControlStartedThen({"STOPPED win32=1359 specific=0"}), fake.log);
}

TEST_F(ServiceRun, MissingServerStopsWithFileNotFound)
{
    const std::string missing = dir.fileUtf8(L"missing.exe");
    runService({L"--executable=" + toWide(missing), L"exit"});
    EXPECT_EQ(serviceControlStartedThen({info("Launching server executable " + missing),
                                         "START_PENDING checkpoint=2 hint=3000 accepts=none",
                                         "STOPPED win32=2 specific=0", error("Could not start server process")}),
              fake.log);
}

TEST_F(ServiceRun, UnconvertibleServerPathStopsWithNoUnicodeTranslation)
{
    failPathConversion();
    runService({L"--executable=C:\\server.exe", L"exit"});
    EXPECT_EQ((Strings{"STOPPED win32=1113 specific=0", error("Could not start server process")}),
              entriesAfter("START_PENDING checkpoint=2"));
}

// Without a program name the system would take the next argument for the program and run that.
TEST_F(ServiceRun, EmptyServerPathIsNeverLaunched)
{
    const std::wstring report = dir.file(L"report.txt");
    runService({L"--executable=\"\"", testChild::path(), L"echo-args", report});
    EXPECT_EQ((Strings{"STOPPED win32=87 specific=0", error("Could not start server process")}),
              entriesAfter("START_PENDING checkpoint=2"));
    EXPECT_FALSE(testChild::readFile(report).has_value()) << "a program was started";
}

// The SCM may start the service again as soon as it hears it stopped.
TEST_F(ServiceRun, FailedLaunchLetsGoOfTheSocketsBeforeStopped)
{
    std::optional<Strings> heldWhenStopped;
    fake.onStatus = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_STOPPED)
            return;
        heldWhenStopped.emplace();
        for (SOCKET socket : testSockets::heldSockets())
            heldWhenStopped->push_back(testSockets::name(socket));
    };
    runService({L"--executable=" + dir.file(L"missing.exe"), L"server"});
    EXPECT_EQ(Strings{}, heldWhenStopped.value_or(Strings{"no final report"}));
}

TEST_F(ServiceRun, ChildEndingWithZeroStopsTheServiceCleanly)
{
    runService({childOverride(), L"exit", L"0"});
    EXPECT_EQ(serviceControlStartedThen({info("Launching server executable " + testChild::pathUtf8()),
                                         "START_PENDING checkpoint=2 hint=3000 accepts=none", "RUNNING accepts=stop",
                                         serverStarted, waitForStopOrChild, info("Server terminated successfully"),
                                         "STOPPED win32=0 specific=0"}),
              fake.log);
}

// The sockets are set up (one start-pending report per attempt) before the launch.
TEST_F(ServiceRun, ServerModeChildEndingWithSixStopsTheServiceWithSix)
{
    runService({childOverride(), L"server", L"exit", L"6"});
    EXPECT_EQ(serviceControlStartedThen({info("Launching server executable " + testChild::pathUtf8()),
                                         "START_PENDING checkpoint=2 hint=5100 accepts=none",
                                         "START_PENDING checkpoint=3 hint=3000 accepts=none", "RUNNING accepts=stop",
                                         serverStarted, waitForStopOrChild,
                                         error("Server terminated: could not open log file"),
                                         "STOPPED win32=1066 specific=6"}),
              fake.log);
}

// Outside server mode the child has no connection to watch: a stop ends it at once.
TEST_F(ServiceRun, StopOutsideServerModeTerminatesTheChildAtOnce)
{
    fake.stopWhileWaiting = true;
    runService({childOverride(), L"sleep", L"30000"});
    EXPECT_EQ(
        (Strings{waitForStopOrChild, "STOP_PENDING checkpoint=3 accepts=stop", "STOP_PENDING checkpoint=4 accepts=stop",
                 waitForChild, error("Server terminated unexpectedly with code 255"), "STOPPED win32=0 specific=0"}),
        entriesAfter(serverStarted));
}

// Its own exit code (7) shows that the child ended by itself when the host closed its end of the pair.
TEST_F(ServiceRun, StopInServerModeLetsTheChildEndWhenItsConnectionCloses)
{
    fake.stopWhileWaiting = true;
    runService({childOverride(), L"server", L"until-close", L"7", dir.file(L"report.txt")});
    EXPECT_EQ(
        (Strings{waitForStopOrChild, "STOP_PENDING checkpoint=4 accepts=stop", "STOP_PENDING checkpoint=5 accepts=stop",
                 waitForChild, error("Server terminated: error running the server"), "STOPPED win32=0 specific=0"}),
        entriesAfter(serverStarted));
}

// One grace period for the child to end by itself, one more for the termination to take.
TEST_F(ServiceRun, ChildIgnoringTheCloseIsTerminatedAfterTheGracePeriod)
{
    fake.stopWhileWaiting = true;
    runService({childOverride(), L"server", L"ignore-close", dir.file(L"ignored.txt")});
    EXPECT_EQ((Strings{waitForStopOrChild, "STOP_PENDING checkpoint=4 accepts=stop",
                       "STOP_PENDING checkpoint=5 accepts=stop", waitForChild, waitForChild,
                       error("Server terminated unexpectedly with code 255"), "STOPPED win32=0 specific=0"}),
              entriesAfter(serverStarted));
}

// Whatever ended the wait, the child is stopped in stages; the failed wait is the host's failure.
TEST_F(ServiceRun, FailedWaitStopsTheChildAndTheServiceWithTheWaitsError)
{
    fake.failures[waitForStopOrChild] = ERROR_INVALID_HANDLE;
    runService({childOverride(), L"server", L"until-close", L"0", dir.file(L"report.txt")});
    EXPECT_EQ((Strings{waitForStopOrChild, waitForChild, info("Server terminated successfully"),
                       "STOPPED win32=6 specific=0"}),
              entriesAfter(serverStarted));
}

// The marker that stands in for an unreadable exit code is no code of the child's.
TEST_F(ServiceRun, UnreadableExitCodeStopsTheServiceWithTheSystemsError)
{
    processApi.getExitCodeProcess = [](HANDLE, LPDWORD) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    runService({childOverride(), L"exit", L"3"});
    EXPECT_EQ((Strings{waitForStopOrChild, "STOPPED win32=5 specific=0",
                       error("Server terminated; its exit code could not be read (error 5)")}),
              entriesAfter(serverStarted));
}

TEST_F(ServiceRun, UnreadableExitCodeWithoutAReasonStopsWithInternalError)
{
    processApi.getExitCodeProcess = [](HANDLE, LPDWORD) -> BOOL {
        SetLastError(NO_ERROR);
        return FALSE;
    };
    runService({childOverride(), L"exit", L"3"});
    EXPECT_EQ((Strings{waitForStopOrChild, "STOPPED win32=1359 specific=0",
                       error("Server terminated; its exit code could not be read (error 1359)")}),
              entriesAfter(serverStarted));
}

// The value that stands in for an unreadable exit code is also one a child can end with.
TEST_F(ServiceRun, ChildEndingWithTheUnreadableMarkersValueHasItsCodeHandedOn)
{
    runService({childOverride(), L"exit", L"0x80000004"});
    EXPECT_EQ((Strings{waitForStopOrChild, error("Server terminated unexpectedly with code -2147483644"),
                       "STOPPED win32=1066 specific=2147483652"}),
              entriesAfter(serverStarted));
}

// What the child reports, line by line: its arguments, the names of the sockets it was told of, the sockets it holds.
TEST_F(ServiceRun, ServerModeChildHoldsExactlyTheListenerAndItsEndOfThePair)
{
    const std::wstring report = dir.file(L"report.txt");
    fake.stopWhileWaiting = true;
    runService({childOverride(), L"server", L"until-close", L"7", report});
    std::istringstream text(testChild::readFile(report).value_or(""));
    Strings lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    ASSERT_EQ(12u, lines.size()) << "the child's report: " << text.str();
    const std::string listener = lines[4].substr(4);
    const std::string connection = lines[6].substr(4);
    const bool listenerFirst = std::stoull(listener) < std::stoull(connection);
    const std::string held = listenerFirst ? listener + " " + connection : connection + " " + listener;
    EXPECT_EQ((Strings{"arg until-close", "arg 7", "arg " + toUtf8(report), "arg --pre-established-listener",
                       "arg " + listener, "arg --pre-established-connection", "arg " + connection,
                       "arg --max-file-write-cache-size", "arg 1073741824", "listener 127.0.0.1:54321",
                       "connection 127.0.0.1:54321", "sockets " + held}),
              lines);
}

TEST_F(ServiceRun, ServerModeHostKeepsOnlyItsEndOfThePairWhileTheChildRuns)
{
    Strings peersWhileRunning;
    fake.onStatus = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_RUNNING)
            return;
        for (SOCKET socket : testSockets::heldSockets())
            peersWhileRunning.push_back(testSockets::name(socket, true));
    };
    fake.stopWhileWaiting = true;
    runService({childOverride(), L"server", L"until-close", L"7", dir.file(L"report.txt")});
    EXPECT_EQ(Strings{"127.0.0.1:54321"}, peersWhileRunning);
}

const std::string elevationHint = "Run this command from an elevated prompt (Run as administrator).\n";
const std::string missingFilesWarning
    = "Warning: quorvanta-embedded-server.exe is missing beside the host; the service cannot start until it is there.\n"
      "Warning: quorvanta_errors.dll is missing beside the host; Event Viewer cannot show this service's event texts"
      " until it is there.\n";

struct ConsoleOutput {
    bool succeeded;
    std::string printed;
    std::string warned;
};

ConsoleOutput runConsoleCommand(bool (*command)())
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool succeeded = command();
    const std::string printed = testing::internal::GetCapturedStdout();
    return {succeeded, printed, testing::internal::GetCapturedStderr()};
}

class ConsoleCommands : public HostTest {};

// The service runs the very file that was started, by the path it was started with; the event source names the
// message file beside the canonical host, its NUL counted.
TEST_F(ConsoleCommands, InstallRegistersTheEventSourceAndTheService)
{
    const ConsoleOutput output = runConsoleCommand(installService);
    EXPECT_TRUE(output.succeeded);
    EXPECT_EQ("Service installed successfully\n", output.printed);
    EXPECT_EQ(missingFilesWarning, output.warned);
    const std::string folderUtf8 = toUtf8(folder());
    EXPECT_EQ((Strings{hostPathRead,
                       "RegCreateKeyEx SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                       "Quorvanta-APIClient",
                       "RegSetValueEx key EventMessageFile \"" + folderUtf8 + "\\quorvanta_errors.dll\"",
                       "RegSetValueEx key TypesSupported 7", "RegCloseKey key", "OpenSCManager",
                       "CreateService manager \"Quorvanta-APIClient\" demand-start command=\"\"" + folderUtf8
                           + "\\sub\\..\\.\\host.exe\" \"server\"\"",
                       "ChangeServiceConfig2 service", "CloseServiceHandle service", "CloseServiceHandle manager"}),
              fake.log);
}

// Registering a cut path would point the service and the event source at a file that does not exist.
TEST_F(ConsoleCommands, InstallRefusesACutHostPathAndWritesNothing)
{
    fake.modulePath = std::wstring(300, L'x');
    const ConsoleOutput output = runConsoleCommand(installService);
    EXPECT_FALSE(output.succeeded);
    EXPECT_EQ("Cannot install service (122)\n", output.printed);
    EXPECT_EQ(Strings{hostPathRead}, fake.log);
}

struct RefusalRow {
    std::string name;
    bool (*command)();
    std::string refusedCall; // the beginning of its log entry
    DWORD error;
    std::string printed;
    std::string warned;
    Strings afterwards; // the log after the refused call
};

class ConsoleRefusals : public HostTest, public testing::WithParamInterface<RefusalRow> {};

// A script hears of every failure through the exit code; nothing more is tried, and what was opened is closed.
TEST_P(ConsoleRefusals, PrintTheCauseCloseWhatWasOpenedAndFail)
{
    const RefusalRow& row = GetParam();
    fake.failures[row.refusedCall] = row.error;
    const ConsoleOutput output = runConsoleCommand(row.command);
    EXPECT_FALSE(output.succeeded);
    EXPECT_EQ(row.printed, output.printed);
    EXPECT_EQ(row.warned, output.warned);
    EXPECT_EQ(row.afterwards, entriesAfter(row.refusedCall));
}

INSTANTIATE_TEST_SUITE_P(Rows, ConsoleRefusals,
                         testing::Values(RefusalRow{"EventSourceKeyDenied",
                                                    installService,
                                                    "RegCreateKeyEx",
                                                    ERROR_ACCESS_DENIED,
                                                    "Failed to create registry key (5)\n",
                                                    elevationHint,
                                                    {}},
                                         RefusalRow{"MessageFileValueRefused",
                                                    installService,
                                                    "RegSetValueEx key EventMessageFile",
                                                    ERROR_INVALID_FUNCTION,
                                                    "Failed to create registry key (1)\n",
                                                    "",
                                                    {"RegCloseKey key"}},
                                         RefusalRow{"CreateServiceFailsWithAnHresult",
                                                    installService,
                                                    "CreateService",
                                                    0x80070005,
                                                    "CreateService failed (-2147024891)\n",
                                                    "",
                                                    {"CloseServiceHandle manager"}},
                                         // Installed all the same, and warned about, but not as described.
                                         RefusalRow{
                                             "DescriptionDenied",
                                             installService,
                                             "ChangeServiceConfig2",
                                             ERROR_ACCESS_DENIED,
                                             "Service installed successfully\nFailed to set service description (5)\n",
                                             elevationHint + missingFilesWarning,
                                             {"CloseServiceHandle service", "CloseServiceHandle manager"}},
                                         RefusalRow{"ServiceMarkedForDeletion",
                                                    uninstallService,
                                                    "DeleteService",
                                                    ERROR_SERVICE_MARKED_FOR_DELETE,
                                                    "DeleteService failed (1072)\n",
                                                    "",
                                                    {"CloseServiceHandle service", "CloseServiceHandle manager"}}),
                         [](const testing::TestParamInfo<RefusalRow>& row) { return row.param.name; });

class EntryPoint : public HostTest {};

// Only a first argument spelled exactly "install" or "uninstall" is a command. Any other command line belongs to the
// server, kept for it, with paths set up as UTF-8, before the dispatcher starts the service thread.
TEST_F(EntryPoint, AnyOtherCommandLineIsKeptForTheServerAndGoesToTheDispatcher)
{
    Strings seenAtDispatch;
    fake.onDispatch = [&](const SERVICE_TABLE_ENTRYW*) {
        seenAtDispatch.push_back("path text " + boost::filesystem::path(L"\x00E9").string());
        for (const std::wstring& argument : ProcessArguments)
            seenAtDispatch.push_back("kept " + toUtf8(argument));
    };
    failPathConversion();
    Arguments commandLine{L"Install", L"install"};
    std::vector<LPWSTR> argv = argumentVector(L"quorvanta-apiclient.exe", commandLine);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, hostMain(static_cast<int>(argv.size() - 1), argv.data()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ((Strings{"path text \xC3\xA9", "kept Install", "kept install"}), seenAtDispatch);
    EXPECT_EQ((Strings{"RegisterEventSource \"Quorvanta-APIClient\"", "StartServiceCtrlDispatcher",
                       "DeregisterEventSource source"}),
              fake.log);
}

// The dispatcher returns once the service has reported SERVICE_STOPPED, which on a failure road comes before the
// entry that says why: the entry point waits for the service routine (here slow to fail for want of an SCM) before it
// lets go of the event source.
TEST_F(EntryPoint, WaitsForTheServiceRoutineBeforeClosingTheEventSource)
{
    std::thread routine;
    HANDLE underWay = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fake.failures["RegisterServiceCtrlHandler"] = ERROR_SERVICE_DOES_NOT_EXIST;
    fake.onRegister = [&] {
        SetEvent(underWay);
        Sleep(300);
    };
    fake.onDispatch = [&](const SERVICE_TABLE_ENTRYW* table) {
        routine = std::thread([service = table[0].lpServiceProc] {
            Arguments none;
            service(1, argumentVector(serviceName, none).data());
        });
        WaitForSingleObject(underWay, 5000);
    };
    Arguments none;
    std::vector<LPWSTR> argv = argumentVector(L"quorvanta-apiclient.exe", none);
    EXPECT_EQ(0, hostMain(1, argv.data()));
    if (routine.joinable())
        routine.join();
    CloseHandle(underWay);
    EXPECT_EQ((Strings{"RegisterEventSource \"Quorvanta-APIClient\"", "StartServiceCtrlDispatcher",
                       "CreateEvent manual-reset unsignalled", handlerRegistered,
                       apiFailure("RegisterServiceCtrlHandler failed with 1060"), "DeregisterEventSource source"}),
              fake.log);
}

} // namespace
