// The host against one fake of the system table, with test_child as its server. Every call through the table
// lands in one ordered log: Win32 calls by name and arguments, status reports and event entries in lower case.
#include "entry.h"
#include "event_log.h"
#include "install.h"
#include "server_command_line.h"
#include "server_supervision.h"
#include "service_status.h"
#include "system_api.h"
#include "test_child.h"
#include "test_sockets.h"
#include <boost/filesystem/path.hpp>
#include <codecvt>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using Strings = std::vector<std::string>;
using Args = std::vector<std::wstring>;
using testSockets::listenOn;
namespace {
const auto key = reinterpret_cast<HKEY>(0x51);
const auto manager = reinterpret_cast<SC_HANDLE>(0x52), service = reinterpret_cast<SC_HANDLE>(0x53);
const auto source = reinterpret_cast<HANDLE>(0x54);
const auto statusOfFake = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x55);
const Strings begun{"CreateEvent null 1 0 null", "RegisterServiceCtrlHandler \"Quorvanta-APIClient\"",
                    "status 2 0 1 6000 0/0"};
const std::string stopped = "status 1 1 0 0 0/0", launching = "info Launching server executable ";
struct Fake {
    std::wstring modulePath;
    Strings log;
    std::map<std::string, DWORD> failures; // a call whose log line starts with the key fails with the value
    LPHANDLER_FUNCTION handler = nullptr;
    std::function<void(const SERVICE_STATUS&)> onStatus;
    std::function<void(const SERVICE_TABLE_ENTRYW*)> onDispatch;
    std::function<void()> onRegister;
} fake;
std::mutex logLock;
std::string arg(const std::string& text)
{
    return text;
}
std::string arg(const wchar_t* text)
{
    return text ? '"' + toUtf8(text) + '"' : "null";
}
std::string arg(unsigned long value)
{
    return std::to_string(value);
}
std::string arg(const void* handle)
{
    const std::map<const void*, std::string> roles{{nullptr, "null"},    {HKEY_LOCAL_MACHINE, "HKLM"},
                                                   {key, "key"},         {manager, "manager"},
                                                   {service, "service"}, {source, "source"}};
    return roles.count(handle) ? roles.at(handle) : "ptr";
}
// Logs a call; its scripted error (0: none) is returned and left as the last error.
template <typename... Args>
DWORD note(const std::string& call, Args... args)
{
    std::lock_guard<std::mutex> guard(logLock);
    std::string& line = fake.log.emplace_back(call);
    ((line += " " + arg(args)), ...);
    DWORD error = 0;
    for (const auto& [prefix, code] : fake.failures)
        error = line.rfind(prefix, 0) == 0 ? code : error;
    return SetLastError(error), error;
}
bool logged(const std::string& line)
{
    std::lock_guard<std::mutex> guard(logLock);
    return std::count(fake.log.begin(), fake.log.end(), line) > 0;
}
// Registry calls tell their status only; the last error is stale then.
LSTATUS registry(DWORD error)
{
    return SetLastError(0), static_cast<LSTATUS>(error);
}

