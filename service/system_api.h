// The Win32 calls whose effect a test must observe or make fail, reached
// through one table. It holds the real functions; a test swaps an entry for
// one case with ScopedSystemApi and gets the real table back when the guard
// goes. Nothing else in the host calls these functions directly.
#pragma once

#include "UniqueHandle.h"
#include "WinApi.h"

struct SystemApi {
    // Service Control Manager: the running service.
    decltype(&::StartServiceCtrlDispatcherW) startServiceCtrlDispatcher;
    decltype(&::RegisterServiceCtrlHandlerW) registerServiceCtrlHandler;
    decltype(&::SetServiceStatus) setServiceStatus;
    // Event log.
    decltype(&::RegisterEventSourceW) registerEventSource;
    decltype(&::ReportEventW) reportEvent;
    decltype(&::DeregisterEventSource) deregisterEventSource;
    // Process.
    decltype(&::CreateEventW) createEvent;
    decltype(&::GetModuleFileNameW) getModuleFileName;
    // The waits of the service thread on a stop control and on the child: a
    // test sees how long the staged stop gives the child, and makes a wait fail.
    decltype(&::WaitForSingleObject) waitForSingleObject;
    decltype(&::WaitForMultipleObjects) waitForMultipleObjects;
    // Service Control Manager: installation and removal.
    decltype(&::OpenSCManagerW) openSCManager;
    decltype(&::CreateServiceW) createService;
    decltype(&::ChangeServiceConfig2W) changeServiceConfig2;
    decltype(&::OpenServiceW) openService;
    decltype(&::DeleteService) deleteService;
    decltype(&::CloseServiceHandle) closeServiceHandle;
    // Registry.
    decltype(&::RegCreateKeyExW) regCreateKeyEx;
    decltype(&::RegSetValueExW) regSetValueEx;
    decltype(&::RegCloseKey) regCloseKey;
};

SystemApi realSystemApi();
extern SystemApi systemApi;

// Restores the whole table when it goes out of scope.
class ScopedSystemApi {
public:
    ScopedSystemApi() : saved(systemApi) {}
    ~ScopedSystemApi() { systemApi = saved; }
    ScopedSystemApi(const ScopedSystemApi&) = delete;
    ScopedSystemApi& operator=(const ScopedSystemApi&) = delete;

private:
    SystemApi saved;
};

// Owners of the handles that install and uninstall open, closed through the
// table so that a test sees every close.
struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle empty() { return nullptr; }
    static bool isValid(Handle key) { return key != nullptr; }
    static void close(Handle key) { systemApi.regCloseKey(key); }
};
using RegistryKey = UniqueHandle<RegistryKeyTraits>;

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle empty() { return nullptr; }
    static bool isValid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { systemApi.closeServiceHandle(handle); }
};
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
