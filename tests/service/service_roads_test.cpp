// The roads through the service that end before any child runs. Each checks
// the whole ordered log of status reports and events.
#include "service_recorder.h"

#include "service_status.h"

#include <filesystem>
#include <new>

using recorder::status;

namespace {

DWORD WINAPI failModuleName(HMODULE, LPWSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

// A name that fills the whole buffer was cut.
DWORD WINAPI fillModuleName(HMODULE, LPWSTR buffer, DWORD size)
{
    std::fill(buffer, buffer + size - 1, L'x');
    buffer[size - 1] = L'\0';
    SetLastError(NO_ERROR); // as a system that does not say so would leave it
    return size;
}

DWORD WINAPI throwFromModuleName(HMODULE, LPWSTR, DWORD)
{
    throw std::bad_alloc();
}

HANDLE WINAPI failCreateEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

const std::string firstStartPending = status(SERVICE_START_PENDING, 0, 1, 6000);

class ServiceRoadsTest : public ServiceStateTest {};

} // namespace

TEST_F(ServiceRoadsTest, NoModuleFileNameStopsBeforeTellingWhy)
{
    const std::pair<decltype(&failModuleName), DWORD> roads[] = {{failModuleName, ERROR_NOT_ENOUGH_MEMORY},
                                                                  {fillModuleName, ERROR_INSUFFICIENT_BUFFER}};
    for (const auto& [moduleName, error] : roads) {
        restartService();
        systemApi.getModuleFileName = moduleName;
        runServiceMain({L"-v"});
        EXPECT_EQ((std::vector<std::string>{firstStartPending, status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, error),
                                            recorder::errorEvent(L"Could not resolve path to server")}),
                  recorder::log());
    }
}

TEST_F(ServiceRoadsTest, AnExecutableThatCannotBeLaunchedFailsAfterTheAnnouncement)
{
    const std::wstring missing =
        (std::filesystem::temp_directory_path() / L"quorvanta-no-such-folder" / L"missing-server.exe").wstring();
    runServiceMain({L"--executable=" + missing, L"exit", L"0"});
    EXPECT_EQ(recorder::failedLaunch(missing, ERROR_PATH_NOT_FOUND), recorder::log());

    // A path the path library cannot make narrow text takes the same road.
    restartService();
    {
        ScopedFailingPathConversion noConversion;
        runServiceMain({L"--executable=C:\\srv\\server.exe", L"exit", L"0"});
    }
    EXPECT_EQ(recorder::failedLaunch(L"C:\\srv\\server.exe", ERROR_NO_UNICODE_TRANSLATION), recorder::log());
}

TEST_F(ServiceRoadsTest, AllocationFailureStillEndsWithStopped)
{
    systemApi.getModuleFileName = throwFromModuleName;
    runServiceMain({});
    EXPECT_EQ((std::vector<std::string>{firstStartPending,
                                        status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_NOT_ENOUGH_MEMORY)}),
              recorder::log());
}

TEST_F(ServiceRoadsTest, FailedStartControlEndsWithoutAnyStatus)
{
    systemApi.createEvent = failCreateEvent;
    runServiceMain({L"--executable=C:\\srv\\server.exe"});
    EXPECT_EQ((std::vector<std::string>{recorder::apiFailureEvent(L"CreateEvent failed with 8")}), recorder::log());
}