void installFake()
{
    systemApi.setServiceStatus = [](SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) -> BOOL {
        note("status " + std::to_string(s->dwCurrentState), s->dwControlsAccepted, s->dwCheckPoint, s->dwWaitHint,
             std::to_string(s->dwWin32ExitCode) + "/" + std::to_string(s->dwServiceSpecificExitCode)
                 + (handle == statusOfFake && s->dwServiceType == SERVICE_WIN32_OWN_PROCESS ? "" : " bad"));
        return fake.onStatus ? fake.onStatus(*s) : void(), TRUE;
    };
    systemApi.reportEvent = [](HANDLE from, WORD type, WORD category, DWORD id, PSID sid, WORD count, DWORD size,
                               LPCWSTR* texts, LPVOID data) -> BOOL {
        const std::map<DWORD, std::string> kinds{
            {0x40020102, "info"}, {0xC0020101, "error"}, {0xC0020100, "api"}}; // the message file's
        const bool plain = from == source
            && type == (id == 0x40020102 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE) && category == 1 && !sid
            && count == 1 && !size && !data && kinds.count(id);
        return !note(plain ? kinds.at(id) : "event?", toUtf8(count ? texts[0] : L""));
    };
    systemApi.registerServiceCtrlHandler = [](LPCWSTR name, LPHANDLER_FUNCTION handler) -> SERVICE_STATUS_HANDLE {
        fake.onRegister ? fake.onRegister() : void(fake.handler = handler);
        return note("RegisterServiceCtrlHandler", name) ? nullptr : statusOfFake;
    };
    systemApi.getModuleFileName = [](HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
        if (note("GetModuleFileName", module, size))
            return 0;
        const DWORD kept = DWORD(fake.modulePath.copy(buffer, size - 1)); // as the system does: cut, the size returned
        return buffer[kept] = L'\0',
               kept < fake.modulePath.size() ? (SetLastError(ERROR_INSUFFICIENT_BUFFER), size) : kept;
    };
    systemApi.createEvent
        = [](auto... a) -> HANDLE { return note("CreateEvent", a...) ? nullptr : CreateEventW(a...); };
    systemApi.regCreateKeyEx = [](auto... a) {
        *std::get<7>(std::tuple(a...)) = key;
        return registry(note("RegCreateKeyEx", a...));
    };
    systemApi.regSetValueEx = [](HKEY at, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
        const std::wstring text(reinterpret_cast<const wchar_t*>(data),
                                size / 2); // its NUL too, when the size counts it
        const std::string value
            = type == REG_DWORD && size == 4 ? std::to_string(*reinterpret_cast<const DWORD*>(data)) : toUtf8(text);
        return registry(note("RegSetValueEx", at, name, reserved, type, value));
    };
    systemApi.regCloseKey = [](auto... a) { return registry(note("RegCloseKey", a...)); };
    systemApi.openSCManager = [](auto... a) { return note("OpenSCManager", a...) ? nullptr : manager; };
    systemApi.createService = [](auto... a) { return note("CreateService", a...) ? nullptr : service; };
    systemApi.openService = [](auto... a) { return note("OpenService", a...) ? nullptr : service; };
    systemApi.changeServiceConfig2 = [](auto... a) -> BOOL { return !note("ChangeServiceConfig2", a...); };
    systemApi.deleteService = [](auto... a) -> BOOL { return !note("DeleteService", a...); };
    systemApi.closeServiceHandle = [](auto... a) -> BOOL { return !note("CloseServiceHandle", a...); };
    systemApi.registerEventSource = [](auto... a) { return note("RegisterEventSource", a...) ? nullptr : source; };
    systemApi.deregisterEventSource = [](auto... a) -> BOOL { return !note("DeregisterEventSource", a...); };
    systemApi.startServiceCtrlDispatcher = [](const SERVICE_TABLE_ENTRYW* table) -> BOOL {
        const DWORD error = note("StartServiceCtrlDispatcher");
        return !error && fake.onDispatch ? fake.onDispatch(table) : void(), SetLastError(error), !error;
    };
}
struct NoConversion : std::codecvt<wchar_t, char, std::mbstate_t> { // a narrow encoding that holds no path at all
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
std::vector<LPWSTR> argvOf(Args& texts, const wchar_t* name)
{ // as the SCM or the console passes it: name first, null last
    texts.insert(texts.begin(), name);
    std::vector<LPWSTR> pointers(texts.size() + 1);
    return std::transform(texts.begin(), texts.end(), pointers.begin(), [](std::wstring& text) { return text.data(); }),
           pointers;
}
std::wstring child()
{
    return L"--executable=" + testChild::path();
}
// The log of a run that reached the child and ended with the given entry, a stop control's two reports included.
Strings ran(bool serverMode, const std::string& end, bool stop, const std::string& exit = "0/0")
{
    const DWORD at = serverMode ? 3 : 2;
    Strings log{begun[0],
                begun[1],
                begun[2],
                launching + toUtf8(testChild::path()),
                "status 2 0 2 5100 0/0",
                "status 2 0 " + std::to_string(at) + " 3000 0/0",
                "status 4 1 0 0 0/0",
                "info Server started"};
    log.erase(log.begin() + 4, log.begin() + (serverMode ? 4 : 5));
    for (DWORD i = 1; stop && i <= 2; ++i)
        log.push_back("status 3 1 " + std::to_string(at + i) + " 0 0/0");
    return log.insert(log.end(), {end, "status 1 1 0 0 " + exit}), log;
}
// The handler's stop-pending reports may land beside the exit entry: up behind "Server started" (not past the last).
Strings settled(Strings log)
{
    const auto started = std::find(log.begin(), log.end(), "info Server started");
    if (log.size() > 1 && started < log.end() - 1)
        std::stable_partition(started + 1, log.end() - 1, [](auto& line) { return line.rfind("status 3", 0) == 0; });
    return log;
}

class Service : public testing::Test {
protected:
    void SetUp() override { reset(); }
    // As at a fresh start. The host is a real file, reached through a detour, in a folder whose name needs UTF-8.
    void reset()
    {
        installFake();
        fake = Fake{}, fake.modulePath = folder() + L"\\sub\\..\\.\\host.exe";
        CreateDirectoryW(folder().c_str(), nullptr), CreateDirectoryW((folder() + L"\\sub").c_str(), nullptr);
        testChild::writeFile(folder() + L"\\host.exe", "");
        serviceStatus = SERVICE_STATUS{}, nextCheckPoint = 1, statusHandle = nullptr, eventSource = source;
        stopEvent = (stopEvent != nullptr && CloseHandle(stopEvent), nullptr);
        ProcessArguments.clear();
        boost::filesystem::path::imbue(std::locale(std::locale(), new std::codecvt_utf8_utf16<wchar_t, 0x10FFFF>));
        closesocket(held), held = INVALID_SOCKET;
        // A child's sockets outlive its exit code under Wine by a moment; the host's must not.
        for (SOCKET free = listenOn(54321), waited = 0; closesocket(free), free == INVALID_SOCKET;
             free = listenOn(54321), Sleep(20))
            ASSERT_LT(++waited, 250u) << "the server port stays taken";
    }
    std::wstring folder() { return dir.file(L"h\x00F6st-\x4E2D"); }
    // serviceMain on a thread, as the dispatcher runs it; with stop, the stop control once the child runs.
    // Milliseconds.
    long long runService(Args args, bool stop)
    {
        auto began = std::chrono::steady_clock::now();
        const std::vector<LPWSTR> argv = argvOf(args, L"Quorvanta-APIClient");
        auto done = std::async(std::launch::async,
                               [&] { serviceMain(DWORD(args.size()), const_cast<LPWSTR*>(argv.data())); });
        for (int i = 0; stop && i < 750 && !logged("info Server started"); ++i)
            Sleep(20);
        EXPECT_TRUE(!stop || logged("info Server started")) << "the child never ran";
        if (stop && fake.handler != nullptr)
            began = std::chrono::steady_clock::now(), fake.handler(SERVICE_CONTROL_STOP);
        EXPECT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(20))) << "the service never ended";
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    }
    ScopedSystemApi restore;
    testChild::TempDirectory dir;
    SOCKET held = INVALID_SOCKET;
};

