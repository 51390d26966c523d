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

void reportServiceStatus(DWORD state, DWORD waitHint);
void WINAPI serviceControlHandler(DWORD control);
// Creates stopEvent, registers the handler, reports the first start-pending.
// False after a failure that has already been written to the event log.
bool startServiceControl();
