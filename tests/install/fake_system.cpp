#include "fake_system.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

FakeSystem* current = nullptr;

std::wstring textOrEmpty(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

DWORD WINAPI fakeGetModuleFileName(HMODULE, LPWSTR buffer, DWORD size)
{
    current->record("GetModuleFileName");
    if (current->moduleFileNameError) {
        SetLastError(*current->moduleFileNameError);
        return 0;
    }
    const std::wstring& path = current->modulePath;
    if (current->moduleFileNameFillsBuffer || path.size() >= size) {
        // What the system does with a path that does not fit: cut, terminated,
        // the buffer size as the result.
        const std::size_t kept = size - 1;
        path.copy(buffer, kept);
        buffer[kept] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

LSTATUS WINAPI fakeRegCreateKeyEx(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                  REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                  LPDWORD disposition)
{
    current->record("RegCreateKeyEx");
    current->regParent = parent;
    current->regSubKey = textOrEmpty(subKey);
    current->regReserved = reserved;
    current->regClassNull = keyClass == nullptr;
    current->regOptions = options;
    current->regAccess = access;
    current->regSecurityNull = security == nullptr;
    current->regDispositionNull = disposition == nullptr;
    // The registry calls report through their status only; a stale last
    // error shows whether the caller prints the right number.
    SetLastError(ERROR_SUCCESS);
    if (current->regCreateKeyStatus)
        return *current->regCreateKeyStatus;
    *result = FakeSystem::registryKey();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI fakeRegSetValueEx(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    const std::wstring valueName = textOrEmpty(name);
    current->record(valueName == L"EventMessageFile" ? "RegSetValueEx:EventMessageFile"
                             : valueName == L"TypesSupported" ? "RegSetValueEx:TypesSupported"
                                                              : "RegSetValueEx:other");
    RegistryValueWrite write;
    write.key = key;
    write.name = valueName;
    write.reserved = reserved;
    write.type = type;
    if (data != nullptr)
        write.data.assign(data, data + size);
    current->valueWrites.push_back(write);
    SetLastError(ERROR_SUCCESS);
    if (valueName == L"EventMessageFile" && current->eventMessageFileStatus)
        return *current->eventMessageFileStatus;
    if (valueName == L"TypesSupported" && current->typesSupportedStatus)
        return *current->typesSupportedStatus;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI fakeRegCloseKey(HKEY key)
{
    current->record("RegCloseKey");
    current->closedKeys.push_back(key);
    return ERROR_SUCCESS;
}

SC_HANDLE WINAPI fakeOpenSCManager(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    current->record("OpenSCManager");
    current->managerMachineNull = machine == nullptr;
    current->managerDatabaseNull = database == nullptr;
    current->managerAccess = access;
    if (current->openSCManagerError) {
        SetLastError(*current->openSCManagerError);
        return nullptr;
    }
    return FakeSystem::manager();
}

SC_HANDLE WINAPI fakeCreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD type,
                                   DWORD startType, DWORD errorControl, LPCWSTR commandLine, LPCWSTR loadOrderGroup,
                                   LPDWORD tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password)
{
    current->record("CreateService");
    CreatedService created;
    created.manager = manager;
    created.name = textOrEmpty(name);
    created.displayName = textOrEmpty(displayName);
    created.access = access;
    created.type = type;
    created.startType = startType;
    created.errorControl = errorControl;
    created.commandLine = textOrEmpty(commandLine);
    created.loadOrderGroupNull = loadOrderGroup == nullptr;
    created.tagIdNull = tagId == nullptr;
    created.dependenciesNull = dependencies == nullptr;
    created.accountNull = account == nullptr;
    created.passwordNull = password == nullptr;
    current->createdServices.push_back(created);
    if (current->createServiceError) {
        SetLastError(*current->createServiceError);
        return nullptr;
    }
    return FakeSystem::service();
}

BOOL WINAPI fakeChangeServiceConfig2(SC_HANDLE service, DWORD level, LPVOID info)
{
    current->record("ChangeServiceConfig2");
    current->describedService = service;
    current->describeLevel = level;
    if (level == SERVICE_CONFIG_DESCRIPTION && info != nullptr)
        current->description = textOrEmpty(static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription);
    if (current->changeConfigError) {
        SetLastError(*current->changeConfigError);
        return FALSE;
    }
    return TRUE;
}

SC_HANDLE WINAPI fakeOpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    current->record("OpenService");
    current->openedServiceManager = manager;
    current->openedServiceName = textOrEmpty(name);
    current->openedServiceAccess = access;
    if (current->openServiceError) {
        SetLastError(*current->openServiceError);
        return nullptr;
    }
    return FakeSystem::service();
}

BOOL WINAPI fakeDeleteService(SC_HANDLE service)
{
    current->record("DeleteService");
    current->deletedService = service;
    if (current->deleteServiceError) {
        SetLastError(*current->deleteServiceError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI fakeCloseServiceHandle(SC_HANDLE handle)
{
    current->record(handle == FakeSystem::manager()   ? "CloseServiceHandle:manager"
                             : handle == FakeSystem::service() ? "CloseServiceHandle:service"
                                                               : "CloseServiceHandle:other");
    return TRUE;
}

HANDLE WINAPI fakeRegisterEventSource(LPCWSTR server, LPCWSTR name)
{
    current->record("RegisterEventSource");
    current->eventSourceServerNull = server == nullptr;
    current->eventSourceNames.push_back(textOrEmpty(name));
    if (current->eventSourceFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return FakeSystem::eventSource();
}

BOOL WINAPI fakeReportEvent(HANDLE source, WORD type, WORD category, DWORD identifier, PSID, WORD stringCount,
                            DWORD dataSize, LPCWSTR* strings, LPVOID)
{
    current->record("ReportEvent");
    WrittenEvent event;
    event.source = source;
    event.type = type;
    event.category = category;
    event.identifier = identifier;
    event.stringCount = stringCount;
    event.dataSize = dataSize;
    if (stringCount > 0 && strings != nullptr)
        event.text = textOrEmpty(strings[0]);
    current->events.push_back(event);
    return TRUE;
}

BOOL WINAPI fakeDeregisterEventSource(HANDLE source)
{
    current->record("DeregisterEventSource");
    current->deregisteredSources.push_back(source);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI fakeRegisterServiceCtrlHandler(LPCWSTR, LPHANDLER_FUNCTION)
{
    current->record("RegisterServiceCtrlHandler");
    if (current->onRegisterHandler != nullptr)
        current->onRegisterHandler();
    SetLastError(current->registerHandlerError);
    return nullptr;
}

BOOL WINAPI fakeStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYW* table)
{
    current->record("StartServiceCtrlDispatcher");
    if (current->onDispatcher != nullptr)
        current->onDispatcher(table);
    if (current->dispatcherError) {
        SetLastError(*current->dispatcherError);
        return FALSE;
    }
    return TRUE;
}

} // namespace

void FakeSystem::record(const char* call)
{
    std::lock_guard<std::mutex> lock(mCallsLock);
    calls.push_back(call);
}

FakeSystemScope::FakeSystemScope(FakeSystem& fake)
{
    current = &fake;
    systemApi.getModuleFileName = fakeGetModuleFileName;
    systemApi.regCreateKeyEx = fakeRegCreateKeyEx;
    systemApi.regSetValueEx = fakeRegSetValueEx;
    systemApi.regCloseKey = fakeRegCloseKey;
    systemApi.openSCManager = fakeOpenSCManager;
    systemApi.createService = fakeCreateService;
    systemApi.changeServiceConfig2 = fakeChangeServiceConfig2;
    systemApi.openService = fakeOpenService;
    systemApi.deleteService = fakeDeleteService;
    systemApi.closeServiceHandle = fakeCloseServiceHandle;
    systemApi.registerEventSource = fakeRegisterEventSource;
    systemApi.reportEvent = fakeReportEvent;
    systemApi.deregisterEventSource = fakeDeregisterEventSource;
    systemApi.startServiceCtrlDispatcher = fakeStartServiceCtrlDispatcher;
    systemApi.registerServiceCtrlHandler = fakeRegisterServiceCtrlHandler;
}

FakeSystemScope::~FakeSystemScope()
{
    current = nullptr;
}

StdoutCapture::StdoutCapture()
{
    wchar_t directory[MAX_PATH];
    wchar_t file[MAX_PATH];
    if (GetTempPathW(MAX_PATH, directory) == 0 || GetTempFileNameW(directory, L"qvo", 0, file) == 0)
        return;
    mPath = file;
    const int target = _wopen(file, _O_WRONLY | _O_TRUNC | _O_BINARY);
    if (target < 0)
        return;
    std::fflush(stdout);
    mSavedStdout = _dup(_fileno(stdout));
    _dup2(target, _fileno(stdout));
    _close(target);
    mActive = true;
}

StdoutCapture::~StdoutCapture()
{
    restore();
    if (!mPath.empty())
        DeleteFileW(mPath.c_str());
}

void StdoutCapture::restore()
{
    if (!mActive)
        return;
    mActive = false;
    std::fflush(stdout);
    _dup2(mSavedStdout, _fileno(stdout));
    _close(mSavedStdout);

    std::FILE* written = _wfopen(mPath.c_str(), L"rb");
    if (written == nullptr)
        return;
    char chunk[512];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof(chunk), written)) > 0)
        mText.append(chunk, count);
    std::fclose(written);
    // The runtime may write text-mode line ends into the redirected stream.
    std::string normalised;
    for (std::size_t i = 0; i < mText.size(); ++i) {
        if (mText[i] == '\r' && i + 1 < mText.size() && mText[i + 1] == '\n')
            continue;
        normalised.push_back(mText[i]);
    }
    mText = normalised;
}

std::string StdoutCapture::text()
{
    restore();
    return mText;
}
