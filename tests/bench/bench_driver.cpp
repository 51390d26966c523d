// Measures, inside Wine, what the benchmark reports. Prints raw samples, one
// "key=value ..." line each; scripts/bench turns them into its table.
//
//   install <service> <program path>   registers the baseline service
//   cycles <host> <baseline> <count>   start and stop latency of both services,
//                                      cycles interleaved, plus each one's
//                                      private memory while it runs (Linux view)
//   sockets <count>                    createServerSockets alone, in this process
#include "ServerSockets.h"
#include "ConnectionPair.h"
#include "service_driver.h"
#include "system_api.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr double startLimitMs = 15000;
constexpr double stopLimitMs = 20000;
constexpr DWORD joinLimitMs = 30000;
constexpr double portLimitMs = 10000;

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (const wchar_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

int install(const wchar_t* name, const wchar_t* program)
{
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT));
    if (!manager) {
        std::printf("failure=OpenSCManager %lu\n", GetLastError());
        return 1;
    }
    const std::wstring commandLine = L"\"" + std::wstring(program) + L"\" \"" + name + L"\"";
    const ScHandle service(CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                          nullptr, nullptr, nullptr, nullptr));
    if (!service && GetLastError() != ERROR_SERVICE_EXISTS) {
        std::printf("failure=CreateService %lu\n", GetLastError());
        return 1;
    }
    std::printf("installed=%s\n", narrow(name).c_str());
    return 0;
}

// Private memory of the Wine process that runs `image`, as Linux counts it
// (Private_Clean + Private_Dirty of /proc/<pid>/smaps_rollup, read through
// Wine's Z: drive): Wine fills in no private-usage figure for another process.
// 0 when the process or the file is not found.
unsigned long long linuxPrivateKiB(const std::string& image)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    unsigned long long kib = 0;
    do {
        const std::wstring name = found.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        const std::wstring folder = L"Z:\\proc\\" + name;
        std::ifstream commandLine((folder + L"\\cmdline").c_str(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(commandLine)), std::istreambuf_iterator<char>());
        const std::string first = text.substr(0, text.find('\0'));
        if (first.size() < image.size() || _stricmp(first.c_str() + first.size() - image.size(), image.c_str()) != 0)
            continue;
        std::ifstream rollup((folder + L"\\smaps_rollup").c_str());
        std::string line;
        while (std::getline(rollup, line)) {
            if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0)
                kib += std::strtoull(line.c_str() + 14, nullptr, 10);
        }
        break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return kib;
}

// One start and one stop of one service. False when something went wrong;
// the reason has been printed.
bool measure(const wchar_t* name, const std::string& image, const char* label, int cycle)
{
    const OpenedService opened = openService(name);
    if (!opened) {
        std::printf("failure=%s\n", opened.error.c_str());
        return false;
    }
    const SC_HANDLE service = opened.service.get();

    const double portWaitBegan = nowMs();
    if (!waitServerPortBindable(portLimitMs)) {
        std::printf("failure=%s cycle %d: port 54321 not free\n", label, cycle);
        return false;
    }
    const double portWaitMs = nowMs() - portWaitBegan;

    const double callBegan = nowMs();
    const DWORD error = startService(service, {});
    const double origin = nowMs();
    if (error != 0) {
        std::printf("failure=%s cycle %d: StartServiceW %lu\n", label, cycle, error);
        return false;
    }
    const Watch started = watchService(service, {SERVICE_RUNNING, SERVICE_STOPPED}, origin, startLimitMs, 1);
    if (!started.reached || started.last != SERVICE_RUNNING) {
        std::printf("failure=%s cycle %d: no RUNNING: %s\n", label, cycle, describeStates(started.seen).c_str());
        return false;
    }
    // Both children serving before either is stopped.
    const HttpResponse served = httpRequest("GET", "/files/");
    if (served.status != 200) {
        std::printf("failure=%s cycle %d: server does not answer: %s\n", label, cycle, served.error.c_str());
        return false;
    }
    Sleep(50);
    const unsigned long long memory = linuxPrivateKiB(image);

    StopControls control(service, 1);
    if (!control.ready()) {
        std::printf("failure=%s cycle %d: no stop thread\n", label, cycle);
        return false;
    }
    const double stopOrigin = nowMs();
    control.release();
    const Watch stopped = watchService(service, {SERVICE_STOPPED}, stopOrigin, stopLimitMs, 1);
    if (!control.join(joinLimitMs)) {
        std::printf("failure=%s cycle %d: ControlService did not return\n", label, cycle);
        std::fflush(nullptr);
        ExitProcess(1);
    }
    if (!stopped.reached) {
        std::printf("failure=%s cycle %d: no STOPPED: %s\n", label, cycle, describeStates(stopped.seen).c_str());
        return false;
    }
    waitNoProcess(L"quorvanta-embedded-server.exe", 5000);
    std::printf("sample=%s cycle=%d start_ms=%.2f stop_ms=%.2f start_call_ms=%.2f port_wait_ms=%.1f "
                "private_kib=%llu control=%lu\n",
                label, cycle, started.atMs, stopped.atMs, origin - callBegan, portWaitMs, memory,
                control.results().empty() ? 0ul : control.results()[0]);
    std::fflush(stdout);
    return true;
}