// Controls are accepted once started; checkpoints count pending reports only, without gaps; stop is the one control
// that acts. The handler holds the status lock across its two reports, so a final report sent meanwhile waits. The
// final report goes out without that lock: Wine's dispatcher holds a lock of its own around the handler and takes it
// again for SERVICE_STOPPED, and under the status lock the two waited for each other for good.
TEST_F(Service, StatusReportsFollowTheStateAndNothingPendingFollowsStopped)
{
    ASSERT_TRUE(startServiceControl());
    reportServiceStatus(SERVICE_START_PENDING, 3000);
    reportServiceStatus(SERVICE_RUNNING, 0);
    serviceControlHandler(SERVICE_CONTROL_INTERROGATE), serviceControlHandler(SERVICE_CONTROL_SHUTDOWN); // both ignored
    std::thread final, dispatcher;
    std::recursive_timed_mutex dispatcherLock;
    HANDLE sending = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool probing = false, deadlocked = false;
    fake.onStatus = [&](const SERVICE_STATUS& s) {
        if (s.dwCurrentState == SERVICE_STOP_PENDING && !final.joinable())
            final = std::thread([] { reportServiceStatus(SERVICE_STOPPED, 0); }), Sleep(100);
        if (s.dwCurrentState == SERVICE_STOPPED && probing && SetEvent(sending)
            && (Sleep(50), true)) // the handler runs now
            dispatcherLock.try_lock_for(std::chrono::seconds(2)) ? dispatcherLock.unlock() : void(deadlocked = true);
    };
    serviceControlHandler(SERVICE_CONTROL_STOP);
    final.join();
    dispatcher = std::thread([&] {
        WaitForSingleObject(sending, 5000);
        std::lock_guard<std::recursive_timed_mutex> running(dispatcherLock);
        serviceControlHandler(SERVICE_CONTROL_STOP);
    });
    probing = true;
    reportServiceStatus(SERVICE_STOPPED, 0);
    dispatcher.join(), CloseHandle(sending);
    EXPECT_FALSE(deadlocked);
    EXPECT_EQ((Strings{begun[0], begun[1], begun[2], "status 2 0 2 3000 0/0", "status 4 1 0 0 0/0",
                       "status 3 1 3 0 0/0", "status 3 1 4 0 0/0", stopped, stopped, stopped, stopped}),
              fake.log);
}

