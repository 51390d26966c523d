// The bare minimum the host's start and stop are measured against: an
// own-process service that runs the same reference server with the same two
// inherited sockets, and stops it by closing its own end of the connection.
// No pair verification, no event log, no command-line quoting rules, no
// staged stop beyond one bounded wait. Built only for the benchmark.
//
// Registered by bench_driver with the command line
//   "<dir>\baseline_service.exe" "<service name>"
// and it runs <dir>\quorvanta-embedded-server.exe.
#include "WinApi.h"

#include <string>

namespace {

std::wstring serviceName;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
CRITICAL_SECTION statusLock;
HANDLE stopEvent = nullptr;

// Serialised: under Wine the handler runs on a thread of its own.
void report(DWORD state, DWORD waitHint)
{
    EnterCriticalSection(&statusLock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
    SetServiceStatus(statusHandle, &status);
    LeaveCriticalSection(&statusLock);
}

void WINAPI handler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    EnterCriticalSection(&statusLock);
    if (status.dwCurrentState != SERVICE_STOPPED)
        report(SERVICE_STOP_PENDING, 0);
    SetEvent(stopEvent);
    LeaveCriticalSection(&statusLock);
}

std::wstring serverPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    const std::size_t cut = text.find_last_of(L'\\');
    return text.substr(0, cut + 1) + L"quorvanta-embedded-server.exe";
}

// The listener on the server port and a connection to it, both ends
// blocking; only the service's own end is kept from the child.
bool makeSockets(SOCKET& listener, SOCKET& childEnd, SOCKET& ownEnd)
{
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ownEnd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET || ownEnd == INVALID_SOCKET)
        return false;
    SetHandleInformation(reinterpret_cast<HANDLE>(ownEnd), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(54321);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || listen(listener, SOMAXCONN) != 0
        || connect(ownEnd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    childEnd = accept(listener, nullptr, nullptr);
    return childEnd != INVALID_SOCKET;
}

HANDLE launch(SOCKET listener, SOCKET childEnd)
{
    const std::wstring listenerText = std::to_wstring(static_cast<unsigned long long>(listener));
    const std::wstring connectionText = std::to_wstring(static_cast<unsigned long long>(childEnd));
    const std::wstring program = serverPath();
    std::wstring commandLine = L"\"" + program + L"\" server --pre-established-listener " + listenerText
        + L" --pre-established-connection " + connectionText + L" --max-file-write-cache-size 1073741824";

    HANDLE inherited[] = {reinterpret_cast<HANDLE>(listener), reinterpret_cast<HANDLE>(childEnd)};
    for (HANDLE handle : inherited)
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string buffer(size, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                              nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                        &startup.StartupInfo, &process);
    DeleteProcThreadAttributeList(attributes);
    if (!created)
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

void WINAPI serviceMain(DWORD, LPWSTR*)
{
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerW(serviceName.c_str(), handler);
    if (stopEvent == nullptr || statusHandle == nullptr)
        return;
    report(SERVICE_START_PENDING, 3000);

    SOCKET listener = INVALID_SOCKET;
    SOCKET childEnd = INVALID_SOCKET;
    SOCKET ownEnd = INVALID_SOCKET;
    HANDLE child = nullptr;
    if (makeSockets(listener, childEnd, ownEnd))
        child = launch(listener, childEnd);
    closesocket(listener);
    closesocket(childEnd);
    if (child == nullptr) {
        closesocket(ownEnd);
        report(SERVICE_STOPPED, 0);
        return;
    }
    report(SERVICE_RUNNING, 0);

    const HANDLE waits[] = {stopEvent, child};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    closesocket(ownEnd);
    if (WaitForSingleObject(child, 5000) != WAIT_OBJECT_0) {
        TerminateProcess(child, 255);
        WaitForSingleObject(child, 5000);
    }
    CloseHandle(child);
    report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    serviceName = argc > 1 ? argv[1] : L"Quorvanta-Baseline";
    InitializeCriticalSection(&statusLock);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), serviceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    WSACleanup();
    return 0;
}
