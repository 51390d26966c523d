// Works a service from inside Wine, where the SCM lives: "wine_driver <service> <step>...". One process runs
// all steps, so that no Wine start comes between two of them:
//   free                  waits up to 10 s until 127.0.0.1:54321 can be bound, as the host binds it
//   hold                  listens on 127.0.0.1:54321 until this process ends
//   start[:<argument>]    StartServiceW with that one argument, or with the NUL-separated UTF-16
//   start:@<file>         arguments in the file; then watches until RUNNING or STOPPED
//   stop:<n>              sends n stop controls at once and watches until STOPPED
//   watch                 watches until STOPPED
//   quiet:<ms>            every state the service shows in that time
//   kill:<code>           terminates the server processes with that exit code
// It prints "key=value" lines, states by name, or "error=..." and then ends with 1.
// "wine_driver --baseline" is the bench's bare baseline service.
#include "test_sockets.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <tlhelp32.h>
#include <vector>

namespace {
const std::wstring serverImage = L"quorvanta-embedded-server.exe";
wchar_t baselineName[] = L"Quorvanta-Baseline";

double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool fail(const std::string& what, unsigned long code)
{
    std::printf("error=%s %lu\n", what.c_str(), code);
    return false;
}

const char* stateName(DWORD state)
{
    static const char* const names[] = {"UNKNOWN", "STOPPED",          "START_PENDING", "STOP_PENDING",
                                        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < std::size(names) ? names[state] : "UNKNOWN";
}

void appendItem(std::string& list, const std::string& item)
{
    if (!list.empty())
        list += ",";
    list += item;
}

// State 0 when the query fails.
SERVICE_STATUS_PROCESS queryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

// How many host and server processes run; with killCode, the servers are terminated with it.
unsigned countProcesses(const DWORD* killCode = nullptr)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    unsigned found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const bool server = lstrcmpiW(entry.szExeFile, serverImage.c_str()) == 0;
        if (server || lstrcmpiW(entry.szExeFile, L"quorvanta-apiclient.exe") == 0)
            ++found;
        if (!server || killCode == nullptr)
            continue;
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        const bool killed = process != nullptr && TerminateProcess(process, *killCode);
        std::printf("killed=%d\n", killed ? 1 : 0);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

// Polls every millisecond until RUNNING or STOPPED when starting, else until STOPPED; then prints the
// final status and how many processes are left after up to 5 s.
bool watch(SC_HANDLE service, double originMs, double limitMs, bool starting)
{
    std::string seen;
    for (DWORD last = 0;; Sleep(1)) {
        const SERVICE_STATUS_PROCESS status = queryStatus(service);
        const double atMs = nowMs() - originMs;
        if (status.dwCurrentState != last) {
            last = status.dwCurrentState;
            appendItem(seen, stateName(last));
        }
        if (starting && (last == SERVICE_RUNNING || last == SERVICE_STOPPED)) {
            std::printf("started=%s\nstarted_ms=%.2f\nstarted_seen=%s\n", stateName(last), atMs, seen.c_str());
            return true;
        }
        if (last == SERVICE_STOPPED) {
            unsigned left = countProcesses();
            for (const double untilMs = nowMs() + 5000; left != 0 && nowMs() < untilMs; left = countProcesses())
                Sleep(20);
            std::printf("stopped_ms=%.2f\nstopped_seen=%s\nwin32=%lu\nspecific=%lu\nleft=%u\n", atMs, seen.c_str(),
                        status.dwWin32ExitCode, status.dwServiceSpecificExitCode, left);
            return true;
        }
        if (last == 0 || atMs > limitMs)
            return fail("no final state, seen " + seen, GetLastError());
    }
}

// Controls from threads of their own, all at once (under Wine ControlService can block until the
// service answers), while this thread watches for STOPPED. Prints each control's result.
bool stop(SC_HANDLE service, long count)
{
    const double originMs = nowMs();
    std::vector<std::future<DWORD>> controls;
    for (long i = 0; i < std::max(count, 1L); ++i) {
        controls.push_back(std::async(std::launch::async, [service] {
            SERVICE_STATUS status{};
            if (ControlService(service, SERVICE_CONTROL_STOP, &status))
                return DWORD{0};
            return GetLastError();
        }));
    }
    const bool stopped = watch(service, originMs, 20000, false);
    std::string results;
    for (std::future<DWORD>& control : controls) {
        // Destroying a future that is not ready would wait for good.
        if (control.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            fail("a stop control still blocked after ms", 30000);
            std::fflush(stdout);
            ExitProcess(1);
        }
        appendItem(results, std::to_string(control.get()));
    }
    std::printf("controls=%s\n", results.c_str());
    return stopped;
}

std::vector<std::wstring> startArguments(const std::wstring& value)
{
    if (value.empty())
        return {};
    if (value[0] != L'@')
        return {value};
    std::ostringstream bytes;
    bytes << std::ifstream(value.substr(1).c_str(), std::ios::binary).rdbuf();
    const std::string data = bytes.str();
    std::wistringstream text(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2));
    std::vector<std::wstring> arguments;
    for (std::wstring argument; std::getline(text, argument, L'\0');)
        arguments.push_back(argument);
    return arguments;
}

bool waitForFreePort()
{
    const double untilMs = nowMs() + 10000;
    for (;;) {
        const SOCKET probe = testSockets::listenOn(54321);
        if (probe != INVALID_SOCKET) {
            closesocket(probe);
            return true;
        }
        if (nowMs() > untilMs)
            return fail("port 54321 still taken after ms", 10000);
        Sleep(5);
    }
}

bool start(SC_HANDLE service, const std::wstring& value)
{
    const std::vector<std::wstring> arguments = startArguments(value);
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& argument : arguments)
        pointers.push_back(argument.c_str());
    if (!StartServiceW(service, static_cast<DWORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data()))
        return fail("StartServiceW", GetLastError());
    return watch(service, nowMs(), 15000, true);
}

