// The service with a real child: test_child, named by the "--executable="
// start argument, runs as the server. Server mode binds the fixed port.
#include "service_recorder.h"

#include "TextConversion.h"
#include "server_supervision.h"
#include "service_status.h"
#include "test_child.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

using recorder::errorEvent;
using recorder::infoEvent;
using recorder::status;
using Strings = std::vector<std::string>;

namespace {

constexpr std::uint16_t serverPort = 54321;

const std::string firstStartPending = status(SERVICE_START_PENDING, 0, 1, 6000);
const std::string running = status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
const std::string stopped = status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0);

std::wstring childOverride()
{
    return L"--executable=" + testChild::path();
}

std::string launching()
{
    return infoEvent(L"Launching server executable " + testChild::path());
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
        : mThread([this, arguments = std::move(startArguments)]() mutable {
              runServiceMain(std::move(arguments));
              std::lock_guard<std::mutex> guard(mLock);
              mDone = true;
              mChanged.notify_all();
          })
    {
    }
    ~ServiceRun()
    {
        // A test that failed half-way must not leave a child or a thread behind.
        if (!waitDone(0) && stopEvent != nullptr)
            SetEvent(stopEvent);
        mThread.join();
    }
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    bool waitDone(DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return mDone; });
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mDone = false;
    std::thread mThread;
};

void sendStopControl()
{
    LPHANDLER_FUNCTION handler = recorder::registeredHandler();
    ASSERT_NE(nullptr, handler);
    handler(SERVICE_CONTROL_STOP);
}

bool waitForFile(const std::wstring& file, DWORD timeoutMs)
{
    const Clock::time_point start = Clock::now();
    while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (millisecondsSince(start) > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

std::string addressText(const sockaddr_in& address)
{
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

struct HeldSocket {
    std::string local;
    std::string peer; // empty when the socket has none
    bool listening = false;
};

// Every socket this process holds, found by value, so that a socket the host
// forgot to close shows up whatever variable it was kept in.
std::vector<HeldSocket> socketsOfThisProcess()
{
    std::vector<HeldSocket> held;
    for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
        const SOCKET socket = static_cast<SOCKET>(value);
        sockaddr_in local{};
        int length = sizeof local;
        if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            continue;
        HeldSocket entry;
        entry.local = addressText(local);
        sockaddr_in peer{};
        length = sizeof peer;
        if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            entry.peer = addressText(peer);
        BOOL listening = FALSE;
        int optionLength = sizeof listening;
        entry.listening = getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening),
                                     &optionLength) != 0
            || listening != FALSE;
        held.push_back(entry);
    }
    return held;
}

