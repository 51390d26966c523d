#include "service_driver.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint16_t serverPort = 54321;

sockaddr_in serverAddress()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(serverPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class ScopedSocket {
public:
    explicit ScopedSocket(SOCKET socket) : mSocket(socket) {}
    ~ScopedSocket()
    {
        if (mSocket != INVALID_SOCKET)
            closesocket(mSocket);
    }
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;
    SOCKET get() const { return mSocket; }

private:
    SOCKET mSocket;
};

std::string errorText(const char* call, long code)
{
    return std::string(call) + " " + std::to_string(code);
}

bool sendAll(SOCKET socket, const char* data, std::size_t size, double deadlineMs)
{
    while (size > 0) {
        if (nowMs() > deadlineMs)
            return false;
        const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        const int sent = send(socket, data, chunk, 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

double nowMs()
{
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return static_cast<double>(value.QuadPart) * 1000.0 / frequency;
}

const char* stateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return "PAUSE_PENDING";
    case SERVICE_PAUSED:
        return "PAUSED";
    default:
        return "NONE";
    }
}

ScHandle::~ScHandle()
{
    if (mHandle != nullptr)
        CloseServiceHandle(mHandle);
}

ScHandle& ScHandle::operator=(ScHandle&& other) noexcept
{
    if (this != &other) {
        if (mHandle != nullptr)
            CloseServiceHandle(mHandle);
        mHandle = other.release();
    }
    return *this;
}

SC_HANDLE ScHandle::release()
{
    SC_HANDLE handle = mHandle;
    mHandle = nullptr;
    return handle;
}

OpenedService openService(const wchar_t* name)
{
    OpenedService opened;
    opened.manager = ScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!opened.manager) {
        opened.error = errorText("OpenSCManager", static_cast<long>(GetLastError()));
        return opened;
    }
    opened.service = ScHandle(OpenServiceW(opened.manager.get(), name,
                                           SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!opened.service)
        opened.error = errorText("OpenService", static_cast<long>(GetLastError()));
    return opened;
}

Watch watchService(SC_HANDLE service, std::initializer_list<DWORD> wanted, double originMs, double limitMs,
                   DWORD sleepMs)
{
    Watch watch;
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        const BOOL queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                  sizeof status, &needed);
        const double at = nowMs() - originMs;
        if (!queried) {
            watch.queryFailed = true;
            watch.error = GetLastError();
            return watch;
        }
        if (status.dwProcessId != 0)
            watch.processId = status.dwProcessId;
        if (watch.seen.empty() || status.dwCurrentState != watch.last) {
            watch.seen.push_back({status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint, at});
            watch.last = status.dwCurrentState;
            watch.atMs = at;
        }
        for (const DWORD state : wanted) {
            if (status.dwCurrentState == state) {
                watch.reached = true;
                return watch;
            }
        }
        if (at > limitMs)
            return watch;
        Sleep(sleepMs);
    }
}

std::vector<StateSample> observeService(SC_HANDLE service, double durationMs)
{
    std::vector<StateSample> samples;
    const double origin = nowMs();
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        const double at = nowMs() - origin;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed)) {
            const bool changed = samples.empty() || samples.back().state != status.dwCurrentState
                || samples.back().checkPoint != status.dwCheckPoint;
            if (changed)
                samples.push_back({status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint, at});
        }
        if (at > durationMs)
            return samples;
        Sleep(2);
    }
}

DWORD startService(SC_HANDLE service, const std::vector<std::wstring>& arguments)
{
    std::vector<LPCWSTR> pointers;
    pointers.reserve(arguments.size());
    for (const std::wstring& argument : arguments)
        pointers.push_back(argument.c_str());
    if (StartServiceW(service, static_cast<DWORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data()))
        return 0;
    return GetLastError();
}

StopControls::StopControls(SC_HANDLE service, int count) : mService(service)
{
    mGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (mGate == nullptr || count <= 0 || count > MAXIMUM_WAIT_OBJECTS)
        return;
    mResults.assign(static_cast<std::size_t>(count), ERROR_IO_PENDING);
    mSenders.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        mSenders.push_back({this, static_cast<std::size_t>(i)});
    for (Sender& sender : mSenders) {
        HANDLE thread = CreateThread(nullptr, 0, &StopControls::send, &sender, 0, nullptr);
        if (thread == nullptr) {
            // Let the ones already made go, so that join can collect them.
            release();
            return;
        }
        mThreads.push_back(thread);
    }
    mReady = true;
}

StopControls::~StopControls()
{
    if (!mJoined) {
        release();
        join(30000);
    }
    for (HANDLE thread : mThreads)
        CloseHandle(thread);
    if (mGate != nullptr)
        CloseHandle(mGate);
}

void StopControls::release()
{
    if (mGate != nullptr)
        SetEvent(mGate);
}

bool StopControls::join(DWORD limitMs)
{
    if (mThreads.empty())
        return true;
    const DWORD result
        = WaitForMultipleObjects(static_cast<DWORD>(mThreads.size()), mThreads.data(), TRUE, limitMs);
    mJoined = result < WAIT_OBJECT_0 + mThreads.size();
    return mJoined;
}