int cycles(const wchar_t* host, const wchar_t* baseline, int count)
{
    const std::string hostImage = "quorvanta-apiclient.exe";
    const std::string baselineImage = "baseline_service.exe";
    for (int cycle = 0; cycle < count; ++cycle) {
        // Alternate which goes first, so that neither always meets the
        // other's leftovers.
        const bool hostFirst = cycle % 2 == 0;
        if (!measure(hostFirst ? host : baseline, hostFirst ? hostImage : baselineImage, hostFirst ? "host" : "baseline",
                     cycle)
            || !measure(hostFirst ? baseline : host, hostFirst ? baselineImage : hostImage,
                        hostFirst ? "baseline" : "host", cycle))
            return 1;
    }
    return 0;
}

BOOL WINAPI ignoreStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS)
{
    return TRUE;
}

int sockets(int count)
{
    // No SCM here: the start-pending reports go nowhere.
    systemApi.setServiceStatus = ignoreStatus;
    std::vector<double> took;
    const std::uint64_t sleepsBefore = transferSleepCount();
    int failedCalls = 0;
    for (int i = 0; i < count; ++i) {
        if (!waitServerPortBindable(portLimitMs)) {
            std::printf("failure=port 54321 not free before call %d\n", i);
            return 1;
        }
        const double began = nowMs();
        bool made = false;
        {
            ServerSockets set;
            made = createServerSockets(&set);
            took.push_back(nowMs() - began);
        }
        if (!made)
            ++failedCalls;
    }
    std::sort(took.begin(), took.end());
    const auto at = [&](double fraction) {
        const std::size_t index = std::min(took.size() - 1, static_cast<std::size_t>(fraction * took.size()));
        return took[index];
    };
    std::printf("sockets calls=%d failed=%d median_ms=%.3f p99_ms=%.3f max_ms=%.3f sleeps=%llu\n", count, failedCalls,
                took[took.size() / 2], at(0.99), took.back(),
                static_cast<unsigned long long>(transferSleepCount() - sleepsBefore));
    return failedCalls == 0 ? 0 : 1;
}

int usage()
{
    std::fputs("usage: bench_driver install <service> <program> | cycles <host> <baseline> <count> | sockets <count>\n",
               stderr);
    return 64;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"install" && argc == 4)
        return install(argv[2], argv[3]);
    if (verb == L"cycles" && argc == 5)
        return cycles(argv[2], argv[3], static_cast<int>(std::wcstol(argv[4], nullptr, 10)));
    if (verb == L"sockets" && argc == 3)
        return sockets(static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
    return usage();
}