// A pending report that lands after STOPPED sticks under Wine: every state counts.
bool watchQuietly(SC_HANDLE service, long durationMs)
{
    std::string seen;
    const double untilMs = nowMs() + durationMs;
    for (DWORD last = 0; nowMs() < untilMs; Sleep(2)) {
        const DWORD state = queryStatus(service).dwCurrentState;
        if (state != last) {
            last = state;
            appendItem(seen, stateName(state));
        }
    }
    std::printf("quiet=%s\n", seen.c_str());
    return true;
}

bool runStep(SC_HANDLE service, const std::wstring& verb, const std::wstring& value)
{
    const long number = std::wcstol(value.c_str(), nullptr, 10);
    if (verb == L"free")
        return waitForFreePort();
    if (verb == L"hold") {
        if (testSockets::listenOn(54321) == INVALID_SOCKET)
            return fail("cannot hold port 54321", WSAGetLastError());
        return true;
    }
    if (verb == L"kill") {
        const DWORD code = static_cast<DWORD>(number);
        countProcesses(&code);
        return true;
    }
    if (verb == L"start")
        return start(service, value);
    if (verb == L"stop")
        return stop(service, number);
    if (verb == L"watch")
        return watch(service, nowMs(), 20000, false);
    if (verb == L"quiet")
        return watchQuietly(service, number);
    return fail("unknown step", 0);
}

// The baseline: the same server with the same two inherited sockets, without pair proof or event
// log; stopped by closing its own end, terminated after 5 s. Only its main thread reports, so no
// report of the handler can meet the final one.
void WINAPI baselineMain(DWORD, LPWSTR*)
{
    static const HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const SERVICE_STATUS_HANDLE statusHandle = RegisterServiceCtrlHandlerW(baselineName, [](DWORD control) {
        if (control == SERVICE_CONTROL_STOP)
            SetEvent(stopEvent);
    });
    const auto report = [statusHandle](DWORD state) {
        SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
        SetServiceStatus(statusHandle, &status);
    };
    report(SERVICE_START_PENDING);
    const SOCKET listener = testSockets::listenOn(54321);
    const SOCKET ownEnd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SetHandleInformation(reinterpret_cast<HANDLE>(ownEnd), HANDLE_FLAG_INHERIT, 0);
    const sockaddr_in server = testSockets::loopback(54321);
    SOCKET childEnd = INVALID_SOCKET;
    if (connect(ownEnd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0)
        childEnd = accept(listener, nullptr, nullptr);
    const std::wstring program = L"C:\\svc\\" + serverImage; // where the harness puts it
    std::wstring commandLine = L"\"" + program + L"\" server --pre-established-listener " + std::to_wstring(listener)
        + L" --pre-established-connection " + std::to_wstring(childEnd) + L" --max-file-write-cache-size 1073741824";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const bool launched = childEnd != INVALID_SOCKET
        && CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &child);
    closesocket(listener);
    closesocket(childEnd);
    if (launched) {
        report(SERVICE_RUNNING);
        const HANDLE waits[] = {stopEvent, child.hProcess};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        closesocket(ownEnd);
        if (WaitForSingleObject(child.hProcess, 5000) != WAIT_OBJECT_0 && TerminateProcess(child.hProcess, 255))
            WaitForSingleObject(child.hProcess, 5000);
    }
    report(SERVICE_STOPPED);
}
} // namespace

int wmain(int argc, wchar_t* argv[])
{
    SERVICE_TABLE_ENTRYW table[] = {{baselineName, baselineMain}, {nullptr, nullptr}};
    if (argc == 2 && argv[1] == std::wstring(L"--baseline"))
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    if (argc < 2)
        return 1;
    // Unbuffered, so that what a driver that dies printed still reaches the harness.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const DWORD access = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
    const SC_HANDLE service = OpenServiceW(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), argv[1], access);
    std::printf("open=%lu\n", service != nullptr ? 0ul : GetLastError());
    for (int i = 2; i < argc; ++i) {
        const std::wstring step = argv[i];
        const std::size_t colon = std::min(step.find(L':'), step.size());
        const std::wstring value = colon < step.size() ? step.substr(colon + 1) : L"";
        const bool done = runStep(service, step.substr(0, colon), value);
        if (std::fflush(stdout) != 0 || !done)
            return 1;
    }
    return 0;
}
