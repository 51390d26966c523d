// The service main routine: launch the child server, wait for a stop control
// or the child's exit, stop the child in stages and report its exit code.
#pragma once

#include "WinApi.h"

#include <cstdint>
#include <string>

constexpr DWORD stopGracePeriodMs = 5000;
constexpr DWORD launchWaitHintMs = 3000;

void WINAPI serviceMain(DWORD argc, LPWSTR* argv);
void runServer(DWORD argc, LPWSTR* argv);

struct ExitCodeReport {
    WORD eventType; // EVENTLOG_INFORMATION_TYPE or EVENTLOG_ERROR_TYPE
    std::wstring text;
};
ExitCodeReport describeExitCode(DWORD exitCode);

std::wstring formatDecimalWide(std::int32_t value);
