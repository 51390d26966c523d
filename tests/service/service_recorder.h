// Records what the host tells the SCM and the event log, in one ordered log,
// through the seam. A failure road must tell the SCM before the operator, so
// status reports and events are checked against each other, not only apart.
#pragma once

#include "WinApi.h"
#include "system_api.h"

#include <gtest/gtest.h>

#include <functional>
#include <locale>
#include <string>
#include <vector>

namespace recorder {

struct Entry {
    bool isStatus = false;
    SERVICE_STATUS status{}; // status reports only
    std::wstring text;       // an event's first string
    std::string described;   // every field, so logs compare field by field and print readably
};

std::vector<Entry> entries();
// The entries as described.
std::vector<std::string> log();
void clear();

// The fake handles the stubs stand for.
SERVICE_STATUS_HANDLE fakeStatusHandle();
HANDLE fakeEventSource();

// Called on the reporting thread after each status report is recorded.
void setStatusHook(std::function<void(const SERVICE_STATUS&)> hook);

// Waits (up to timeoutMs) until some entry is described as expected.
bool waitForEntry(const std::string& expected, DWORD timeoutMs);

// The handler the host registered, null before registration, and its name.
LPHANDLER_FUNCTION registeredHandler();
std::wstring registeredName();

// Expected entries, written the way recorded ones are described.
std::string status(DWORD state, DWORD controlsAccepted, DWORD checkPoint, DWORD waitHint, DWORD win32ExitCode = 0,
                   DWORD specificExitCode = 0);
std::string infoEvent(const std::wstring& text);
std::string errorEvent(const std::wstring& text);
std::string apiFailureEvent(const std::wstring& text);

// The whole log of a service start outside server mode whose launch of the
// announced executable failed with the given error.
std::vector<std::string> failedLaunch(const std::wstring& executable, DWORD error);

} // namespace recorder

// While it lives, the path library converts no text between wide and
// narrow, as with a narrow encoding that cannot hold the path.
class ScopedFailingPathConversion {
public:
    ScopedFailingPathConversion();
    ~ScopedFailingPathConversion();
    ScopedFailingPathConversion(const ScopedFailingPathConversion&) = delete;
    ScopedFailingPathConversion& operator=(const ScopedFailingPathConversion&) = delete;

private:
    std::locale previous;
};

// Runs serviceMain as the SCM would, with the service name as argv[0]
// followed by startArguments.
void runServiceMain(std::vector<std::wstring> startArguments);

// Resets the process-wide state of the service host, installs the recording
// seam (setServiceStatus, reportEvent, registerServiceCtrlHandler) and opens a
// fake event source. The rest of the table stays real; a test swaps more
// entries itself and gets the table back with the fixture.
class ServiceStateTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh service start within one test: state and log as after SetUp.
    void restartService();

private:
    ScopedSystemApi restoreSystemApi;
};
