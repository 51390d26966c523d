#include "service_status.h"

#include "event_log.h"
#include "system_api.h"

#include <mutex>

SERVICE_STATUS serviceStatus{};
SERVICE_STATUS_HANDLE statusHandle = nullptr;
DWORD nextCheckPoint = 1;
HANDLE stopEvent = nullptr;

namespace {

// The control handler and the service thread both report. The handler holds
// the lock across all of its reports, so its re-read of the current state
// cannot interleave with the final SERVICE_STOPPED: a pending state sent after
// it would leave the SCM showing a stopped service as still stopping.
//
// SERVICE_STOPPED itself is sent after the lock is let go. The dispatcher may
// hold a lock of its own while it runs the handler (Wine's does), and the
// system's handling of a SERVICE_STOPPED report takes that lock: sent under
// ours, it met a handler waiting for ours, and the host hung for good with
// the stop control unanswered. Once the record says stopped, every later
// report is SERVICE_STOPPED as well, so the order of those sends is free.
std::recursive_mutex statusLock;

bool isPending(DWORD state)
{
    return state != SERVICE_RUNNING && state != SERVICE_STOPPED;
}

} // namespace

void reportServiceStatus(DWORD state, DWORD waitHint, DWORD win32ExitCode, DWORD serviceSpecificExitCode)
{
    std::unique_lock<std::recursive_mutex> lock(statusLock);
    // Decided under the lock: a handler that took a stop control has already
    // said so in the record, and one that comes later repeats these codes.
    if (state != SERVICE_STOPPED || serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
        win32ExitCode = NO_ERROR;
        serviceSpecificExitCode = 0;
    }
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = win32ExitCode;
    serviceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    serviceStatus.dwCheckPoint = isPending(state) ? nextCheckPoint++ : 0;
    if (state != SERVICE_STOPPED) {
        systemApi.setServiceStatus(statusHandle, &serviceStatus);
        return;
    }
    // A copy: a handler that runs meanwhile rewrites the record.
    SERVICE_STATUS stopped = serviceStatus;
    lock.unlock();
    systemApi.setServiceStatus(statusHandle, &stopped);
}

void WINAPI serviceControlHandler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    std::lock_guard<std::recursive_mutex> lock(statusLock);
    // Once stopped, the service stays stopped in every later report, with the
    // exit codes of the final one. Before that the record's codes are NO_ERROR.
    const bool stopped = serviceStatus.dwCurrentState == SERVICE_STOPPED;
    reportServiceStatus(stopped ? SERVICE_STOPPED : SERVICE_STOP_PENDING, 0, serviceStatus.dwWin32ExitCode,
                        serviceStatus.dwServiceSpecificExitCode);
    SetEvent(stopEvent);
    reportServiceStatus(serviceStatus.dwCurrentState, 0, serviceStatus.dwWin32ExitCode,
                        serviceStatus.dwServiceSpecificExitCode);
}

bool startServiceControl()
{
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;

    // Created before the handler is registered, so the handler always finds it.
    stopEvent = systemApi.createEvent(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        reportApiFailure(L"CreateEvent");
        return false;
    }

    statusHandle = systemApi.registerServiceCtrlHandler(serviceName, serviceControlHandler);
    if (statusHandle == nullptr) {
        reportApiFailure(L"RegisterServiceCtrlHandler");
        return false;
    }

    reportServiceStatus(SERVICE_START_PENDING, 6000);
    return true;
}
