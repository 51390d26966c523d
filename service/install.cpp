#include "install.h"

#include "CommandLine.h"
#include "server_command_line.h"
#include "service_status.h"
#include "system_api.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* serviceDescription = L"Provides a persistent Quorvanta server to send and receive files.";
constexpr const wchar_t* eventSourceKey
    = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvanta-APIClient";
constexpr const char* messageFileName = "quorvanta_errors.dll";
constexpr const char* installedArgument = "server";
// The registration declares warnings too, although the host never writes one.
constexpr DWORD supportedEventTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
constexpr DWORD modulePathCapacity = MAX_PATH;

// Operators search for the signed form of codes such as 0x80070005.
void printFailure(const char* format, DWORD error)
{
    std::printf(format, static_cast<int>(error));
    // Flushed first, so that the advice follows the outcome even through pipes.
    std::fflush(stdout);
    if (error == ERROR_ACCESS_DENIED)
        std::fprintf(stderr, "Run this command from an elevated prompt (Run as administrator).\n");
}

// The service is registered all the same: the file may be copied in later.
void warnAboutMissingFiles(const boost::filesystem::path& hostDirectory)
{
    const struct {
        const char* file;
        const char* consequence;
    } needed[] = {
        {serverExecutableName, "the service cannot start"},
        {messageFileName, "Event Viewer cannot show this service's event texts"},
    };
    std::fflush(stdout);
    for (const auto& [file, consequence] : needed) {
        boost::system::error_code error;
        if (!boost::filesystem::exists(hostDirectory / file, error))
            std::fprintf(stderr, "Warning: %s is missing beside the host; %s until it is there.\n", file, consequence);
    }
}

// The registry calls return their status instead of setting the thread's last
// error, which would leave a stale number in the message; the status is the
// reason, so it becomes the last error.
bool registryCallFailed(LSTATUS status)
{
    if (status == ERROR_SUCCESS)
        return false;
    SetLastError(static_cast<DWORD>(status));
    return true;
}

ServiceHandle openServiceManager()
{
    ServiceHandle manager(systemApi.openSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        const DWORD error = GetLastError();
        printFailure("OpenSCManager failed (%d)\n", error);
    }
    return manager;
}

bool registerEventSource(const boost::filesystem::path& hostDirectory)
{
    RegistryKey key;
    HKEY opened = nullptr;
    if (registryCallFailed(systemApi.regCreateKeyEx(HKEY_LOCAL_MACHINE, eventSourceKey, 0, nullptr,
                                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &opened,
                                                    nullptr))) {
        const DWORD error = GetLastError();
        printFailure("Failed to create registry key (%d)\n", error);
        return false;
    }
    key.reset(opened);

    boost::filesystem::path messageFile = hostDirectory;
    messageFile /= messageFileName;
    messageFile.make_preferred();
    const std::wstring& messageFilePath = messageFile.native();
    const auto messageFileBytes = static_cast<DWORD>((messageFilePath.size() + 1) * sizeof(wchar_t));
    if (registryCallFailed(systemApi.regSetValueEx(key.get(), L"EventMessageFile", 0, REG_SZ,
                                                   reinterpret_cast<const BYTE*>(messageFilePath.c_str()),
                                                   messageFileBytes))) {
        const DWORD error = GetLastError();
        printFailure("Failed to create registry key (%d)\n", error);
        return false;
    }

    const DWORD types = supportedEventTypes;
    if (registryCallFailed(systemApi.regSetValueEx(key.get(), L"TypesSupported", 0, REG_DWORD,
                                                   reinterpret_cast<const BYTE*>(&types), sizeof(types)))) {
        const DWORD error = GetLastError();
        printFailure("Failed to create registry key (%d)\n", error);
        return false;
    }
    return true;
}

} // namespace

bool installService()
{
    wchar_t modulePath[modulePathCapacity];
    const DWORD length = systemApi.getModuleFileName(nullptr, modulePath, modulePathCapacity);
    if (length == 0) {
        const DWORD error = GetLastError();
        printFailure("Cannot install service (%d)\n", error);
        return false;
    }
    // A full buffer holds a cut path: registering it would point the service
    // and the event source at a file that does not exist.
    if (length >= modulePathCapacity) {
        printFailure("Cannot install service (%d)\n", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }

    boost::system::error_code pathError;
    const boost::filesystem::path canonicalPath
        = boost::filesystem::canonical(boost::filesystem::path(modulePath), boost::filesystem::path(), pathError);
    if (pathError) {
        printFailure("Cannot install service (%d)\n", static_cast<DWORD>(pathError.value()));
        return false;
    }

    if (!registerEventSource(canonicalPath.parent_path()))
        return false;

    const ServiceHandle manager = openServiceManager();
    if (!manager)
        return false;

    // The path exactly as the system reported it: the service starts the very
    // file that was run, even when it was reached through a link.
    const std::wstring commandLine = buildCommandLine(modulePath, std::vector<std::string>{installedArgument});
    const ServiceHandle service(systemApi.createService(
        manager.get(), serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        printFailure("CreateService failed (%d)\n", error);
        return false;
    }
    std::printf("Service installed successfully\n");

    // The service is there but not as described: a script must still hear of it.
    bool described = true;
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(serviceDescription)};
    if (!systemApi.changeServiceConfig2(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        const DWORD error = GetLastError();
        printFailure("Failed to set service description (%d)\n", error);
        described = false;
    }
    warnAboutMissingFiles(canonicalPath.parent_path());
    return described;
}

bool uninstallService()
{
    const ServiceHandle manager = openServiceManager();
    if (!manager)
        return false;

    const ServiceHandle service(systemApi.openService(manager.get(), serviceName, DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        printFailure("OpenService failed (%d)\n", error);
        return false;
    }

    if (!systemApi.deleteService(service.get())) {
        const DWORD error = GetLastError();
        printFailure("DeleteService failed (%d)\n", error);
        return false;
    }
    std::printf("Service deleted successfully\n");
    return true;
}
