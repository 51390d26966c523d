// The service with a real child: test_child, named by the "--executable="
// start argument, runs as the server. Server mode binds the fixed port.
#include "service_recorder.h"

#include "TextConversion.h"
#include "service_status.h"
#include "test_child.h"
#include "test_sockets.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <sstream>

using recorder::errorEvent;
using recorder::infoEvent;
using recorder::status;
using Strings = std::vector<std::string>;

namespace {

constexpr std::uint16_t serverPort = 54321;

const std::string firstStartPending = status(SERVICE_START_PENDING, 0, 1, 6000);
const std::string running = status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
const std::string stopped = status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0);
const std::string serverStarted = infoEvent(L"Server started");
const std::string terminated = errorEvent(L"Server terminated unexpectedly with code 255");

std::wstring childOverride()
{
    return L"--executable=" + testChild::path();
}

std::string launching(const std::wstring& executable = testChild::path())
{
    return infoEvent(L"Launching server executable " + executable);
}

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// serviceMain on a thread of its own, as the dispatcher runs it, so the test
// can act as the SCM's control thread meanwhile.
class ServiceRun {
public:
    explicit ServiceRun(std::vector<std::wstring> startArguments)
        : mDone(std::async(std::launch::async, runServiceMain, std::move(startArguments)))
    {
    }
    ~ServiceRun()
    {
        // A test that failed half-way must not leave a child or a thread
        // behind; the future then waits for the thread.
        if (!waitDone(0) && stopEvent != nullptr)
            SetEvent(stopEvent);
    }

    bool waitDone(DWORD timeoutMs)
    {
        return mDone.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    }

private:
    std::future<void> mDone;
};

// Polls until the condition holds; false when timeoutMs passed first.
template <typename Condition>
bool waitUntil(Condition condition, long long timeoutMs)
{
    for (const Clock::time_point start = Clock::now(); !condition(); Sleep(20)) {
        if (millisecondsSince(start) > timeoutMs)
            return false;
    }
    return true;
}

