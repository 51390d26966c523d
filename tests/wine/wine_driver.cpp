// Works a service from inside Wine, where the SCM lives, in steps (free, hold, start[:<argument>|:@<file of
// NUL-separated UTF-16 arguments>], stop:<controls>, watch, quiet:<ms>, kill:<exit code>) run by one process, so
// that a race between steps is not lost in a Wine start. Prints "key=value" lines, or "error=..." and exits with 1.
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
    return std::printf("error=%s %lu\n", what.c_str(), code) < 0;
}

void append(std::string& to, unsigned long value)
{
    to.append(to.empty() ? "" : ",").append(std::to_string(value));
}

SERVICE_STATUS_PROCESS query(SC_HANDLE service)
{ // state 0 when the query fails
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

// Server and host processes; the servers are killed with exit code *kill if given.
unsigned processes(const DWORD* kill = nullptr)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{sizeof entry, 0, 0, 0, 0, 0, 0, 0, 0, {}};
    unsigned found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const bool server = lstrcmpiW(entry.szExeFile, serverImage.c_str()) == 0;
        found += server || lstrcmpiW(entry.szExeFile, L"quorvanta-apiclient.exe") == 0;
        if (const HANDLE process
            = server && kill ? OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID) : nullptr)
            std::printf("killed=%d\n", TerminateProcess(process, *kill) && CloseHandle(process));
    }
    CloseHandle(snapshot);
    return found;
}

// Polls every millisecond until RUNNING or STOPPED when starting, else until STOPPED; then
// the final status, and what is left of the processes after up to 5 s.
bool watch(SC_HANDLE service, double origin, double limitMs, bool starting)
{
    std::string seen;
    for (DWORD last = 0;; Sleep(1)) {
        const SERVICE_STATUS_PROCESS status = query(service);
        const double at = nowMs() - origin;
        if (status.dwCurrentState != last)
            append(seen, last = status.dwCurrentState);
        if (starting && (last == SERVICE_RUNNING || last == SERVICE_STOPPED))
            return std::printf("started=%lu\nstarted_ms=%.2f\nstarted_seen=%s\n", last, at, seen.c_str()) > 0;
        if (last == SERVICE_STOPPED) {
            unsigned left = processes();
            for (const double until = nowMs() + 5000; left != 0 && nowMs() < until; left = processes())
                Sleep(20);
            return std::printf("stopped_ms=%.2f\nstopped_seen=%s\nwin32=%lu\nspecific=%lu\nleft=%u\n", at, seen.c_str(),
                               status.dwWin32ExitCode, status.dwServiceSpecificExitCode, left)
                > 0;
        }
        if (last == 0 || at > limitMs)
            return fail("no final state, seen " + seen, GetLastError());
    }
}

// Controls from threads of their own, all at once (under Wine ControlService can block until
// the service answers), while this thread watches for STOPPED.
bool stop(SC_HANDLE service, long count)
{
    const double origin = nowMs();
    std::vector<std::future<DWORD>> controls;
    for (long i = 0; i < std::max(count, 1L); ++i)
        controls.push_back(std::async(std::launch::async, [service] {
            SERVICE_STATUS status{};
            return ControlService(service, SERVICE_CONTROL_STOP, &status) ? DWORD(0) : GetLastError();
        }));
    const bool stopped = watch(service, origin, 20000, false);
    std::string results;
    for (std::future<DWORD>& control : controls) {
        if (control.wait_for(std::chrono::seconds(30)) != std::future_status::ready) // the futures would wait for good
            fail("a stop control still blocked after ms", 30000), std::fflush(stdout), ExitProcess(1);
        append(results, control.get());
    }
    return std::printf("controls=%s\n", results.c_str()) > 0 && stopped;
}

std::vector<std::wstring> startArguments(const std::wstring& value)
{
    if (value.empty() || value[0] != L'@')
        return value.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{value};
    std::ostringstream bytes;
    bytes << std::ifstream(value.substr(1).c_str(), std::ios::binary).rdbuf();
    std::wistringstream text(
        std::wstring(reinterpret_cast<const wchar_t*>(bytes.str().data()), bytes.str().size() / 2));
    std::vector<std::wstring> arguments;
    for (std::wstring argument; std::getline(text, argument, L'\0');)
        arguments.push_back(argument);
    return arguments;
}

bool step(SC_HANDLE service, const std::wstring& verb, const std::wstring& value)
{
    const long number = std::wcstol(value.c_str(), nullptr, 10);
    const double began = nowMs();
    if (verb == L"free") { // as the host takes it
        SOCKET probe = INVALID_SOCKET;
        while ((probe = testSockets::listenOn(54321)) == INVALID_SOCKET && nowMs() - began < 10000)
            Sleep(5);
        return closesocket(probe) == 0 || fail("port 54321 still taken after ms", 10000);
    }
    if (verb == L"hold") // until this process ends
        return testSockets::listenOn(54321) != INVALID_SOCKET || fail("cannot hold port 54321", WSAGetLastError());
    if (verb == L"kill")
        return processes(reinterpret_cast<const DWORD*>(&number)), true;
    if (verb == L"start") {
        const std::vector<std::wstring> arguments = startArguments(value);
        std::vector<LPCWSTR> pointers;
        for (const std::wstring& argument : arguments)
            pointers.push_back(argument.c_str());
        if (!StartServiceW(service, DWORD(pointers.size()), pointers.empty() ? nullptr : pointers.data()))
            return fail("StartServiceW", GetLastError());
        return watch(service, nowMs(), 15000, true);
    }
    if (verb == L"stop")
        return stop(service, number);
    if (verb == L"watch")
        return watch(service, began, 20000, false);
    if (verb == L"quiet") { // every state in that time: after STOPPED a late pending report sticks under Wine
        std::string seen;
        for (DWORD last = 0; nowMs() < began + number; Sleep(2))
            if (const DWORD state = query(service).dwCurrentState; state != last)
                append(seen, last = state);
        return std::printf("quiet=%s\n", seen.c_str()) > 0;
    }
    return fail("unknown step", 0);
}

// The baseline: the same server with the same two inherited sockets, without pair proof or
// event log; stopped by closing its own end, terminated after 5 s. Only its main thread
// reports, so no report of the handler can meet the final one.
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
    const SOCKET listener = testSockets::listenOn(54321), ownEnd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SetHandleInformation(reinterpret_cast<HANDLE>(ownEnd), HANDLE_FLAG_INHERIT, 0);
    const sockaddr_in server = testSockets::loopback(54321);
    const SOCKET childEnd = connect(ownEnd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0
        ? accept(listener, nullptr, nullptr)
        : INVALID_SOCKET;
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
    const DWORD access = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
    const SC_HANDLE service
        = OpenServiceW(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), argv[argc > 1], access);
    std::printf("open=%lu\n", service != nullptr ? 0ul : GetLastError());
    for (int i = 2; i < argc; ++i) {
        const std::wstring text = argv[i];
        const std::size_t colon = std::min(text.find(L':'), text.size());
        const bool done = step(service, text.substr(0, colon), text.substr(std::min(colon + 1, text.size())));
        if (std::fflush(stdout) != 0 || !done)
            return 1;
    }
    return 0;
}