// Cut at 255 units, the sign kept; nothing at all without a source, the last error untouched.
TEST_F(Service, ApiFailureTextsAreCutAt255Units)
{
    const std::wstring fits(241, L'a');
    for (const std::wstring& name : {fits, fits + L"b"})
        SetLastError(~0ul), reportApiFailure(name.c_str());
    eventSource = nullptr;
    SetLastError(1234), reportApiFailure(L"X"), reportInfoEvent(L"X"), reportErrorEvent(L"X");
    EXPECT_EQ(1234ul, GetLastError());
    EXPECT_EQ((Strings{"api " + toUtf8(fits) + " failed with -", "api " + toUtf8(fits) + "b failed with "}), fake.log);
    EXPECT_EQ(L"Server terminated unexpectedly with code -2147483644", describeExitCode(0x80000004).text);
}

// Host and start arguments, what the child gets ("D": beside the canonical host, as UTF-8; "!": server mode).
TEST_F(Service, ServerArgumentsFollowTheOverrideAndTheHostArguments)
{
    const std::string beside = toUtf8(folder() + L"\\quorvanta-embedded-server.exe");
    const std::tuple<Args, Args, std::string> rows[]
        = {{{}, {}, "D|server!"},
           {{}, {L"--executable=\"C:\\A B\\s.exe\""}, "C:\\A B\\s.exe|server!"},
           {{}, {L"--executable=\"\""}, "|server!"},
           {{}, {L"--executable=\"a\"b\"", L"-v"}, "a\"b|-v"},
           {{}, {L"--executable=\"a"}, "\"a|server!"},
           {{}, {L"--executable=\x00E9"}, "\xC3\xA9|server!"},
           {{}, {L"--Executable=x"}, "D|--Executable=x"},
           {{}, {L"-v", L"--executable=x"}, "D|-v|--executable=x"},
           {{}, {L"--executable=a", L"--executable=b", L"server"}, "a|--executable=b|server"},
           {{}, {L""}, "D|"},
           {{}, {L"Server"}, "D|Server"},
           {{}, {L"server "}, "D|server "},
           {{}, {L"-v", L"server"}, "D|-v|server"},
           {{L"server"}, {L"-v"}, "D|server|-v!"},
           {{L"a", L"b"}, {L"--executable=x", L"c"}, "x|a|b|c"},
           {{L"--executable=x"}, {}, "D|--executable=x"},
           {{L"a\xD800", L"b"}, {L"\xDC00z", L"c"}, "D||b||c"},
           {{}, {L"--executable=\xD800", L"server"}, "|server!"}};
    for (auto [host, start, expected] : rows) {
        ProcessArguments = host;
        const std::vector<LPWSTR> argv = argvOf(start, L"Quorvanta-APIClient");
        ServerArguments arguments;
        bool serverMode = expected.back() != '!';
        ASSERT_TRUE(
            assembleServerArguments(DWORD(start.size()), const_cast<LPWSTR*>(argv.data()), arguments, serverMode))
            << expected;
        std::string joined = arguments[0] == beside ? "D" : arguments[0];
        for (std::size_t i = 1; i < arguments.size(); ++i)
            joined += "|" + arguments[i];
        EXPECT_EQ(expected, joined + (serverMode ? "!" : ""));
    }
    ServerArguments options;
    appendServerModeOptions(options, 0, ~0ull);
    EXPECT_EQ("18446744073709551615 1073741824", options[3] + " " + options[5]);
}