bool waitForFile(const std::wstring& file, DWORD timeoutMs)
{
    return waitUntil([&file] { return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeoutMs);
}

// Every socket this process holds, as "<local> <peer>" ("<local> " for none).
Strings socketsOfThisProcess()
{
    Strings held;
    for (SOCKET socket : testSockets::heldSockets())
        held.push_back(testSockets::name(socket) + " " + testSockets::name(socket, true));
    return held;
}

// A listener of the test's own on the server port.
class PortHolder {
public:
    PortHolder() : mSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
    {
        const sockaddr_in address = testSockets::loopback(serverPort);
        mBound = mSocket != INVALID_SOCKET
            && bind(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
            && listen(mSocket, SOMAXCONN) == 0;
    }
    ~PortHolder() { closesocket(mSocket); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool bound() const { return mBound; }

private:
    SOCKET mSocket;
    bool mBound = false;
};

// What a client of the server port is told before the server closes it.
std::string greetingFromServerPort()
{
    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in address = testSockets::loopback(serverPort);
    const DWORD timeoutMs = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    std::string received = "connect failed";
    if (connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        char buffer[128];
        int count = 0;
        received.clear();
        while ((count = recv(client, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<std::size_t>(count));
    }
    closesocket(client);
    return received;
}

// The whole log of a run outside server mode that reached the child and
// ended with the given exit-code entry and final report.
Strings outsideServerMode(const std::string& exitEntry, const std::string& end = stopped)
{
    return {firstStartPending, launching(), status(SERVICE_START_PENDING, 0, 2, 3000), running, serverStarted,
            exitEntry, end};
}

// The final report of a child that ended by itself with a non-zero code.
std::string failed(DWORD exitCode)
{
    return status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, exitCode);
}

// The log of a start in server mode up to the launch: createServerSockets
// reports once per attempt (one to three, with falling hints) before it.
Strings serverModeLaunch(const std::string& announcement, const Strings& log)
{
    const DWORD hints[] = {5100, 4400, 3700};
    Strings expected{firstStartPending, announcement};
    for (DWORD i = 0; i < 3; ++i) {
        const std::string attempt = status(SERVICE_START_PENDING, 0, 2 + i, hints[i]);
        if (i == 0 || std::find(log.begin(), log.end(), attempt) != log.end())
            expected.push_back(attempt);
    }
    expected.push_back(status(SERVICE_START_PENDING, 0, static_cast<DWORD>(expected.size()), 3000));
    return expected;
}

// Splits off the control handler's stop-pending reports, which may land
// beside the service thread's exit-code entry; checks they are the two of one
// stop control, after the start and before the final report.
Strings withoutStopPending(const Strings& log, DWORD firstCheckPoint)
{
    Strings rest;
    Strings stopPending;
    for (const std::string& entry : log) {
        const bool pending = entry.find(" state=3 ") != std::string::npos;
        if (pending && std::find(rest.begin(), rest.end(), serverStarted) == rest.end())
            ADD_FAILURE() << "stop-pending before the child ran";
        (pending ? stopPending : rest).push_back(entry);
    }
    EXPECT_EQ((Strings{status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, firstCheckPoint, 0),
                       status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, firstCheckPoint + 1, 0)}),
              stopPending);
    EXPECT_EQ(stopped, log.empty() ? std::string() : log.back());
    return rest;
}

// Checks the whole log of a server-mode run that reached the child and ended
// with the given exit-code entry.
void expectServerModeRun(const std::string& exitEntry, bool stopControl, const std::string& end = stopped)
{
    const Strings log = recorder::log();
    Strings expected = serverModeLaunch(launching(), log);
    const DWORD nextCheckPoint = static_cast<DWORD>(expected.size());
    expected.insert(expected.end(), {running, serverStarted, exitEntry, end});
    EXPECT_EQ(expected, stopControl ? withoutStopPending(log, nextCheckPoint) : log);
}

// Once the child runs and has written its report (if it writes one), sends
// the stop control and waits for the service to end. The milliseconds from
// the control to the end, or -1 when the run never got that far or did not end.
long long stopOnceRunning(ServiceRun& run, const std::wstring& reportFile = {})
{
    if (!recorder::waitForEntry(serverStarted, 15000) || !(reportFile.empty() || waitForFile(reportFile, 10000))) {
        ADD_FAILURE() << "the child never ran: " << ::testing::PrintToString(recorder::log());
        return -1;
    }
    const Clock::time_point stopAt = Clock::now();
    const LPHANDLER_FUNCTION handler = recorder::registeredHandler();
    if (handler != nullptr)
        handler(SERVICE_CONTROL_STOP);
    if (!run.waitDone(15000)) {
        ADD_FAILURE() << "the service did not end after the stop control";
        return -1;
    }
    return millisecondsSince(stopAt);
}

// test_child's server report: "arg ..." lines and one line per socket.
std::map<std::string, Strings> readChildReport(const std::wstring& file)
{
    std::map<std::string, Strings> report;
    std::istringstream lines(testChild::readFile(file).value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t blank = line.find(' ');
        report[line.substr(0, blank)].push_back(blank == std::string::npos ? "" : line.substr(blank + 1));
    }
    return report;
}

class SupervisionTest : public ServiceStateTest {
protected:
    void TearDown() override
    {
        // A child's sockets outlive its exit code under Wine by a moment (its
        // Unix process still holds them); the next run needs the port.
        EXPECT_TRUE(waitUntil([] { return PortHolder().bound(); }, 5000)) << "the server port is still taken";
        ServiceStateTest::TearDown();
    }
};

} // namespace

// The entry for every exit code is checked without a child; here the road:
// no stop-pending, the entry right before SERVICE_STOPPED, of either type.
TEST_F(SupervisionTest, ChildThatEndsByItselfHasItsExitCodeReported)
{
    runServiceMain({childOverride(), L"exit", L"0"});
    EXPECT_EQ(outsideServerMode(infoEvent(L"Server terminated successfully")), recorder::log());

    restartService();
    runServiceMain({childOverride(), L"crash"});
    EXPECT_EQ(outsideServerMode(errorEvent(L"Server terminated unexpectedly with code -1073741819"), failed(0xC0000005)),
              recorder::log());
}

TEST_F(SupervisionTest, StopOutsideServerModeEndsTheChildAtOnce)
{
    long long elapsed = -1;
    {
        ServiceRun run({childOverride(), L"sleep", L"30000"});
        elapsed = stopOnceRunning(run);
    }
    ASSERT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 2500) << "no grace period outside server mode";
    EXPECT_EQ(outsideServerMode(terminated), withoutStopPending(recorder::log(), 3));
}