int StopControls::countOf(DWORD result) const
{
    int count = 0;
    for (const DWORD value : mResults)
        count += value == result ? 1 : 0;
    return count;
}

DWORD WINAPI StopControls::send(void* context)
{
    const auto* sender = static_cast<const Sender*>(context);
    StopControls* owner = sender->owner;
    WaitForSingleObject(owner->mGate, INFINITE);
    SERVICE_STATUS status{};
    owner->mResults[sender->index] = ControlService(owner->mService, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
    return 0;
}

HttpResponse httpRequest(const std::string& method, const std::string& path, const std::string& body, DWORD limitMs)
{
    HttpResponse response;
    const double deadline = nowMs() + limitMs;
    ScopedSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (connection.get() == INVALID_SOCKET) {
        response.error = errorText("socket", WSAGetLastError());
        return response;
    }
    // Blocking calls, each bounded by the socket timeouts; the deadline
    // bounds the whole exchange.
    const DWORD timeout = limitMs;
    setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    const sockaddr_in address = serverAddress();
    if (connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        response.error = errorText("connect", WSAGetLastError());
        return response;
    }

    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:54321\r\nConnection: close\r\n";
    if (method == "PUT" || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    if (!sendAll(connection.get(), request.data(), request.size(), deadline)
        || !sendAll(connection.get(), body.data(), body.size(), deadline)) {
        response.error = errorText("send", WSAGetLastError());
        return response;
    }

    std::string received;
    std::size_t headerEnd = std::string::npos;
    std::size_t contentLength = 0;
    bool haveLength = false;
    char buffer[65536];
    for (;;) {
        if (headerEnd != std::string::npos) {
            // HEAD and bodiless statuses end with the head.
            const bool noBody = method == "HEAD" || response.status == 204 || response.status == 304;
            const std::size_t want = noBody ? 0 : contentLength;
            if ((haveLength || noBody) && received.size() - (headerEnd + 4) >= want) {
                response.body = received.substr(headerEnd + 4, want);
                return response;
            }
        }
        if (nowMs() > deadline) {
            response.status = 0;
            response.error = "no complete response within the limit";
            return response;
        }
        const int count = recv(connection.get(), buffer, sizeof buffer, 0);
        if (count <= 0) {
            const int error = WSAGetLastError();
            if (count == 0 && headerEnd != std::string::npos && !haveLength) {
                response.body = received.substr(headerEnd + 4);
                return response;
            }
            response.status = 0;
            response.error = count == 0 ? "connection closed before the response ended" : errorText("recv", error);
            return response;
        }
        received.append(buffer, static_cast<std::size_t>(count));
        if (headerEnd == std::string::npos) {
            headerEnd = received.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::string head = received.substr(0, headerEnd);
                if (head.size() < 12 || head.compare(0, 5, "HTTP/") != 0) {
                    response.error = "malformed status line";
                    return response;
                }
                response.status = std::atoi(head.c_str() + 9);
                std::size_t lineStart = head.find("\r\n");
                while (lineStart != std::string::npos) {
                    lineStart += 2;
                    const std::size_t lineEnd = head.find("\r\n", lineStart);
                    const std::string line = head.substr(lineStart, lineEnd == std::string::npos ? std::string::npos
                                                                                                 : lineEnd - lineStart);
                    if (_strnicmp(line.c_str(), "Content-Length:", 15) == 0) {
                        contentLength = static_cast<std::size_t>(std::strtoull(line.c_str() + 15, nullptr, 10));
                        haveLength = true;
                    }
                    lineStart = lineEnd;
                }
            }
        }
    }
}

unsigned countProcesses(const wchar_t* image)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ~0u;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    unsigned found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, image) == 0)
            ++found;
    }
    CloseHandle(snapshot);
    return found;
}

bool waitNoProcess(const wchar_t* image, double limitMs)
{
    const double deadline = nowMs() + limitMs;
    for (;;) {
        if (countProcesses(image) == 0)
            return true;
        if (nowMs() > deadline)
            return false;
        Sleep(20);
    }
}

bool serverPortBindable()
{
    ScopedSocket probe(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (probe.get() == INVALID_SOCKET)
        return false;
    const sockaddr_in address = serverAddress();
    return bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool waitServerPortBindable(double limitMs)
{
    const double deadline = nowMs() + limitMs;
    for (;;) {
        if (serverPortBindable())
            return true;
        if (nowMs() > deadline)
            return false;
        Sleep(20);
    }
}

std::string describeStates(const std::vector<StateSample>& samples)
{
    std::string text;
    for (const StateSample& sample : samples) {
        if (!text.empty())
            text += ",";
        char item[96];
        std::snprintf(item, sizeof item, "%s/%lu@%.1f", stateName(sample.state), sample.checkPoint, sample.atMs);
        text += item;
    }
    return text;
}

std::string payload(std::uint32_t seed, std::uint32_t index, std::size_t size)
{
    // xorshift32: cheap, and different for every (seed, index).
    std::uint32_t state = seed * 2654435761u ^ (index + 1) * 40503u;
    if (state == 0)
        state = 1;
    std::string data(size, '\0');
    for (char& byte : data) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xFF);
    }
    return data;
}
