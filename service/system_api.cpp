#include "system_api.h"

SystemApi realSystemApi()
{
    return SystemApi{
        &::StartServiceCtrlDispatcherW,
        &::RegisterServiceCtrlHandlerW,
        &::SetServiceStatus,
        &::RegisterEventSourceW,
        &::ReportEventW,
        &::DeregisterEventSource,
        &::CreateEventW,
        &::GetModuleFileNameW,
        &::WaitForSingleObject,
        &::WaitForMultipleObjects,
        &::OpenSCManagerW,
        &::CreateServiceW,
        &::ChangeServiceConfig2W,
        &::OpenServiceW,
        &::DeleteService,
        &::CloseServiceHandle,
        &::RegCreateKeyExW,
        &::RegSetValueExW,
        &::RegCloseKey,
    };
}

SystemApi systemApi = realSystemApi();