TEST_F(SupervisionTest, ServerModeChildSeesItsTwoSocketsAndEndsByItselfAfterTheClose)
{
    testChild::TempDirectory folder;
    const std::wstring reportFile = folder.file(L"report.txt");
    Strings hostSockets{"not scanned"};
    recorder::setStatusHook([&](const SERVICE_STATUS& reported) {
        // On the service thread, while the child runs and the host waits.
        if (reported.dwCurrentState == SERVICE_RUNNING)
            hostSockets = socketsOfThisProcess();
    });

    std::string greeting;
    long long elapsed = -1;
    {
        ServiceRun run({childOverride(), L"server", L"until-close", L"7", reportFile});
        // After the host's look at its own sockets, which a client would disturb.
        if (recorder::waitForEntry(serverStarted, 15000) && waitForFile(reportFile, 10000))
            greeting = greetingFromServerPort();
        elapsed = stopOnceRunning(run, reportFile);
    }
    ASSERT_GE(elapsed, 0);
    EXPECT_EQ("accepted by test_child\n", greeting) << "the child does not serve the listener";
    EXPECT_LT(elapsed, 4000) << "the child should have ended by itself, not been terminated";
    // The child's own code, not the 255 of a terminate.
    expectServerModeRun(errorEvent(L"Server terminated: error running the server"), true);

    // The child: its command line ends with the six options, and it holds
    // exactly the two sockets they name.
    std::map<std::string, Strings> child = readChildReport(reportFile);
    Strings& arguments = child["arg"];
    ASSERT_EQ(9u, arguments.size()) << ::testing::PrintToString(arguments);
    const std::string listener = arguments[4];
    const std::string connection = arguments[6];
    arguments[4] = arguments[6] = "<socket>";
    EXPECT_EQ((Strings{"until-close", "7", toUtf8(reportFile), "--pre-established-listener", "<socket>",
                       "--pre-established-connection", "<socket>", "--max-file-write-cache-size", "1073741824"}),
              arguments);
    EXPECT_NE(listener, connection);
    // The accepted end of the pair shares the listener's address; which is
    // which shows in what they do: the listener answered a client above, and
    // the connection brought the close that ended the child with its own code.
    EXPECT_EQ(Strings{"127.0.0.1:54321"}, child["listener"]);
    EXPECT_EQ(Strings{"127.0.0.1:54321"}, child["connection"]);
    const std::uint64_t values[] = {std::stoull(listener), std::stoull(connection)};
    EXPECT_EQ(Strings{std::to_string(std::min(values[0], values[1])) + " " + std::to_string(std::max(values[0], values[1]))},
              child["sockets"]);

    // The host: only its own end, the connecting one, once the child runs.
    ASSERT_EQ(1u, hostSockets.size()) << "the host kept more than its end of the pair: "
                                      << ::testing::PrintToString(hostSockets);
    EXPECT_EQ(" 127.0.0.1:54321", hostSockets[0].substr(hostSockets[0].find(' ')));
    EXPECT_NE(0u, hostSockets[0].rfind("127.0.0.1:54321 ", 0)) << hostSockets[0];
}

TEST_F(SupervisionTest, ServerModeChildThatEndsByItselfIsReportedWithoutStopPending)
{
    const Clock::time_point start = Clock::now();
    runServiceMain({childOverride(), L"server", L"exit", L"6"});
    EXPECT_LT(millisecondsSince(start), 4000) << "a child that has ended needs no grace period";
    expectServerModeRun(errorEvent(L"Server terminated: could not open log file"), false, failed(6));
}

TEST_F(SupervisionTest, ServerModeChildThatIgnoresTheCloseIsTerminatedAfterTheGracePeriod)
{
    testChild::TempDirectory folder;
    long long elapsed = -1;
    {
        ServiceRun run({childOverride(), L"server", L"ignore-close", folder.file(L"report.txt")});
        elapsed = stopOnceRunning(run, folder.file(L"report.txt"));
    }
    ASSERT_GE(elapsed, 0);
    EXPECT_GE(elapsed, 4900) << "terminated before the grace period ran out";
    EXPECT_LT(elapsed, 9000) << "the terminate came late or needed the second grace period";
    expectServerModeRun(terminated, true);
}

TEST_F(SupervisionTest, SocketSetFailureWhileThePortIsTakenStopsBeforeAnyChild)
{
    testChild::TempDirectory folder;
    const std::wstring reportFile = folder.file(L"report.txt");
    {
        PortHolder holder;
        ASSERT_TRUE(holder.bound()) << "cannot hold the server port for the test";
        runServiceMain({childOverride(), L"server", L"until-close", L"0", reportFile});
    }
    EXPECT_EQ((Strings{firstStartPending, launching(), status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, WSAEADDRINUSE),
                       errorEvent(L"Could not create primary socket connection")}),
              recorder::log());
    Sleep(200);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(reportFile.c_str())) << "a child was started";
}

TEST_F(SupervisionTest, ServerModeLaunchFailureReleasesThePort)
{
    testChild::TempDirectory folder;
    const std::wstring missing = folder.file(L"missing-server.exe");
    runServiceMain({L"--executable=" + missing, L"server"});

    const Strings log = recorder::log();
    Strings expected = serverModeLaunch(launching(missing), log);
    expected.insert(expected.end(), {status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_FILE_NOT_FOUND),
                                     errorEvent(L"Could not start server process")});
    EXPECT_EQ(expected, log);
    EXPECT_TRUE(PortHolder().bound()) << "the host still holds a socket on the server port";
}

// Without an executable the system would take the next argument for the
// program: here a real one, which must not be started.
TEST_F(SupervisionTest, EmptyExecutableIsNeverLaunched)
{
    testChild::TempDirectory folder;
    const std::wstring echoed = folder.file(L"echoed.txt");
    runServiceMain({L"--executable=\"\"", testChild::path(), L"echo-args", echoed});

    EXPECT_EQ(recorder::failedLaunch(L"", ERROR_INVALID_PARAMETER), recorder::log());
    Sleep(200);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(echoed.c_str())) << "the next argument was started";
}
