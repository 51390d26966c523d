// The host's face towards the Service Control Manager: the one status record,
// the one routine that sends it, the control handler and the stop signal.
#pragma once

#include "WinApi.h"

constexpr const wchar_t* serviceName = L"Quorvanta-APIClient";

extern SERVICE_STATUS serviceStatus;
extern SERVICE_STATUS_HANDLE statusHandle;
extern DWORD nextCheckPoint;
// Manual-reset; signalled only by the control handler, never reset or closed.
extern HANDLE stopEvent;

// The exit codes count only with SERVICE_STOPPED (every other state sends
// NO_ERROR): NO_ERROR for a clean end; ERROR_SERVICE_SPECIFIC_ERROR with the
// child's exit code; or the Win32/Winsock error of a failure of the host's own.
// Once a stop control has been taken (the record says SERVICE_STOP_PENDING),
// SERVICE_STOPPED goes out with NO_ERROR whatever is passed: the stop was asked
// for, and a failure code would set off the recovery actions against it.
void reportServiceStatus(DWORD state, DWORD waitHint, DWORD win32ExitCode = NO_ERROR,
                         DWORD serviceSpecificExitCode = 0);
void WINAPI serviceControlHandler(DWORD control);
// Creates stopEvent, registers the handler, reports the first start-pending.
// False after a failure that has already been written to the event log.
bool startServiceControl();
