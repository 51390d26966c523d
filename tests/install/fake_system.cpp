#include "fake_system.h"

#include "TextConversion.h"

namespace {

FakeSystem* current = nullptr;

std::string text(const wchar_t* value)
{
    if (value == nullptr)
        return "null";
    std::string quoted = toUtf8(value);
    return quoted.insert(0, 1, '"') + '"';
}

std::string text(DWORD value)
{
    return std::to_string(value);
}

std::string text(const void* pointer)
{
    const std::map<const void*, std::string> roles{
        {nullptr, "null"},
        {HKEY_LOCAL_MACHINE, "HKLM"},
        {FakeSystem::registryKey(), "key"},
        {FakeSystem::manager(), "manager"},
        {FakeSystem::service(), "service"},
        {FakeSystem::eventSource(), "source"},
    };
    const auto found = roles.find(pointer);
    return found == roles.end() ? "ptr" : found->second;
}

// The scripted error of the call (0 when it succeeds), left as the last error.
DWORD scripted(const std::string& call)
{
    const auto found = current->failures.find(call);
    const DWORD error = found == current->failures.end() ? ERROR_SUCCESS : found->second;
    SetLastError(error);
    return error;
}

DWORD WINAPI fakeGetModuleFileName(HMODULE module, LPWSTR buffer, DWORD size)
{
    current->record("GetModuleFileName", {text(module), text(size)});
    if (scripted("GetModuleFileName") != ERROR_SUCCESS)
        return 0;
    const std::wstring& path = current->modulePath;
    // What the system does with a path that does not fit: cut, terminated,
    // the buffer size as the result.
    const bool cut = current->moduleFileNameFillsBuffer || path.size() >= size;
    const std::size_t kept = cut ? size - 1 : path.size();
    path.copy(buffer, kept);
    buffer[kept] = L'\0';
    SetLastError(cut ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
    return cut ? size : static_cast<DWORD>(kept);
}

// The registry calls report through their status only; the last error is
// cleared, so a caller that prints it instead shows the wrong number.
LSTATUS registryStatus(const std::string& call)
{
    const LSTATUS status = static_cast<LSTATUS>(scripted(call));
    SetLastError(ERROR_SUCCESS);
    return status;
}

LSTATUS WINAPI fakeRegCreateKeyEx(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                  REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    current->record("RegCreateKeyEx", {text(parent), text(subKey), text(reserved), text(keyClass), text(options),
                                       text(access), text(security), text(disposition)});
    const LSTATUS status = registryStatus("RegCreateKeyEx");
    if (status == ERROR_SUCCESS)
        *result = FakeSystem::registryKey();
    return status;
}

// The data as what it holds: a string (NULs as \0) or a number.
LSTATUS WINAPI fakeRegSetValueEx(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    const std::string call = "RegSetValueEx:" + (name != nullptr ? toUtf8(name) : "null");
    std::string value = "size " + std::to_string(size);
    if (type == REG_SZ && data != nullptr) {
        const std::wstring wide(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        value = text(wide.c_str()); // up to the first NUL, marked when it ends the data
        if (wide.find(L'\0') + 1 == wide.size())
            value.insert(value.size() - 1, "\\0");
    } else if (type == REG_DWORD && data != nullptr && size == sizeof(DWORD)) {
        value = std::to_string(*reinterpret_cast<const DWORD*>(data));
    }
    current->record(call, {text(key), text(name), text(reserved), text(type), value});
    return registryStatus(call);
}

LSTATUS WINAPI fakeRegCloseKey(HKEY key)
{
    current->record("RegCloseKey", {text(key)});
    return ERROR_SUCCESS;
}

SC_HANDLE WINAPI fakeOpenSCManager(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    current->record("OpenSCManager", {text(machine), text(database), text(access)});
    return scripted("OpenSCManager") == ERROR_SUCCESS ? FakeSystem::manager() : nullptr;
}

SC_HANDLE WINAPI fakeCreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD type,
                                   DWORD startType, DWORD errorControl, LPCWSTR commandLine, LPCWSTR loadOrderGroup,
                                   LPDWORD tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password)
{
    current->record("CreateService", {text(manager), text(name), text(displayName), text(access), text(type),
                                      text(startType), text(errorControl), text(commandLine), text(loadOrderGroup),
                                      text(tagId), text(dependencies), text(account), text(password)});
    return scripted("CreateService") == ERROR_SUCCESS ? FakeSystem::service() : nullptr;
}

BOOL WINAPI fakeChangeServiceConfig2(SC_HANDLE service, DWORD level, LPVOID info)
{
    const bool description = level == SERVICE_CONFIG_DESCRIPTION && info != nullptr;
    current->record("ChangeServiceConfig2",
                    {text(service), text(level),
                     description ? text(static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription) : text(info)});
    return scripted("ChangeServiceConfig2") == ERROR_SUCCESS;
}

SC_HANDLE WINAPI fakeOpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    current->record("OpenService", {text(manager), text(name), text(access)});
    return scripted("OpenService") == ERROR_SUCCESS ? FakeSystem::service() : nullptr;
}

BOOL WINAPI fakeDeleteService(SC_HANDLE service)
{
    current->record("DeleteService", {text(service)});
    return scripted("DeleteService") == ERROR_SUCCESS;
}

BOOL WINAPI fakeCloseServiceHandle(SC_HANDLE handle)
{
    current->record("CloseServiceHandle:" + text(handle), {text(handle)});
    return TRUE;
}

HANDLE WINAPI fakeRegisterEventSource(LPCWSTR server, LPCWSTR name)
{
    current->record("RegisterEventSource", {text(server), text(name)});
    return scripted("RegisterEventSource") == ERROR_SUCCESS ? FakeSystem::eventSource() : nullptr;
}

BOOL WINAPI fakeReportEvent(HANDLE source, WORD type, WORD category, DWORD identifier, PSID sid, WORD stringCount,
                            DWORD dataSize, LPCWSTR* strings, LPVOID data)
{
    current->record("ReportEvent", {text(source), text(type), text(category), text(identifier), text(sid),
                                    text(stringCount), text(dataSize),
                                    stringCount > 0 && strings != nullptr ? text(strings[0]) : "none", text(data)});
    return TRUE;
}

BOOL WINAPI fakeDeregisterEventSource(HANDLE source)
{
    current->record("DeregisterEventSource", {text(source)});
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI fakeRegisterServiceCtrlHandler(LPCWSTR name, LPHANDLER_FUNCTION)
{
    current->record("RegisterServiceCtrlHandler", {text(name)});
    if (current->onRegisterHandler != nullptr)
        current->onRegisterHandler();
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

BOOL WINAPI fakeStartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYW* table)
{
    current->record("StartServiceCtrlDispatcher", {});
    if (current->onDispatcher != nullptr)
        current->onDispatcher(table);
    return scripted("StartServiceCtrlDispatcher") == ERROR_SUCCESS;
}

} // namespace

void FakeSystem::record(const std::string& call, const std::vector<std::string>& values)
{
    std::string joined;
    for (const std::string& value : values)
        joined += (joined.empty() ? "" : ", ") + value;
    std::lock_guard<std::mutex> lock(mLock);
    calls.push_back(call);
    arguments[call] = joined;
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
