// Owner of one child process: launch with an explicit set of inherited
// handles, poll, terminate, reap. No child outlives its Process unreaped.
#pragma once

#include "UniqueHandle.h"
#include "WinApi.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Handle values the child is to inherit, in ascending order. A socket is
// passed as its handle value.
using HandleSet = std::set<std::uint64_t>;

using ProcessErrorSink = void (*)(void* context, const char* text);

// The calls that restrict a child's inheritance to its handle set, and the
// one that reads its exit code, reached through one table so that a test can
// make them fail. Holds the real functions.
struct ProcessApi {
    decltype(&::InitializeProcThreadAttributeList) initializeAttributeList;
    decltype(&::UpdateProcThreadAttribute) updateAttribute;
    decltype(&::GetExitCodeProcess) getExitCodeProcess;
};
extern ProcessApi processApi;

class Process {
public:
    static constexpr DWORD ExitCodeNotStarted = 0x80000000;
    static constexpr DWORD ExitCodeRunning = 0x80000001;
    static constexpr DWORD ExitCodeUnavailable = 0x80000004;
    static constexpr DWORD TerminateExitCode = 255;

    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Element 0 is the executable path (UTF-8), the rest its arguments.
    bool launch(const std::vector<std::string>& arguments, const HandleSet& inheritedHandles);
    bool launchCommandLine(const std::string& executablePath, const std::wstring& commandLine,
                           const HandleSet& inheritedHandles);

    bool isRunning();
    bool terminate();
    void terminateAndWait();
    HANDLE processHandle() const;
    DWORD exitCode() const { return mExitCode; }
    // Why the exit code could not be read, never NO_ERROR then; NO_ERROR when
    // it was. A child may itself exit with ExitCodeUnavailable's value: only
    // this tells the two apart.
    DWORD exitCodeError() const { return mExitCodeError; }

    void setErrorSink(ProcessErrorSink sink, void* context);

private:
    void reap();
    void notify(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void reportError(const char* text, unsigned long error);

    ScopedHandle mProcess;
    ScopedHandle mThread;
    DWORD mExitCode = ExitCodeNotStarted;
    DWORD mExitCodeError = NO_ERROR;
    ProcessErrorSink mErrorSink = nullptr;
    void* mErrorSinkContext = nullptr;
};