// Every road through the service, as the SCM and the operator hear of it: a failure tells the SCM first, then the
// operator why. Outside server mode a stop ends the child at once; in server mode a child that ignores the close is
// terminated after the grace period.
TEST_F(Service, EachRoadIsReportedInOrder)
{
    const std::wstring missing = dir.file(L"missing.exe"), report = dir.file(L"report.txt");
    const std::wstring cut = dir.path() + L"\\" + std::wstring(258 - dir.path().size(), L'x');
    ASSERT_TRUE(testChild::writeFile(cut, "")) << "a cut host name must name a file";
    // The final status carries the failure's cause, so that the SCM's recovery actions can act on it.
    const auto failed = [&](Strings log, DWORD cause, const std::string& why = "Could not start server process") {
        log.insert(log.begin(), begun.begin(), begun.end());
        return log.insert(log.end(), {"status 1 1 0 0 " + std::to_string(cause) + "/0", "error " + why}), log;
    };
    const auto unresolved = [&](DWORD cause) {
        return failed({"GetModuleFileName null 260"}, cause, "Could not resolve path to server");
    };
    const std::string pending = "status 2 0 2 3000 0/0", crashed = "error Server terminated unexpectedly with code ";
    const auto none = [] {};
    struct Road {
        std::function<void()> setup;
        Args args;
        Strings log;
        bool stop = false;
        long long least = 0, most = 4000;
    };
    const Road roads[] = {
        {[] { fake.failures["CreateEvent"] = 0x80070005; }, {}, {begun[0], "api CreateEvent failed with -2147024891"}},
        {[] { fake.failures["RegisterServiceCtrlHandler"] = 1060; },
         {},
         {begun[0], begun[1], "api RegisterServiceCtrlHandler failed with 1060"}},
        {[] { fake.failures["GetModuleFileName"] = 8; }, {L"-v"}, unresolved(8)},
        {[&] { fake.modulePath = cut + L"yy"; }, {}, unresolved(ERROR_INSUFFICIENT_BUFFER)},
        {[&] { fake.modulePath = dir.file(L"none\\host.exe"); }, {}, unresolved(ERROR_BAD_PATHNAME)},
        {failPathConversion, {}, unresolved(ERROR_NO_UNICODE_TRANSLATION)},
        {[] { systemApi.getModuleFileName = [](HMODULE, LPWSTR, DWORD) -> DWORD { throw std::bad_alloc(); }; },
         {},
         {begun[0], begun[1], begun[2], "status 1 1 0 0 8/0"}},
        {[] { fake.failures["GetModuleFileName"] = 8; },
         {L"--executable=" + missing, L"exit"},
         failed({launching + toUtf8(missing), pending}, ERROR_FILE_NOT_FOUND)},
        {failPathConversion,
         {L"--executable=C:\\server.exe", L"exit"},
         failed({launching + "C:\\server.exe", pending}, ERROR_NO_UNICODE_TRANSLATION)},
        // Without one, the system would take the next argument for the program.
        {none,
         {L"--executable=\"\"", testChild::path(), L"echo-args", report},
         failed({launching, pending}, ERROR_INVALID_PARAMETER)},
        {none,
         {L"--executable=" + missing, L"server"},
         failed({launching + toUtf8(missing), "status 2 0 2 5100 0/0", "status 2 0 3 3000 0/0"}, ERROR_FILE_NOT_FOUND)},
        {[&] { held = listenOn(54321); },
         {child(), L"server", L"until-close", L"0", report},
         failed({launching + toUtf8(testChild::path())}, WSAEADDRINUSE, "Could not create primary socket connection")},
        {none, {child(), L"exit", L"0"}, ran(false, "info Server terminated successfully", false)},
        {none, {child(), L"exit", L"0xC0000005"}, ran(false, crashed + "-1073741819", false, "1066/3221225477")},
        {none,
         {child(), L"server", L"exit", L"6"},
         ran(true, "error Server terminated: could not open log file", false, "1066/6")},
        {none, {child(), L"sleep", L"30000"}, ran(false, crashed + "255", true), true, 0, 2500},
        {none,
         {child(), L"server", L"ignore-close", dir.file(L"ignored.txt")},
         ran(true, crashed + "255", true),
         true,
         4900,
         9000}};
    for (const Road& road : roads) {
        reset();
        road.setup();
        const long long took = runService(road.args, road.stop);
        EXPECT_EQ(road.log, settled(fake.log));
        EXPECT_TRUE(took >= road.least && took < road.most) << took << " ms";
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(report.c_str())) << "a child was started";
}

