// A scripted stand-in for the SCM, registry, event-log and module calls of the
// host. Each call is logged by name (with the value name or handle role where
// that tells calls apart) and its arguments are kept, so tests can check order,
// arguments and stop-at-first-failure. A failure is scripted per call: the
// call returns failure and leaves the scripted error where the real one would.
#pragma once

#include "WinApi.h"
#include "system_api.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct RegistryValueWrite {
    HKEY key = nullptr;
    std::wstring name;
    DWORD reserved = 0;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct CreatedService {
    SC_HANDLE manager = nullptr;
    std::wstring name;
    std::wstring displayName;
    DWORD access = 0;
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring commandLine;
    bool loadOrderGroupNull = false;
    bool tagIdNull = false;
    bool dependenciesNull = false;
    bool accountNull = false;
    bool passwordNull = false;
};

struct WrittenEvent {
    HANDLE source = nullptr;
    WORD type = 0;
    WORD category = 0;
    DWORD identifier = 0;
    WORD stringCount = 0;
    DWORD dataSize = 0;
    std::wstring text;
};

struct FakeSystem {
    // Handles the fake gives out.
    static HKEY registryKey() { return reinterpret_cast<HKEY>(std::uintptr_t{0x5100}); }
    static SC_HANDLE manager() { return reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x5200}); }
    static SC_HANDLE service() { return reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x5300}); }
    static HANDLE eventSource() { return reinterpret_cast<HANDLE>(std::uintptr_t{0x5400}); }

    // Script. std::nullopt means the call succeeds.
    std::wstring modulePath = L"C:\\host\\host.exe";
    std::optional<DWORD> moduleFileNameError;
    bool moduleFileNameFillsBuffer = false; // copies a cut path and returns the buffer size
    std::optional<LSTATUS> regCreateKeyStatus;
    std::optional<LSTATUS> eventMessageFileStatus;
    std::optional<LSTATUS> typesSupportedStatus;
    std::optional<DWORD> openSCManagerError;
    std::optional<DWORD> createServiceError;
    std::optional<DWORD> changeConfigError;
    std::optional<DWORD> openServiceError;
    std::optional<DWORD> deleteServiceError;
    bool eventSourceFails = false;
    std::optional<DWORD> dispatcherError; // dispatcher returns at once, failing
    DWORD registerHandlerError = ERROR_SERVICE_DOES_NOT_EXIST; // the handler registration always fails
    void (*onRegisterHandler)() = nullptr; // runs inside that call, on the service thread
    // Runs inside the dispatcher call, with the table it was given.
    void (*onDispatcher)(const SERVICE_TABLE_ENTRYW* table) = nullptr;

    // Record. Calls may come from a service thread too.
    void record(const char* call);
    std::vector<std::string> calls;
    std::vector<std::wstring> eventSourceNames;
    bool eventSourceServerNull = false;
    HKEY regParent = nullptr;
    std::wstring regSubKey;
    DWORD regReserved = 0xFFFFFFFF;
    bool regClassNull = false;
    DWORD regOptions = 0xFFFFFFFF;
    REGSAM regAccess = 0;
    bool regSecurityNull = false;
    bool regDispositionNull = false;
    std::vector<RegistryValueWrite> valueWrites;
    std::vector<HKEY> closedKeys;
    bool managerMachineNull = false;
    bool managerDatabaseNull = false;
    DWORD managerAccess = 0;
    std::vector<CreatedService> createdServices;
    SC_HANDLE describedService = nullptr;
    DWORD describeLevel = 0;
    std::optional<std::wstring> description;
    std::wstring openedServiceName;
    DWORD openedServiceAccess = 0;
    SC_HANDLE openedServiceManager = nullptr;
    SC_HANDLE deletedService = nullptr;
    std::vector<WrittenEvent> events;
    std::vector<HANDLE> deregisteredSources;

private:
    std::mutex mCallsLock;
};

// Installs the fake into systemApi for its lifetime; the real table comes back
// afterwards. One at a time.
class FakeSystemScope {
public:
    explicit FakeSystemScope(FakeSystem& fake);
    ~FakeSystemScope();
    FakeSystemScope(const FakeSystemScope&) = delete;
    FakeSystemScope& operator=(const FakeSystemScope&) = delete;

private:
    ScopedSystemApi mRestore;
};

// Collects what the process writes to its standard output, the stream the
// console commands print on.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // False when the redirection could not be set up.
    bool started() const { return mSavedStdout >= 0; }
    // Ends the capture (once) and gives the text, line ends as "\n".
    std::string text();

private:
    void restore();

    int mSavedStdout = -1;
    std::wstring mPath;
    bool mActive = false;
    std::string mText;
};