// A listener of the test's own on the server port.
class PortHolder {
public:
    PortHolder() : mSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(serverPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mBound = mSocket != INVALID_SOCKET
            && bind(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
            && listen(mSocket, SOMAXCONN) == 0;
    }
    ~PortHolder()
    {
        if (mSocket != INVALID_SOCKET)
            closesocket(mSocket);
    }
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
    if (client == INVALID_SOCKET)
        return "no socket";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(serverPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const DWORD timeoutMs = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    std::string received;
    if (connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        char buffer[128];
        int count = 0;
        while ((count = recv(client, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<std::size_t>(count));
    } else {
        received = "connect failed with " + std::to_string(WSAGetLastError());
    }
    closesocket(client);
    return received;
}

// The status reports createServerSockets makes while it waits: one to three,
// with falling hints. Returns how many there were, or -1 when they break the rule.
int socketSetReports(const Strings& log)
{
    const DWORD hints[] = {5100, 4400, 3700};
    int count = 0;
    for (const std::string& entry : log) {
        for (DWORD hint : hints) {
            if (entry.find(" hint=" + std::to_string(hint)) != std::string::npos) {
                if (count >= 3 || entry != status(SERVICE_START_PENDING, 0, 2 + count, hints[count]))
                    return -1;
                ++count;
            }
        }
    }
    return count == 0 ? -1 : count;
}

// The whole log of a run outside server mode that reached the child and
// ended with the given exit-code entry.
Strings runOutsideServerMode(const std::string& exitEntry)
{
    return {firstStartPending, launching(),   status(SERVICE_START_PENDING, 0, 2, 3000),
            running,           infoEvent(L"Server started"), exitEntry, stopped};
}

// The log of a start in server mode up to the launch, for the given
// announcement and number of socket-set reports.
Strings serverModeLaunch(const std::string& announcement, int socketReports)
{
    Strings expected{firstStartPending, announcement};
    const DWORD hints[] = {5100, 4400, 3700};
    for (int i = 0; i < socketReports; ++i)
        expected.push_back(status(SERVICE_START_PENDING, 0, 2 + i, hints[i]));
    expected.push_back(status(SERVICE_START_PENDING, 0, 2 + socketReports, 3000));
    return expected;
}

// ... and on to the running child.
Strings serverModeStart(int socketReports)
{
    Strings expected = serverModeLaunch(launching(), socketReports);
    expected.push_back(running);
    expected.push_back(infoEvent(L"Server started"));
    return expected;
}

// Splits off the control handler's stop-pending reports, which may land
// beside the service thread's exit-code entry; checks they are the two of one
// stop control, after the start and before the final report.
Strings withoutStopPending(const Strings& log, DWORD firstCheckPoint)
{
    Strings rest;
    Strings stopPending;
    std::size_t startedAt = log.size();
    std::size_t firstStopPending = log.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i] == infoEvent(L"Server started"))
            startedAt = i;
        if (log[i].find(" state=3 ") != std::string::npos) {
            firstStopPending = std::min(firstStopPending, i);
            stopPending.push_back(log[i]);
        } else {
            rest.push_back(log[i]);
        }
    }
    EXPECT_EQ((Strings{status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, firstCheckPoint, 0),
                       status(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, firstCheckPoint + 1, 0)}),
              stopPending);
    EXPECT_LT(startedAt, firstStopPending);
    EXPECT_EQ(stopped, log.empty() ? std::string() : log.back());
    return rest;
}

// Checks the whole log of a server-mode run that reached the child and ended
// with the given exit-code entry.
void expectServerModeRun(const std::string& exitEntry, bool stopControl)
{
    const Strings log = recorder::describeAll(recorder::entries());
    const int socketReports = socketSetReports(log);
    ASSERT_GT(socketReports, 0) << ::testing::PrintToString(log);
    Strings expected = serverModeStart(socketReports);
    expected.push_back(exitEntry);
    expected.push_back(stopped);
    EXPECT_EQ(expected, stopControl ? withoutStopPending(log, 3 + socketReports) : log);
}

// Once the child runs and has written its report, sends the stop control and
// waits for the service to end. The milliseconds from the control to the
// end, or -1 when the run never got that far or did not end.
long long stopOnceReported(ServiceRun& run, const std::wstring& reportFile)
{
    if (!recorder::waitForEntry(infoEvent(L"Server started"), 15000)) {
        ADD_FAILURE() << "the child never ran: " << ::testing::PrintToString(recorder::describeAll(recorder::entries()));
        return -1;
    }
    if (!waitForFile(reportFile, 10000)) {
        ADD_FAILURE() << "the child wrote no report";
        return -1;
    }
    const Clock::time_point stopAt = Clock::now();
    sendStopControl();
    if (!run.waitDone(15000)) {
        ADD_FAILURE() << "the service did not end after the stop control";
        return -1;
    }
    return millisecondsSince(stopAt);
}

struct ChildReport {
    Strings arguments;
    std::string listener;
    std::string connection;
    std::string sockets;
};

ChildReport readChildReport(const std::wstring& file)
{
    ChildReport report;
    std::istringstream lines(testChild::readFile(file).value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("arg ", 0) == 0)
            report.arguments.push_back(line.substr(4));
        else if (line.rfind("listener ", 0) == 0)
            report.listener = line.substr(9);
        else if (line.rfind("connection ", 0) == 0)
            report.connection = line.substr(11);
        else if (line.rfind("sockets", 0) == 0)
            report.sockets = line;
    }
    return report;
}

class SupervisionTest : public ServiceStateTest {
protected:
    void TearDown() override
    {
        // A child's sockets outlive its exit code under Wine by a moment (its
        // Unix process still holds them); the next run needs the port.
        const Clock::time_point start = Clock::now();
        while (!PortHolder().bound()) {
            if (millisecondsSince(start) > 5000) {
                ADD_FAILURE() << "the server port is still taken after the run";
                break;
            }
            Sleep(20);
        }
        ServiceStateTest::TearDown();
    }
};

} // namespace

