// Looks at and drives the installed service through the SCM API, for the
// end-to-end driver, which cannot observe a Windows service from the Linux
// side. One verb per run; output is one fact per line, "key=value", UTF-8.
//
//   config <service>                 the registered configuration and description
//   registry                         the event-source key's two values
//   run <service> <ms> [args...]     StartServiceW with args, then watch until
//                                    RUNNING or STOPPED
//   watch <service> <ms>             watch until STOPPED
//   stop <service> <ms>              send the stop control, then watch until STOPPED
//   state <service>                  the current state, or the OpenService error
//   count <image name>               processes whose image has that name
//
// A watch polls every 5 ms, prints each state it sees as
// "seen=<state> checkpoint=<n> hint=<ms> at=<ms>", and ends with
// "reached=<state> at=<ms>" or "timeout=<state>" (exit code 2).
#include "WinApi.h"

#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* eventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvanta-APIClient";

std::string utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

void line(const char* key, const std::string& value)
{
    std::printf("%s=%s\n", key, value.c_str());
}

void line(const char* key, unsigned long value)
{
    std::printf("%s=%lu\n", key, value);
}

std::string orNull(const wchar_t* text)
{
    return text == nullptr ? std::string("(null)") : utf8(text);
}

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : mHandle(handle) {}
    ~ScHandle()
    {
        if (mHandle != nullptr)
            CloseServiceHandle(mHandle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return mHandle; }
    explicit operator bool() const { return mHandle != nullptr; }

private:
    SC_HANDLE mHandle;
};

// The manager and one service, opened with the access a verb needs; says why
// when either cannot be opened.
class OpenedService {
public:
    OpenedService(const wchar_t* name, DWORD access)
        : mManager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT))
        , mService(mManager ? OpenServiceW(mManager.get(), name, access) : nullptr)
    {
        if (!mManager)
            line("error", "OpenSCManager " + std::to_string(GetLastError()));
        else if (!mService)
            line("error", "OpenService " + std::to_string(GetLastError()));
    }
    explicit operator bool() const { return static_cast<bool>(mService); }
    SC_HANDLE get() const { return mService.get(); }

private:
    ScHandle mManager;
    ScHandle mService;
};

int watch(SC_HANDLE service, DWORD limitMs, bool runningIsEnough, ULONGLONG started)
{
    DWORD last = 0;
    for (;;) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        const ULONGLONG now = GetTickCount64();
        const auto at = static_cast<unsigned long>(now - started);
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed)) {
            line("error", "QueryServiceStatusEx " + std::to_string(GetLastError()));
            return 1;
        }
        if (status.dwCurrentState != last) {
            std::printf("seen=%lu checkpoint=%lu hint=%lu exit=%lu at=%lu\n", status.dwCurrentState,
                        status.dwCheckPoint, status.dwWaitHint, status.dwWin32ExitCode, at);
            std::fflush(stdout);
            last = status.dwCurrentState;
        }
        if (last == SERVICE_STOPPED || (runningIsEnough && last == SERVICE_RUNNING)) {
            std::printf("reached=%lu at=%lu\n", last, at);
            return 0;
        }
        if (now - started > limitMs) {
            line("timeout", last);
            return 2;
        }
        Sleep(5);
    }
}

int config(const wchar_t* name)
{
    const OpenedService service(name, SERVICE_QUERY_CONFIG);
    if (!service)
        return 1;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 64);
    auto* configuration = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), configuration, static_cast<DWORD>(buffer.size()), &needed)) {
        line("error", "QueryServiceConfigW " + std::to_string(GetLastError()));
        return 1;
    }
    line("type", configuration->dwServiceType);
    line("start", configuration->dwStartType);
    line("errorcontrol", configuration->dwErrorControl);
    line("binary", orNull(configuration->lpBinaryPathName));
    line("group", orNull(configuration->lpLoadOrderGroup));
    line("dependencies", orNull(configuration->lpDependencies));
    line("account", orNull(configuration->lpServiceStartName));
    line("display", orNull(configuration->lpDisplayName));

    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> descriptionBuffer(needed + 64);
    if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                              static_cast<DWORD>(descriptionBuffer.size()), &needed)) {
        line("error", "QueryServiceConfig2W " + std::to_string(GetLastError()));
        return 1;
    }
    line("description", orNull(reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data())->lpDescription));
    return 0;
}

