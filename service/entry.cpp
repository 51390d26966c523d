#include "entry.h"

#include "Debug.h"
#include "event_log.h"
#include "install.h"
#include "server_command_line.h"
#include "server_supervision.h"
#include "service_status.h"
#include "system_api.h"

#include <boost/filesystem/path.hpp>

#include <atomic>
#include <codecvt>
#include <cstdio>
#include <locale>
#include <stdexcept>

namespace {

// The dispatcher returns as soon as the service has reported SERVICE_STOPPED,
// but on its failure roads the service thread still has to write the entry
// that says why, and returning from the entry point would end the process
// under it. So the entry point waits for the service routine to return,
// for a bounded time: what is left after the final report is brief.
constexpr DWORD serviceFinishLimitMs = 5000;
std::atomic<bool> serviceEntered{false};
HANDLE serviceFinished = nullptr;

void WINAPI runService(DWORD argc, LPWSTR* argv)
{
    serviceEntered = true;
    serviceMain(argc, argv);
    SetEvent(serviceFinished);
}

void installDebugDefaults()
{
    DebugConfig config;
    config.abortOnError = false;
    config.outputCallback = nullptr;
    config.callbackContext = nullptr;
    config.outputStream = stdout;
    Debug::setConfig(config);
}

// Paths reach the host and the child as UTF-8; without this the path library
// would convert narrow text with the active code page and mangle any name
// outside it.
void useUtf8ForPaths()
{
    try {
        // The first request sets up the library's default locale; only then
        // is there one to replace.
        (void)boost::filesystem::path::codecvt();
    } catch (const std::runtime_error&) {
        // A system locale the runtime cannot load: the UTF-8 facet below does
        // not depend on it.
    }
    // codecvt_utf8_utf16 is deprecated since C++17 without a replacement in
    // the standard library; it is exact for UTF-8 <-> UTF-16, which is all the
    // path library needs here.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    const std::locale utf8(std::locale(), new std::codecvt_utf8_utf16<wchar_t, 0x10FFFF>);
#if defined(_MSC_VER)
#pragma warning(pop)
#else
#pragma GCC diagnostic pop
#endif
    boost::filesystem::path::imbue(utf8);
}

// A console start is the only way to reach the dispatcher without the SCM,
// and a mistyped command takes it too: say what the program does instead.
void printUsage()
{
    std::fprintf(stderr,
                 "Quorvanta-APIClient " QUORVANTA_VERSION
                 " - runs quorvanta-embedded-server.exe as a Windows service.\n"
                 "\n"
                 "  quorvanta-apiclient.exe install     register the service (elevated prompt)\n"
                 "  quorvanta-apiclient.exe uninstall   remove the service (elevated prompt)\n"
                 "\n"
                 "The Service Control Manager starts the service: sc start Quorvanta-APIClient\n"
                 "Start parameter --executable=<path>: run <path> instead of the\n"
                 "quorvanta-embedded-server.exe beside this program.\n");
}

} // namespace

int hostMain(int argc, wchar_t* argv[])
{
    eventSource = systemApi.registerEventSource(nullptr, serviceName);

    if (argc > 1) {
        // Case-sensitive on purpose: any other spelling is an argument for the
        // server, never an administrative command.
        if (lstrcmpW(argv[1], L"install") == 0)
            return installService() ? 0 : 1;
        if (lstrcmpW(argv[1], L"uninstall") == 0)
            return uninstallService() ? 0 : 1;
        ProcessArguments.assign(argv + 1, argv + argc);
    }

    // All of this is in place before the dispatcher starts the service thread,
    // which then only reads it.
    installDebugDefaults();
    useUtf8ForPaths();
    WSADATA socketsData;
    WSAStartup(MAKEWORD(2, 2), &socketsData);

    // Never closed: a service thread that outlives the wait still sets it.
    if (serviceFinished == nullptr)
        serviceFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(serviceFinished);
    serviceEntered = false;

    SERVICE_TABLE_ENTRYW serviceTable[] = {
        {const_cast<LPWSTR>(serviceName), runService},
        {nullptr, nullptr},
    };
    int exitCode = 0;
    if (!systemApi.startServiceCtrlDispatcher(serviceTable)) {
        const DWORD error = GetLastError();
        reportApiFailure(L"StartServiceCtrlDispatcher");
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            printUsage();
        else
            std::fprintf(stderr, "StartServiceCtrlDispatcher failed with %d\n", static_cast<int>(error));
        exitCode = 1;
    } else if (serviceEntered && serviceFinished != nullptr) {
        WaitForSingleObject(serviceFinished, serviceFinishLimitMs);
    }

    WSACleanup();
    if (eventSource != nullptr) {
        systemApi.deregisterEventSource(eventSource);
        eventSource = nullptr;
    }
    return exitCode;
}