// The child holds exactly the listener and its end of the pair, whose close ends it with its own code; the host its
// own.
TEST_F(Service, ServerModeHandsTheChildTheListenerAndItsEndOfThePair)
{
    const std::wstring report = dir.file(L"report.txt");
    Strings host;
    fake.onStatus = [&](const SERVICE_STATUS& s) { // every socket the host holds, by its peer
        for (SOCKET socket : s.dwCurrentState == SERVICE_RUNNING ? testSockets::heldSockets() : std::vector<SOCKET>{})
            host.push_back(testSockets::name(socket, true));
    };
    EXPECT_LT(runService({child(), L"server", L"until-close", L"7", report}, true), 4000)
        << "the child did not end by itself";
    EXPECT_EQ(ran(true, "error Server terminated: error running the server", true), settled(fake.log));
    EXPECT_EQ(Strings{"127.0.0.1:54321"}, host);
    std::istringstream lines(testChild::readFile(report).value_or(""));
    Strings seen{std::istream_iterator<std::string>(lines), {}};
    ASSERT_EQ(25u, seen.size());
    const std::string listener = seen[9], connection = seen[13];
    const bool ordered = std::stoull(listener) < std::stoull(connection);
    EXPECT_EQ((Strings{"arg",
                       "until-close",
                       "arg",
                       "7",
                       "arg",
                       toUtf8(report),
                       "arg",
                       "--pre-established-listener",
                       "arg",
                       listener,
                       "arg",
                       "--pre-established-connection",
                       "arg",
                       connection,
                       "arg",
                       "--max-file-write-cache-size",
                       "arg",
                       "1073741824",
                       "listener",
                       "127.0.0.1:54321",
                       "connection",
                       "127.0.0.1:54321",
                       "sockets",
                       ordered ? listener : connection,
                       ordered ? connection : listener}),
              seen);
}