TEST_F(SupervisionTest, ChildThatEndsByItselfHasItsExitCodeReported)
{
    struct Row {
        const wchar_t* code;
        bool information;
        const wchar_t* text;
    };
    const Row rows[] = {
        {L"0", true, L"Server terminated successfully"},
        {L"1", false, L"Server terminated: invalid argument"},
        {L"2", false, L"Server terminated: unsupported hardware"},
        {L"4", false, L"Server terminated: could not open response file"},
        {L"5", false, L"Server terminated: could not parse response file"},
        {L"6", false, L"Server terminated: could not open log file"},
        {L"7", false, L"Server terminated: error running the server"},
        {L"8", false, L"Server terminated: exit code 8"},
        {L"3", false, L"Server terminated unexpectedly with code 3"},
        {L"9", false, L"Server terminated unexpectedly with code 9"},
        {L"255", false, L"Server terminated unexpectedly with code 255"},
        {L"0xC0000005", false, L"Server terminated unexpectedly with code -1073741819"},
        {L"0x80000004", false, L"Server terminated unexpectedly with code -2147483644"},
        {L"0xFFFFFFFF", false, L"Server terminated unexpectedly with code -1"},
    };
    for (const Row& row : rows) {
        restartService();
        runServiceMain({childOverride(), L"exit", row.code});
        // Ended by itself: no stop-pending, the entry right before SERVICE_STOPPED.
        EXPECT_EQ(runOutsideServerMode(row.information ? infoEvent(row.text) : errorEvent(row.text)),
                  recorder::describeAll(recorder::entries()))
            << "exit code " << toUtf8(row.code);
    }
}

TEST_F(SupervisionTest, StopOutsideServerModeEndsTheChildAtOnce)
{
    ServiceRun run({childOverride(), L"sleep", L"30000"});
    ASSERT_TRUE(recorder::waitForEntry(infoEvent(L"Server started"), 10000))
        << ::testing::PrintToString(recorder::describeAll(recorder::entries()));

    const Clock::time_point stopAt = Clock::now();
    sendStopControl();
    ASSERT_TRUE(run.waitDone(10000));
    EXPECT_LT(millisecondsSince(stopAt), 2500) << "no grace period outside server mode";

    const Strings log = recorder::describeAll(recorder::entries());
    EXPECT_EQ(runOutsideServerMode(errorEvent(L"Server terminated unexpectedly with code 255")),
              withoutStopPending(log, 3));
}

TEST_F(SupervisionTest, ServerModeChildSeesItsTwoSocketsAndEndsByItselfAfterTheClose)
{
    testChild::TempDirectory folder;
    const std::wstring reportFile = folder.file(L"report.txt");
    std::vector<HeldSocket> hostSockets;
    bool scanned = false;
    recorder::setStatusHook([&](const SERVICE_STATUS& reported) {
        // On the service thread, while the child runs and the host waits.
        if (reported.dwCurrentState == SERVICE_RUNNING) {
            hostSockets = socketsOfThisProcess();
            scanned = true;
        }
    });

    std::string greeting;
    long long elapsed = -1;
    {
        ServiceRun run({childOverride(), L"server", L"until-close", L"7", reportFile});
        // After the host's look at its own sockets, which a client would disturb.
        if (recorder::waitForEntry(infoEvent(L"Server started"), 15000) && waitForFile(reportFile, 10000))
            greeting = greetingFromServerPort();
        elapsed = stopOnceReported(run, reportFile);
    }
    ASSERT_GE(elapsed, 0);
    EXPECT_EQ("accepted by test_child\n", greeting) << "the child does not serve the listener";
    EXPECT_LT(elapsed, 4000) << "the child should have ended by itself, not been terminated";
    // The child's own code, not the 255 of a terminate.
    expectServerModeRun(errorEvent(L"Server terminated: error running the server"), true);

    // The child: its command line ends with the six options, and it holds
    // exactly the two sockets they name.
    const ChildReport child = readChildReport(reportFile);
    ASSERT_EQ(9u, child.arguments.size()) << ::testing::PrintToString(child.arguments);
    EXPECT_EQ((Strings{"until-close", "7", toUtf8(reportFile), "--pre-established-listener"}),
              Strings(child.arguments.begin(), child.arguments.begin() + 4));
    EXPECT_EQ("--pre-established-connection", child.arguments[5]);
    EXPECT_EQ((Strings{"--max-file-write-cache-size", "1073741824"}),
              Strings(child.arguments.begin() + 7, child.arguments.end()));
    const std::string& listener = child.arguments[4];
    const std::string& connection = child.arguments[6];
    EXPECT_NE(listener, connection);
    // The accepted end of the pair shares the listener's address; which is
    // which shows in what they do: the listener answered a client above, and
    // the connection brought the close that ended the child with its own code.
    EXPECT_EQ("127.0.0.1:54321", child.listener);
    EXPECT_EQ("127.0.0.1:54321", child.connection);
    const std::uint64_t listenerValue = std::stoull(listener);
    const std::uint64_t connectionValue = std::stoull(connection);
    EXPECT_EQ("sockets " + std::to_string(std::min(listenerValue, connectionValue)) + " "
                  + std::to_string(std::max(listenerValue, connectionValue)),
              child.sockets);

    // The host: only its own end, the connecting one, once the child runs.
    ASSERT_TRUE(scanned);
    ASSERT_EQ(1u, hostSockets.size()) << "the host kept more than its end of the pair";
    EXPECT_EQ("127.0.0.1:54321", hostSockets[0].peer);
    EXPECT_NE("127.0.0.1:54321", hostSockets[0].local);
    EXPECT_FALSE(hostSockets[0].listening);
}