int registry()
{
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, eventSourceKey, 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) {
        line("error", "RegOpenKeyExW " + std::to_string(opened));
        return 1;
    }
    DWORD type = 0;
    DWORD size = 0;
    std::vector<BYTE> data(4096);
    size = static_cast<DWORD>(data.size());
    if (RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
        line("messagefile.type", type);
        line("messagefile.size", size);
        const std::size_t units = size / sizeof(wchar_t);
        const auto* text = reinterpret_cast<const wchar_t*>(data.data());
        const bool terminated = units > 0 && text[units - 1] == L'\0';
        line("messagefile.terminated", terminated ? "yes" : "no");
        line("messagefile", utf8(std::wstring(text, terminated ? units - 1 : units)));
    }
    size = static_cast<DWORD>(data.size());
    if (RegQueryValueExW(key, L"TypesSupported", nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
        line("types.type", type);
        line("types.size", size);
        if (size == sizeof(DWORD))
            line("types", *reinterpret_cast<const DWORD*>(data.data()));
    }
    RegCloseKey(key);
    return 0;
}

int run(const wchar_t* name, DWORD limitMs, int argumentCount, wchar_t** arguments)
{
    const OpenedService service(name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service)
        return 1;
    const ULONGLONG started = GetTickCount64();
    if (!StartServiceW(service.get(), static_cast<DWORD>(argumentCount), const_cast<LPCWSTR*>(arguments))) {
        line("error", "StartServiceW " + std::to_string(GetLastError()));
        return 1;
    }
    return watch(service.get(), limitMs, true, started);
}

int watchUntilStopped(const wchar_t* name, DWORD limitMs)
{
    const OpenedService service(name, SERVICE_QUERY_STATUS);
    if (!service)
        return 1;
    return watch(service.get(), limitMs, false, GetTickCount64());
}

int stop(const wchar_t* name, DWORD limitMs)
{
    const OpenedService service(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service)
        return 1;
    const ULONGLONG started = GetTickCount64();
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        line("error", "ControlService " + std::to_string(GetLastError()));
        return 1;
    }
    return watch(service.get(), limitMs, false, started);
}

int state(const wchar_t* name)
{
    const OpenedService service(name, SERVICE_QUERY_STATUS);
    if (!service)
        return 1;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        line("error", "QueryServiceStatus " + std::to_string(GetLastError()));
        return 1;
    }
    line("state", status.dwCurrentState);
    return 0;
}

int count(const wchar_t* image)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        line("error", "CreateToolhelp32Snapshot " + std::to_string(GetLastError()));
        return 1;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    unsigned long found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, image) == 0)
            ++found;
    }
    CloseHandle(snapshot);
    line("count", found);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"config" && argc == 3)
        return config(argv[2]);
    if (verb == L"registry" && argc == 2)
        return registry();
    if (verb == L"run" && argc >= 4)
        return run(argv[2], wcstoul(argv[3], nullptr, 10), argc - 4, argv + 4);
    if (verb == L"watch" && argc == 4)
        return watchUntilStopped(argv[2], wcstoul(argv[3], nullptr, 10));
    if (verb == L"stop" && argc == 4)
        return stop(argv[2], wcstoul(argv[3], nullptr, 10));
    if (verb == L"state" && argc == 3)
        return state(argv[2]);
    if (verb == L"count" && argc == 3)
        return count(argv[2]);
    std::fputs("usage: service_probe config|registry|run|watch|stop|state|count ...\n", stderr);
    return 64;
}