// One outcome printed, stop at the first failure, close what was opened; the service runs the very file started.
TEST_F(Service, ConsoleCommandsPrintTheirOutcome)
{
    const std::string created
        = "CreateService manager \"Quorvanta-APIClient\" \"Quorvanta-APIClient\" 983551 16 3 1 \"\"" + toUtf8(folder())
        + "\\sub\\..\\.\\host.exe\" \"server\"\" null null null null null";
    const std::string closeKey = "RegCloseKey key", closeManager = "CloseServiceHandle manager";
    const std::tuple<bool (*)(), std::string, DWORD, std::wstring, std::string, Strings> rows[]
        = {{installService,
            "",
            0,
            L"",
            "Service installed successfully\n",
            {created, "CloseServiceHandle service", closeManager, closeKey,
             "RegSetValueEx key \"EventMessageFile\" 0 1 " + toUtf8(folder()) + "\\quorvanta_errors.dll" + '\0',
             "RegSetValueEx key \"TypesSupported\" 0 4 7"}},
           {installService, "", 0, std::wstring(300, L'x'), "Cannot install service (122)\n", {}},
           {installService, "", 0, dir.file(L"none\\host.exe"), "Cannot install service (2)\n", {}},
           {installService,
            "RegCreateKeyEx",
            5,
            L"",
            "Failed to create registry key (5)\n",
            {"RegCreateKeyEx HKLM \"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvanta-APIClient\" "
             "0 null 0 983103 null ptr null"}},
           {installService, "RegSetValueEx key \"E", 1, L"", "Failed to create registry key (1)\n", {closeKey}},
           {installService, "RegSetValueEx key \"T", 1009, L"", "Failed to create registry key (1009)\n", {closeKey}},
           {installService, "OpenSCManager", 5, L"", "OpenSCManager failed (5)\n", {"OpenSCManager null null 983103"}},
           {installService, "CreateService", 0x80070005, L"", "CreateService failed (-2147024891)\n", {closeManager}},
           {installService,
            "ChangeServiceConfig2",
            5,
            L"",
            "Service installed successfully\nFailed to set service description (5)\n",
            {}},
           {uninstallService,
            "DeleteService",
            1072,
            L"",
            "DeleteService failed (1072)\n",
            {"OpenService manager \"Quorvanta-APIClient\" 65536", "CloseServiceHandle service", closeManager}}};
    const std::string missing
        = "Warning: quorvanta-embedded-server.exe is missing beside the host; the service cannot start"
          " until it is there.\nWarning: quorvanta_errors.dll is missing beside the host; Event Viewer cannot show this"
          " service's event texts until it is there.\n",
        elevate = "Run this command from an elevated prompt (Run as administrator).\n";
    for (const auto& [command, failing, error, path, output, lines] : rows) {
        reset();
        fake.failures[failing.empty() ? "none" : failing] = error;
        fake.modulePath = path.empty() ? fake.modulePath : path;
        testing::internal::CaptureStdout(), testing::internal::CaptureStderr();
        EXPECT_EQ(failing.empty() && path.empty(), command())
            << output; // a script hears of any failure through the exit code
        EXPECT_EQ(output, testing::internal::GetCapturedStdout());
        const bool installed = output.rfind("Service installed", 0) == 0;
        EXPECT_EQ((error == 5 ? elevate : "") + (installed ? missing : ""), testing::internal::GetCapturedStderr());
        for (const std::string& line : lines)
            EXPECT_EQ(1, std::count(fake.log.begin(), fake.log.end(), line)) << output << line;
    }
}

// Only argv[1] spelled exactly "install" or "uninstall" is a command: any other command line is the service's, kept
// for the server and set up (paths as UTF-8) before the dispatcher starts. The dispatcher returns once the service has
// reported SERVICE_STOPPED, which on a failure road comes before the entry that says why, so the entry point waits for
// the service routine (here failing slowly for want of an SCM) before it lets go of the event source.
TEST_F(Service, EntryTakesTheServiceRoadAndWaitsForTheServiceRoutine)
{
    std::thread routine;
    std::string seen;
    HANDLE underWay = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fake.failures["RegisterServiceCtrlHandler"] = 1060;
    fake.onRegister = [&] { SetEvent(underWay), Sleep(300); };
    fake.onDispatch = [&](const SERVICE_TABLE_ENTRYW* table) {
        seen = toUtf8(table[0].lpServiceName) + (table[1].lpServiceProc ? " open " : " ")
            + boost::filesystem::path(L"\u00e9").string();
        for (const std::wstring& argument : ProcessArguments)
            seen += "|" + toUtf8(argument);
        routine = std::thread([service = table[0].lpServiceProc] {
            Args none;
            service(1, const_cast<LPWSTR*>(argvOf(none, L"Quorvanta-APIClient").data()));
        });
        WaitForSingleObject(underWay, 5000);
    };
    ProcessArguments = {L"left over"};
    failPathConversion(); // the entry point sets up UTF-8 itself
    Args args{L"install ", L"install"};
    const std::vector<LPWSTR> argv = argvOf(args, L"quorvanta-apiclient.exe");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, hostMain(int(args.size()), const_cast<LPWSTR*>(argv.data())));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    routine.join(), CloseHandle(underWay);
    EXPECT_EQ("Quorvanta-APIClient \xC3\xA9|install |install", seen);
    EXPECT_EQ((Strings{"RegisterEventSource null \"Quorvanta-APIClient\"", "StartServiceCtrlDispatcher", begun[0],
                       begun[1], "api RegisterServiceCtrlHandler failed with 1060", "DeregisterEventSource source"}),
              fake.log);
}
} // namespace