TEST_F(SupervisionTest, ServerModeChildThatEndsByItselfIsReportedWithoutStopPending)
{
    const Clock::time_point start = Clock::now();
    runServiceMain({childOverride(), L"server", L"exit", L"6"});
    EXPECT_LT(millisecondsSince(start), 4000) << "a child that has ended needs no grace period";

    expectServerModeRun(errorEvent(L"Server terminated: could not open log file"), false);
}

TEST_F(SupervisionTest, ServerModeChildThatIgnoresTheCloseIsTerminatedAfterTheGracePeriod)
{
    testChild::TempDirectory folder;
    const std::wstring reportFile = folder.file(L"report.txt");
    long long elapsed = -1;
    {
        ServiceRun run({childOverride(), L"server", L"ignore-close", reportFile});
        elapsed = stopOnceReported(run, reportFile);
    }
    ASSERT_GE(elapsed, 0);
    EXPECT_GE(elapsed, 4900) << "terminated before the grace period ran out";
    EXPECT_LT(elapsed, 9000) << "the terminate came late or needed the second grace period";
    expectServerModeRun(errorEvent(L"Server terminated unexpectedly with code 255"), true);
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
    EXPECT_EQ((Strings{
                  firstStartPending,
                  launching(),
                  stopped,
                  errorEvent(L"Could not create primary socket connection"),
              }),
              recorder::describeAll(recorder::entries()));
    Sleep(200);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(reportFile.c_str())) << "a child was started";
}

TEST_F(SupervisionTest, ServerModeLaunchFailureReleasesThePort)
{
    testChild::TempDirectory folder;
    const std::wstring missing = folder.file(L"missing-server.exe");
    runServiceMain({L"--executable=" + missing, L"server"});

    const Strings log = recorder::describeAll(recorder::entries());
    const int socketReports = socketSetReports(log);
    ASSERT_GT(socketReports, 0) << ::testing::PrintToString(log);
    Strings expected = serverModeLaunch(infoEvent(L"Launching server executable " + missing), socketReports);
    expected.push_back(stopped);
    expected.push_back(errorEvent(L"Could not start server process"));
    EXPECT_EQ(expected, log);

    PortHolder holder;
    EXPECT_TRUE(holder.bound()) << "the host still holds a socket on the server port";
}

// Without an executable the system would take the next argument for the
// program: here a real one, which must not be started.
TEST_F(SupervisionTest, EmptyExecutableIsNeverLaunched)
{
    testChild::TempDirectory folder;
    const std::wstring echoed = folder.file(L"echoed.txt");
    runServiceMain({L"--executable=\"\"", testChild::path(), L"echo-args", echoed});

    EXPECT_EQ(recorder::failedLaunch(L""), recorder::describeAll(recorder::entries()));
    Sleep(200);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(echoed.c_str())) << "the next argument was started";
}
