// The roads through the service that end before any child runs. Each checks
// the whole ordered log of status reports and events.
#include "service_recorder.h"

#include "TextConversion.h"
#include "server_command_line.h"
#include "server_supervision.h"
#include "service_status.h"

#include <filesystem>
#include <new>

using recorder::errorEvent;
using recorder::status;

namespace {

DWORD WINAPI failModuleName(HMODULE, LPWSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

DWORD WINAPI fillModuleName(HMODULE, LPWSTR buffer, DWORD size)
{
    std::fill(buffer, buffer + size - 1, L'x');
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
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

std::wstring missingServer()
{
    return (std::filesystem::temp_directory_path() / L"quorvanta-no-such-folder" / L"missing-server.exe").wstring();
}

const std::string firstStartPending = status(SERVICE_START_PENDING, 0, 1, 6000);
const std::string stopped = status(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0);

class ServiceRoadsTest : public ServiceStateTest {};

} // namespace

TEST_F(ServiceRoadsTest, NoModuleFileNameStopsBeforeTellingWhy)
{
    systemApi.getModuleFileName = failModuleName;
    runServiceMain({});
    EXPECT_EQ((std::vector<std::string>{firstStartPending, stopped, errorEvent(L"Could not resolve path to server")}),
              recorder::describeAll(recorder::entries()));
}

TEST_F(ServiceRoadsTest, ModuleFileNameCutAtTheBufferTakesTheSameRoad)
{
    systemApi.getModuleFileName = fillModuleName;
    runServiceMain({L"-v"});
    EXPECT_EQ((std::vector<std::string>{firstStartPending, stopped, errorEvent(L"Could not resolve path to server")}),
              recorder::describeAll(recorder::entries()));
}

TEST_F(ServiceRoadsTest, MissingExecutableFailsTheLaunchAfterTheAnnouncement)
{
    const std::wstring missing = missingServer();
    runServiceMain({L"--executable=" + missing, L"exit", L"0"});
    EXPECT_EQ(recorder::failedLaunch(missing), recorder::describeAll(recorder::entries()));
}

TEST_F(ServiceRoadsTest, ExecutableThePathLibraryCannotConvertFailsTheLaunch)
{
    {
        ScopedFailingPathConversion noConversion;
        runServiceMain({L"--executable=C:\\srv\\server.exe", L"exit", L"0"});
    }

    EXPECT_EQ(recorder::failedLaunch(L"C:\\srv\\server.exe"), recorder::describeAll(recorder::entries()));
}

TEST_F(ServiceRoadsTest, AllocationFailureStillEndsWithStopped)
{
    systemApi.getModuleFileName = throwFromModuleName;
    runServiceMain({});
    EXPECT_EQ((std::vector<std::string>{firstStartPending, stopped}), recorder::describeAll(recorder::entries()));
}

TEST_F(ServiceRoadsTest, FailedStartControlEndsWithoutAnyStatus)
{
    systemApi.createEvent = failCreateEvent;
    runServiceMain({L"--executable=" + missingServer()});
    EXPECT_EQ((std::vector<std::string>{recorder::apiFailureEvent(L"CreateEvent failed with 8")}),
              recorder::describeAll(recorder::entries()));
}
