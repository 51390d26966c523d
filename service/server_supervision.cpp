#include "server_supervision.h"

#include "Process.h"
#include "ServerSockets.h"
#include "TextConversion.h"
#include "event_log.h"
#include "server_command_line.h"
#include "service_status.h"
#include "system_api.h"

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <exception>
#include <new>
#include <optional>

namespace {

// A failure whose cause left no error code must still not read as success to
// the SCM, whose recovery actions act only on a non-zero code.
DWORD failureCode(DWORD error, DWORD fallback)
{
    return error != NO_ERROR ? error : fallback;
}

// Failure roads tell the SCM first and the operator second: an operator who
// reads the entry then finds the service already stopped.
void stopWithError(const wchar_t* text, DWORD error)
{
    reportServiceStatus(SERVICE_STOPPED, 0, error);
    reportErrorEvent(text);
}

// An executable the path library cannot convert makes the launch throw; that
// is a failed launch like any other, not a reason to lose the service thread.
bool launchServer(Process& process, const ServerArguments& arguments, const HandleSet& inheritedHandles)
{
    // Without an application name the system would take the next argument
    // for the program and search for it: never start whatever that finds.
    if (arguments.empty() || arguments[0].empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try {
        return process.launch(arguments, inheritedHandles);
    } catch (const boost::system::system_error&) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
}

// The server gets the chance to end by itself when it sees its connection
// close; only then is it forced, first politely bounded, then without limit.
void stopServer(Process& process, Socket& keptConnection, bool serverMode)
{
    if (serverMode) {
        keptConnection.close();
        if (process.isRunning())
            systemApi.waitForSingleObject(process.processHandle(), stopGracePeriodMs);
    }
    if (process.isRunning()) {
        process.terminate();
        systemApi.waitForSingleObject(process.processHandle(), stopGracePeriodMs);
    }
    if (process.isRunning())
        process.terminateAndWait();
}

void reportOutcome(DWORD exitCode)
{
    const ExitCodeReport report = describeExitCode(exitCode);
    if (report.eventType == EVENTLOG_INFORMATION_TYPE)
        reportInfoEvent(report.text.c_str());
    else
        reportErrorEvent(report.text.c_str());
}

} // namespace

std::wstring formatDecimalWide(std::int32_t value)
{
    return boost::lexical_cast<std::wstring>(value);
}

ExitCodeReport describeExitCode(DWORD exitCode)
{
    switch (exitCode) {
    case 0:
        return {EVENTLOG_INFORMATION_TYPE, L"Server terminated successfully"};
    case 1:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: invalid argument"};
    case 2:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: unsupported hardware"};
    case 4:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: could not open response file"};
    case 5:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: could not parse response file"};
    case 6:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: could not open log file"};
    case 7:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: error running the server"};
    case 8:
        return {EVENTLOG_ERROR_TYPE, L"Server terminated: exit code " + formatDecimalWide(8)};
    default:
        // Read as signed, so NTSTATUS crash codes appear as the numbers people search for.
        return {EVENTLOG_ERROR_TYPE,
                L"Server terminated unexpectedly with code " + formatDecimalWide(static_cast<std::int32_t>(exitCode))};
    }
}

void runServer(DWORD argc, LPWSTR* argv)
{
    ServerArguments arguments;
    bool serverMode = false;
    if (!assembleServerArguments(argc, argv, arguments, serverMode)) {
        const DWORD error = GetLastError();
        stopWithError(L"Could not resolve path to server", failureCode(error, ERROR_BAD_PATHNAME));
        return;
    }

    const std::wstring announcement = L"Launching server executable " + toWide(arguments[0]);
    reportInfoEvent(announcement.c_str());

    // Declared before the sockets so that it goes last: a child still running
    // on an early return is ended only after the host has let go of its sockets.
    Process process;
    Socket keptConnection;
    std::optional<ServerSockets> sockets;
    HandleSet inheritedHandles;
    if (serverMode) {
        sockets.emplace();
        ServerSocketCalls calls;
        calls.announceAttempt = [](DWORD waitHintMs) { reportServiceStatus(SERVICE_START_PENDING, waitHintMs); };
        if (!createServerSockets(&*sockets, calls)) {
            const DWORD error = static_cast<DWORD>(WSAGetLastError());
            sockets.reset();
            stopWithError(L"Could not create primary socket connection",
                          failureCode(error, static_cast<DWORD>(WSAETIMEDOUT)));
            return;
        }
        const std::uint64_t listener = sockets->listener.handle();
        const std::uint64_t connection = sockets->primaryConnection.handle();
        inheritedHandles.insert(listener);
        inheritedHandles.insert(connection);
        appendServerModeOptions(arguments, listener, connection);
    }

    reportServiceStatus(SERVICE_START_PENDING, launchWaitHintMs);
    if (!launchServer(process, arguments, inheritedHandles)) {
        const DWORD error = GetLastError();
        // The port is free again by the time the SCM hears the service stopped.
        sockets.reset();
        stopWithError(L"Could not start server process", failureCode(error, ERROR_INTERNAL_ERROR));
        return;
    }

    if (serverMode) {
        keptConnection = std::move(sockets->serviceConnection);
        // The child holds its own copies now; the host keeps only its end.
        inheritedHandles.clear();
        sockets.reset();
    }

    reportServiceStatus(SERVICE_RUNNING, 0);
    reportInfoEvent(L"Server started");

    // Whatever ends the wait, a failure of the wait included, leads to the
    // staged stop: the child must never be left behind.
    const HANDLE waitHandles[] = {stopEvent, process.processHandle()};
    const DWORD waited = systemApi.waitForMultipleObjects(2, waitHandles, FALSE, INFINITE);
    const DWORD waitError = GetLastError();

    stopServer(process, keptConnection, serverMode);
    const DWORD exitCode = process.exitCode();
    // The child is gone but the system would not tell its exit code: that is
    // the host's failure, and the marker that stands in for the code is no
    // code of the child's to hand on. A child that exits with the marker's
    // value itself has its code read, and it is handed on like any other.
    if (const DWORD error = process.exitCodeError(); error != NO_ERROR) {
        const std::wstring text = L"Server terminated; its exit code could not be read (error "
            + formatDecimalWide(static_cast<std::int32_t>(error)) + L")";
        stopWithError(text.c_str(), error);
        return;
    }
    reportOutcome(exitCode);
    // A stop control that came meanwhile turns either failure code into
    // NO_ERROR (reportServiceStatus): the stop was asked for.
    if (waited == WAIT_FAILED)
        reportServiceStatus(SERVICE_STOPPED, 0, failureCode(waitError, ERROR_INTERNAL_ERROR));
    else if (exitCode != 0)
        reportServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, exitCode);
    else
        reportServiceStatus(SERVICE_STOPPED, 0);
}

void WINAPI serviceMain(DWORD argc, LPWSTR* argv)
{
    if (!startServiceControl())
        return;
    try {
        runServer(argc, argv);
    } catch (const std::bad_alloc&) {
        // Allocation failure is the one left that can reach here. Leaving this
        // thread with it would end the process without the final report and
        // leave the SCM waiting on a service that is gone. runServer's objects
        // have released their child and sockets by now.
        reportServiceStatus(SERVICE_STOPPED, 0, ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::exception&) {
        reportServiceStatus(SERVICE_STOPPED, 0, ERROR_INTERNAL_ERROR);
    }
}
