// Drives the installed host through long and hostile runs from inside Wine,
// where one process can start, watch and stop the service many times without
// paying for a Wine start per step. One verb per run:
//
//   cycles <service> <count> <seed>      start, store and read back a file, stop;
//                                        then one more start that checks every file
//   storm <service> <rounds> <controls>  many stop controls at once on a running service
//   race <service> <runs> <exit code>    a stop control that meets a child ending by itself
//   crashloop <service> <count>          a child that crashes at once, started again and again
//   hostile <service> <starts> <racers>  strangers connecting to the server port during the start
//   args <service> <file>                start arguments from a file (one per line, UTF-16
//                                        units as hex), then what the child got (GET /arguments),
//                                        then a stop
//
// Output: one "key=value ..." line per step, "failure=<why>" for a broken
// expectation, and a last line "result=pass" or "result=fail". The event-log
// side of each run is checked by the caller, which reads Wine's trace.
#include "service_driver.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* serverImage = L"quorvanta-embedded-server.exe";
constexpr const wchar_t* hostImage = L"quorvanta-apiclient.exe";
constexpr double startLimitMs = 15000;
// Two grace periods of 5 s, and room for Wine.
constexpr double stopLimitMs = 20000;
constexpr DWORD joinLimitMs = 30000;
constexpr double processLimitMs = 5000;
constexpr double portLimitMs = 10000;

constexpr DWORD errorCannotAcceptControl = 1061;
constexpr DWORD errorNotActive = 1062;

int failures = 0;

