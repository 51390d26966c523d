// What the soak and benchmark drivers need to drive an installed service from
// inside Wine: start it, watch its states through the SCM, send it stop
// controls from other threads, talk HTTP to the server it runs, and see which
// processes and ports it leaves behind. Every wait takes a limit.
#pragma once

#include "WinApi.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Milliseconds on the performance counter; only differences mean anything.
double nowMs();

const char* stateName(DWORD state);

class ScHandle {
public:
    ScHandle() = default;
    explicit ScHandle(SC_HANDLE handle) : mHandle(handle) {}
    ~ScHandle();
    ScHandle(ScHandle&& other) noexcept : mHandle(other.release()) {}
    ScHandle& operator=(ScHandle&& other) noexcept;
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return mHandle; }
    SC_HANDLE release();
    explicit operator bool() const { return mHandle != nullptr; }

private:
    SC_HANDLE mHandle = nullptr;
};

// The manager and one service with every access the drivers use. On failure
// `error` says which call failed and with which code.
struct OpenedService {
    ScHandle manager;
    ScHandle service;
    std::string error;

    explicit operator bool() const { return static_cast<bool>(service); }
};
OpenedService openService(const wchar_t* name);

struct StateSample {
    DWORD state = 0;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    double atMs = 0;
};

struct Watch {
    bool reached = false;        // one of the wanted states was seen
    bool queryFailed = false;    // QueryServiceStatusEx failed; `error` holds its code
    DWORD error = 0;
    DWORD last = 0;              // the last state seen
    double atMs = 0;             // when it was seen, from the watch's origin
    DWORD processId = 0;         // of the service process, while it had one
    std::vector<StateSample> seen; // every change of state, in order
};

// Polls QueryServiceStatusEx, sleeping sleepMs between polls, until one of
// the wanted states shows or limitMs has passed since originMs.
Watch watchService(SC_HANDLE service, std::initializer_list<DWORD> wanted, double originMs, double limitMs,
                   DWORD sleepMs = 1);

// Every report the SCM shows during durationMs (changes of state or of
// checkpoint), for checking that nothing follows a final state.
std::vector<StateSample> observeService(SC_HANDLE service, double durationMs);

// StartServiceW with the given arguments (argv[0], the service name, is added
// by the SCM). Returns 0 or the error code.
DWORD startService(SC_HANDLE service, const std::vector<std::wstring>& arguments);

// Stop controls sent by threads of their own, all released at once: under
// Wine ControlService itself can block until the service answers. A sender
// still blocked when join gives up keeps pointing into this object, so a
// caller that sees join fail must end the process rather than go on.
class StopControls {
public:
    StopControls(SC_HANDLE service, int count);
    ~StopControls();
    StopControls(const StopControls&) = delete;
    StopControls& operator=(const StopControls&) = delete;

    // False when the threads could not be made (then nothing is sent).
    bool ready() const { return mReady; }
    void release();
    // True when every sender returned within the limit.
    bool join(DWORD limitMs);
    // One per sender: 0 for success, else ControlService's error.
    const std::vector<DWORD>& results() const { return mResults; }
    int countOf(DWORD result) const;

private:
    static DWORD WINAPI send(void* context);

    struct Sender {
        StopControls* owner;
        std::size_t index;
    };

    SC_HANDLE mService;
    HANDLE mGate = nullptr;
    std::vector<HANDLE> mThreads;
    std::vector<Sender> mSenders;
    std::vector<DWORD> mResults;
    bool mReady = false;
    bool mJoined = false;
};

struct HttpResponse {
    int status = 0;      // 0 when no complete response arrived
    std::string body;
    std::string error;   // what went wrong when status is 0
};

// One request to 127.0.0.1:54321 on a connection of its own, closed by us
// first once the whole response is read (the server waits for that, and the
// TIME_WAIT then stays on our side, not on the listening port).
HttpResponse httpRequest(const std::string& method, const std::string& path, const std::string& body = {},
                         DWORD limitMs = 10000);

// Processes whose image file name is `image` (case ignored).
unsigned countProcesses(const wchar_t* image);
// Waits until none is left; false if some still run after limitMs.
bool waitNoProcess(const wchar_t* image, double limitMs);

// Whether a fresh socket can bind 127.0.0.1:54321 right now (without any
// address-reuse option, as the host binds it).
bool serverPortBindable();
bool waitServerPortBindable(double limitMs);

// Decimal rendering of a list of samples, for the drivers' output lines.
std::string describeStates(const std::vector<StateSample>& samples);

// Deterministic contents for file `index` of a run seeded with `seed`.
std::string payload(std::uint32_t seed, std::uint32_t index, std::size_t size);
