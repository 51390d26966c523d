// A scripted stand-in for the SCM, registry, event-log and module calls of the
// host. Each call is logged by name (with the value name or handle role where
// that tells calls apart) and its arguments kept as text, so tests can check
// order, exact arguments and stop-at-first-failure. A failure is scripted per
// call name: the call fails and leaves the error where the real one would.
#pragma once

#include "WinApi.h"
#include "system_api.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

struct FakeSystem {
    // Handles the fake gives out; arguments name them by these roles.
    static HKEY registryKey() { return reinterpret_cast<HKEY>(std::uintptr_t{0x5100}); }
    static SC_HANDLE manager() { return reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x5200}); }
    static SC_HANDLE service() { return reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x5300}); }
    static HANDLE eventSource() { return reinterpret_cast<HANDLE>(std::uintptr_t{0x5400}); }

    // Script.
    std::wstring modulePath = L"C:\\host\\host.exe";
    bool moduleFileNameFillsBuffer = false; // copies a cut path and returns the buffer size
    std::map<std::string, DWORD> failures;  // call name -> error (the status for registry calls)
    void (*onRegisterHandler)() = nullptr;  // runs inside that call, which always fails with 1060
    // Runs inside the dispatcher call, with the table it was given.
    void (*onDispatcher)(const SERVICE_TABLE_ENTRYW* table) = nullptr;

    // Record. Calls may come from a service thread too.
    void record(const std::string& call, const std::vector<std::string>& arguments);
    std::vector<std::string> calls;
    // The arguments of the last call of each name, joined by ", ": handles by
    // role, texts quoted, numbers in decimal, other pointers "null" or "ptr".
    std::map<std::string, std::string> arguments;

private:
    std::mutex mLock;
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