void say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void say(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool expect(bool condition, const std::string& why)
{
    if (!condition) {
        ++failures;
        say("failure=%s", why.c_str());
    }
    return condition;
}

int finish()
{
    say("result=%s failures=%d", failures == 0 ? "pass" : "fail", failures);
    return failures == 0 ? 0 : 1;
}

// A stop control on its own thread; the caller watches the states meanwhile.
// Returns the watch from the moment the control was released.
Watch stopAndWatch(SC_HANDLE service, int controls, std::vector<DWORD>* results = nullptr)
{
    StopControls senders(service, controls);
    if (!senders.ready()) {
        expect(false, "cannot create the stop senders");
        return {};
    }
    const double origin = nowMs();
    senders.release();
    Watch watch = watchService(service, {SERVICE_STOPPED}, origin, stopLimitMs);
    if (!senders.join(joinLimitMs)) {
        expect(false, "a stop control did not return within " + std::to_string(joinLimitMs) + " ms");
        // A sender still inside ControlService refers to `senders`: end here.
        finish();
        std::fflush(nullptr);
        ExitProcess(1);
    }
    if (results != nullptr)
        *results = senders.results();
    return watch;
}

bool onlyStates(const std::vector<StateSample>& samples, std::initializer_list<DWORD> allowed)
{
    for (const StateSample& sample : samples) {
        bool ok = false;
        for (const DWORD state : allowed)
            ok = ok || sample.state == state;
        if (!ok)
            return false;
    }
    return true;
}

// After STOPPED nothing else may show: a late pending report would leave the
// service looking busy for good under Wine.
void expectStaysStopped(SC_HANDLE service, double durationMs, const std::string& when)
{
    const std::vector<StateSample> after = observeService(service, durationMs);
    expect(!after.empty() && onlyStates(after, {SERVICE_STOPPED}),
           when + ": a report other than STOPPED after STOPPED: " + describeStates(after));
}

void expectNothingLeft(const std::string& when)
{
    expect(waitNoProcess(serverImage, processLimitMs), when + ": a server process is still running");
    expect(waitNoProcess(hostImage, processLimitMs), when + ": the host process is still running");
}

bool startAndWatch(SC_HANDLE service, const std::vector<std::wstring>& arguments, Watch& watch, const std::string& when)
{
    if (!expect(waitServerPortBindable(portLimitMs), when + ": port 54321 cannot be bound before the start"))
        return false;
    const DWORD error = startService(service, arguments);
    const double origin = nowMs();
    if (!expect(error == 0, when + ": StartServiceW failed with " + std::to_string(error)))
        return false;
    watch = watchService(service, {SERVICE_RUNNING, SERVICE_STOPPED}, origin, startLimitMs);
    return expect(watch.reached, when + ": neither RUNNING nor STOPPED within the limit: " + describeStates(watch.seen));
}

bool stopRunning(SC_HANDLE service, const std::string& when, double* stopMs = nullptr)
{
    const Watch watch = stopAndWatch(service, 1);
    if (!expect(watch.reached, when + ": not STOPPED within the limit: " + describeStates(watch.seen)))
        return false;
    expect(onlyStates(watch.seen, {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
           when + ": unexpected state while stopping: " + describeStates(watch.seen));
    if (stopMs != nullptr)
        *stopMs = watch.atMs;
    return true;
}

std::string fileName(std::uint32_t index)
{
    return "soak-" + std::to_string(index) + ".bin";
}

// Sizes that cross the server's buffer sizes and the socket buffers; every
// 50th file is larger than a megabyte.
std::size_t fileSize(std::uint32_t index)
{
    static const std::size_t sizes[] = {1, 777, 4096, 65537, 262147, 13, 100000};
    if (index % 50 == 49)
        return (2u << 20) + 3;
    return sizes[index % (sizeof sizes / sizeof sizes[0])];
}

bool expectFile(std::uint32_t seed, std::uint32_t index, const std::string& when)
{
    const HttpResponse got = httpRequest("GET", "/files/" + fileName(index));
    if (!expect(got.status == 200, when + ": GET " + fileName(index) + " answered " + std::to_string(got.status) + " "
                                       + got.error))
        return false;
    const std::string wanted = payload(seed, index, fileSize(index));
    return expect(got.body == wanted, when + ": " + fileName(index) + " came back with " + std::to_string(got.body.size())
                                          + " bytes, not the " + std::to_string(wanted.size()) + " stored");
}

int cycles(SC_HANDLE service, std::uint32_t count, std::uint32_t seed)
{
    say("seed=%u cycles=%u", seed, count);
    std::uint32_t passed = 0;
    for (std::uint32_t i = 0; i < count && failures == 0; ++i) {
        const std::string when = "cycle " + std::to_string(i);
        Watch started;
        if (!startAndWatch(service, {}, started, when))
            break;
        if (!expect(started.last == SERVICE_RUNNING, when + ": STOPPED instead of RUNNING: " + describeStates(started.seen)))
            break;

        const std::string data = payload(seed, i, fileSize(i));
        const HttpResponse put = httpRequest("PUT", "/files/" + fileName(i), data);
        expect(put.status == 201, when + ": PUT " + fileName(i) + " answered " + std::to_string(put.status) + " " + put.error);
        expectFile(seed, i, when);
        // The file of the run before survived its server's stop.
        if (i > 0)
            expectFile(seed, i - 1, when);

        double stopMs = 0;
        if (!stopRunning(service, when, &stopMs))
            break;
        expectNothingLeft(when);
        if (failures == 0)
            ++passed;
        say("cycle=%u start_ms=%.1f stop_ms=%.1f bytes=%llu", i, started.atMs, stopMs,
            static_cast<unsigned long long>(data.size()));
    }

    // Every file, in one more run: none lost, none cut short.
    if (failures == 0) {
        Watch started;
        if (startAndWatch(service, {}, started, "final check")
            && expect(started.last == SERVICE_RUNNING, "final check: STOPPED instead of RUNNING")) {
            const HttpResponse list = httpRequest("GET", "/files/");
            std::string wanted;
            std::vector<std::string> names;
            for (std::uint32_t i = 0; i < count; ++i)
                names.push_back(fileName(i));
            std::sort(names.begin(), names.end());
            for (const std::string& name : names)
                wanted += name + "\n";
            expect(list.status == 200 && list.body == wanted,
                   "final check: the listing differs from the " + std::to_string(count) + " files stored ("
                       + std::to_string(list.body.size()) + " bytes of listing)");
            std::uint32_t intact = 0;
            for (std::uint32_t i = 0; i < count; ++i)
                intact += expectFile(seed, i, "final check") ? 1 : 0;
            for (std::uint32_t i = 0; i < count; ++i) {
                const HttpResponse removed = httpRequest("DELETE", "/files/" + fileName(i));
                expect(removed.status == 204, "final check: DELETE " + fileName(i) + " answered "
                                                  + std::to_string(removed.status));
            }
            say("files_intact=%u of=%u", intact, count);
            stopRunning(service, "final check");
            expectNothingLeft("final check");
        }
    }
    say("cycles_passed=%u of=%u", passed, count);
    return finish();
}

int storm(SC_HANDLE service, int rounds, int controls)
{
    for (int round = 0; round < rounds && failures == 0; ++round) {
        const std::string when = "storm " + std::to_string(round);
        Watch started;
        if (!startAndWatch(service, {}, started, when)
            || !expect(started.last == SERVICE_RUNNING, when + ": STOPPED instead of RUNNING"))
            break;
        const HttpResponse list = httpRequest("GET", "/files/");
        expect(list.status == 200, when + ": the server does not answer: " + list.error);

        std::vector<DWORD> results;
        const Watch stopped = stopAndWatch(service, controls, &results);
        if (!expect(stopped.reached, when + ": not STOPPED within the limit: " + describeStates(stopped.seen)))
            break;
        expectStaysStopped(service, 1500, when);
        int accepted = 0;
        int notActive = 0;
        int refused = 0;
        std::string other;
        for (const DWORD result : results) {
            if (result == 0)
                ++accepted;
            else if (result == errorNotActive)
                ++notActive;
            else if (result == errorCannotAcceptControl)
                ++refused;
            else {
                if (!other.empty())
                    other.push_back(',');
                other.append(std::to_string(result));
            }
        }
        expect(accepted >= 1, when + ": no stop control was accepted");
        expect(other.empty(), when + ": stop controls failed with " + other);
        expectNothingLeft(when);
        say("storm=%d stop_ms=%.1f accepted=%d not_active=%d cannot_accept=%d states=%s", round, stopped.atMs, accepted,
            notActive, refused, describeStates(stopped.seen).c_str());
    }
    return finish();
}

// Busy-waits: Sleep's granularity under Wine is coarser than the steps.
void spinFor(double ms)
{
    const double until = nowMs() + ms;
    while (nowMs() < until) {
    }
}

int race(SC_HANDLE service, int runs, const std::wstring& exitCode)
{
    int met = 0;
    for (int run = 0; run < runs && failures == 0; ++run) {
        const std::string when = "race " + std::to_string(run);
        Watch started;
        if (!startAndWatch(service, {L"--exit-at-once=" + exitCode}, started, when))
            break;
        // Spread the controls over the child's short life, 0 to about 40 ms.
        const double delayMs = (run * 7) % 41;
        spinFor(delayMs);
        std::vector<DWORD> results;
        const Watch stopped = stopAndWatch(service, 1, &results);
        if (!expect(stopped.reached, when + ": not STOPPED within the limit: " + describeStates(stopped.seen)))
            break;
        expectStaysStopped(service, 1000, when);
        const DWORD result = results.empty() ? ERROR_INVALID_DATA : results[0];
        expect(result == 0 || result == errorNotActive || result == errorCannotAcceptControl,
               when + ": the stop control failed with " + std::to_string(result));
        met += result == 0 ? 1 : 0;
        expectNothingLeft(when);
        say("race=%d delay_ms=%.0f reached=%s control=%lu stop_states=%s", run, delayMs, stateName(started.last),
            result, describeStates(stopped.seen).c_str());
    }
    // How often the control still found the service running: the race was met.
    say("controls_accepted=%d of=%d", met, runs);
    return finish();
}

int crashLoop(SC_HANDLE service, int count)
{
    for (int i = 0; i < count && failures == 0; ++i) {
        const std::string when = "crash " + std::to_string(i);
        Watch started;
        if (!startAndWatch(service, {L"--crash"}, started, when))
            break;
        const Watch stopped = watchService(service, {SERVICE_STOPPED}, nowMs(), stopLimitMs);
        if (!expect(stopped.reached, when + ": not STOPPED within the limit: " + describeStates(stopped.seen)))
            break;
        expect(onlyStates(started.seen, {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED})
                   && onlyStates(stopped.seen, {SERVICE_RUNNING, SERVICE_STOPPED}),
               when + ": a pending stop without a stop control: " + describeStates(started.seen) + " "
                   + describeStates(stopped.seen));
        expectStaysStopped(service, 300, when);
        expectNothingLeft(when);
        say("crash=%d states=%s", i, describeStates(started.seen).c_str());
    }
    return finish();
}

// Strangers on the server port: connect as fast as possible while the
// service starts and write a few bytes on every connection that succeeds.
class Racers {
public:
    explicit Racers(int count)
    {
        for (int i = 0; i < count; ++i) {
            HANDLE thread = CreateThread(nullptr, 0, &Racers::race, this, 0, nullptr);
            if (thread != nullptr)
                mThreads.push_back(thread);
        }
    }
    ~Racers()
    {
        stop(joinLimitMs);
        for (HANDLE thread : mThreads)
            CloseHandle(thread);
    }
    Racers(const Racers&) = delete;
    Racers& operator=(const Racers&) = delete;

    int started() const { return static_cast<int>(mThreads.size()); }

    // Ends the racers and closes every connection they made.
    bool stop(DWORD limitMs)
    {
        mStop = true;
        if (mThreads.empty() || mJoined)
            return true;
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(mThreads.size()), mThreads.data(), TRUE, limitMs);
        mJoined = result < WAIT_OBJECT_0 + mThreads.size();
        return mJoined;
    }

    long attempts() const { return mAttempts.load(); }
    long connections() const { return mConnections.load(); }

private:
    static constexpr int maxHeld = 16;

    static DWORD WINAPI race(void* context)
    {
        auto* self = static_cast<Racers*>(context);
        SOCKET held[maxHeld];
        int heldCount = 0;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(54321);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (!self->mStop.load()) {
            SOCKET stranger = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (stranger == INVALID_SOCKET)
                continue;
            ++self->mAttempts;
            if (connect(stranger, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                closesocket(stranger);
                continue;
            }
            ++self->mConnections;
            const char bytes[] = {'\x01', '\x02', '\x03', '\x04', 'x', '\r', '\n'};
            send(stranger, bytes, sizeof bytes, 0);
            // Held open, so that the host and the child meet live strangers,
            // up to a few per racer so that the server's client slots last.
            if (heldCount < maxHeld)
                held[heldCount++] = stranger;
            else
                closesocket(stranger);
        }
        for (int i = 0; i < heldCount; ++i)
            closesocket(held[i]);
        return 0;
    }

    std::vector<HANDLE> mThreads;
    std::atomic<bool> mStop{false};
    bool mJoined = false;
    std::atomic<long> mAttempts{0};
    std::atomic<long> mConnections{0};
};

int hostile(SC_HANDLE service, int starts, int racerCount)
{
    int running = 0;
    for (int start = 0; start < starts && failures == 0; ++start) {
        const std::string when = "hostile start " + std::to_string(start);
        if (!expect(waitServerPortBindable(portLimitMs), when + ": port 54321 cannot be bound before the start"))
            break;
        Watch started;
        long attempts = 0;
        long connections = 0;
        {
            Racers racers(racerCount);
            if (!expect(racers.started() == racerCount, when + ": cannot start the racers"))
                break;
            // Let them get going: the first attempts meet a closed port.
            Sleep(20);
            const DWORD error = startService(service, {});
            const double origin = nowMs();
            if (!expect(error == 0, when + ": StartServiceW failed with " + std::to_string(error)))
                break;
            started = watchService(service, {SERVICE_RUNNING, SERVICE_STOPPED}, origin, startLimitMs);
            // A little longer, so that strangers also queue behind the host's
            // own connection and reach the child as clients.
            Sleep(50);
            if (!expect(racers.stop(joinLimitMs), when + ": the racers did not end")) {
                finish();
                std::fflush(nullptr);
                ExitProcess(1);
            }
            attempts = racers.attempts();
            connections = racers.connections();
        }
        if (!expect(started.reached, when + ": neither RUNNING nor STOPPED: " + describeStates(started.seen)))
            break;

        double stopMs = -1;
        if (started.last == SERVICE_RUNNING) {
            ++running;
            // Every stranger has closed by now. A child that took one of them
            // for its connection to the host would take that close for the
            // host's and end by itself.
            Sleep(700);
            SERVICE_STATUS status{};
            QueryServiceStatus(service, &status);
            expect(status.dwCurrentState == SERVICE_RUNNING,
                   when + ": the service left RUNNING when the strangers closed: " + stateName(status.dwCurrentState));
            const HttpResponse list = httpRequest("GET", "/files/");
            expect(list.status == 200, when + ": the server does not answer: " + list.error);
            if (!stopRunning(service, when, &stopMs))
                break;
            // A child that did not see the host close its end is terminated
            // only after the 5 s grace period.
            expect(stopMs < 4000, when + ": the stop took " + std::to_string(stopMs) + " ms: the child did not see the host close");
        } else {
            expectStaysStopped(service, 300, when);
        }
        expectNothingLeft(when);
        expect(waitServerPortBindable(portLimitMs), when + ": port 54321 still taken after the stop");
        say("hostile=%d reached=%s attempts=%ld connections=%ld stop_ms=%.1f states=%s", start, stateName(started.last),
            attempts, connections, stopMs, describeStates(started.seen).c_str());
    }
    say("hostile_running=%d of=%d", running, starts);
    return finish();
}

bool parseHexLine(const std::string& line, std::wstring& argument)
{
    argument.clear();
    if (line.size() % 4 != 0)
        return false;
    for (std::size_t i = 0; i < line.size(); i += 4) {
        const std::string unit = line.substr(i, 4);
        char* end = nullptr;
        const unsigned long value = std::strtoul(unit.c_str(), &end, 16);
        if (end != unit.c_str() + 4)
            return false;
        argument.push_back(static_cast<wchar_t>(value));
    }
    return true;
}

int arguments(SC_HANDLE service, const wchar_t* path)
{
    std::ifstream file(path, std::ios::binary);
    if (!expect(file.good(), "cannot read the argument file"))
        return finish();
    std::vector<std::wstring> startArguments;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::wstring argument;
        if (!expect(parseHexLine(line, argument), "malformed line in the argument file"))
            return finish();
        startArguments.push_back(argument);
    }
    say("start_arguments=%llu", static_cast<unsigned long long>(startArguments.size()));

    Watch started;
    if (!startAndWatch(service, startArguments, started, "arguments"))
        return finish();
    say("reached=%s", stateName(started.last));
    if (started.last == SERVICE_RUNNING) {
        // A child that refuses its arguments ends right after the start; the
        // caller tells from the event log whether that was expected.
        const HttpResponse got = httpRequest("GET", "/arguments");
        if (got.status != 200)
            say("arguments_unavailable=%d %s", got.status, got.error.c_str());
        std::size_t position = 0;
        while (position < got.body.size()) {
            const std::size_t end = got.body.find('\n', position);
            if (end == std::string::npos)
                break;
            say("argument=%s", got.body.substr(position, end - position).c_str());
            position = end + 1;
        }
        stopRunning(service, "arguments");
    } else {
        expectStaysStopped(service, 300, "arguments");
    }
    expectNothingLeft("arguments");
    return finish();
}

int usage()
{
    std::fputs("usage: soak_driver cycles|storm|race|crashloop|hostile|args <service> ...\n", stderr);
    return 64;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3)
        return usage();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fputs("WSAStartup failed\n", stderr);
        return 1;
    }
    const std::wstring verb = argv[1];
    const OpenedService opened = openService(argv[2]);
    if (!opened) {
        say("failure=%s", opened.error.c_str());
        return 1;
    }
    const SC_HANDLE service = opened.service.get();
    const auto number = [&](int index) { return static_cast<int>(std::wcstol(argv[index], nullptr, 10)); };

    if (verb == L"cycles" && argc == 5)
        return cycles(service, static_cast<std::uint32_t>(number(3)), static_cast<std::uint32_t>(std::wcstoul(argv[4], nullptr, 10)));
    if (verb == L"storm" && argc == 5)
        return storm(service, number(3), number(4));
    if (verb == L"race" && argc == 5)
        return race(service, number(3), argv[4]);
    if (verb == L"crashloop" && argc == 4)
        return crashLoop(service, number(3));
    if (verb == L"hostile" && argc == 5)
        return hostile(service, number(3), number(4));
    if (verb == L"args" && argc == 4)
        return arguments(service, argv[3]);
    return usage();
}
