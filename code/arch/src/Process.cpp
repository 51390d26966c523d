#include "Process.h"

#include "CommandLine.h"
#include "Debug.h"

#include <boost/filesystem/path.hpp>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

bool equalsIgnoringAsciiCase(const std::wstring& text, const wchar_t* lowerCase)
{
    std::size_t i = 0;
    for (; i < text.size() && lowerCase[i] != L'\0'; ++i) {
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != lowerCase[i])
            return false;
    }
    return i == text.size() && lowerCase[i] == L'\0';
}

bool isBatchFile(const boost::filesystem::path& executable)
{
    // Windows file names ignore case: RUN.BAT is as much a batch file as run.bat.
    return equalsIgnoringAsciiCase(executable.extension().wstring(), L".bat");
}

// cmd.exe reads a batch file's arguments by its own rules: it knows no escaped
// double quote, so a quote inside an argument ends the quoting and lets '&',
// '|' or '>' run commands; it expands %name% even inside quotes; and a line
// break ends the command. No quoting can carry these through, so such
// arguments are refused instead of being passed on.
bool isSafeForBatch(const std::string& argument)
{
    return argument.find_first_of("\"%\r\n") == std::string::npos;
}

// From the system folder, not %COMSPEC%: the environment does not choose
// what runs a batch file for the host.
std::wstring commandInterpreterPath()
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"C:\\Windows\\System32\\cmd.exe";
    return std::wstring(folder, length) + L"\\cmd.exe";
}

// CreateProcessW's limit: 32,767 characters with the terminating NUL.
constexpr std::size_t maxCommandLineLength = 32766;

HANDLE toHandle(std::uint64_t value)
{
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

struct AttributeListTraits {
    using Handle = LPPROC_THREAD_ATTRIBUTE_LIST;
    static Handle empty() { return nullptr; }
    static bool isValid(Handle list) { return list != nullptr; }
    static void close(Handle list)
    {
        DeleteProcThreadAttributeList(list);
        std::free(list);
    }
};
using AttributeList = UniqueHandle<AttributeListTraits>;

// The attribute list that restricts inheritance to the handle set. It refers
// to `values` until it is deleted.
bool restrictInheritance(AttributeList& list, const std::vector<std::uint64_t>& values)
{
    SIZE_T size = 0;
    if (!processApi.initializeAttributeList(nullptr, 1, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    auto* buffer = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(size));
    if (buffer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!processApi.initializeAttributeList(buffer, 1, 0, &size)) {
        std::free(buffer);
        return false;
    }
    list.reset(buffer);
    return processApi.updateAttribute(buffer, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                      const_cast<std::uint64_t*>(values.data()), values.size() * sizeof(std::uint64_t),
                                      nullptr, nullptr)
        != FALSE;
}

} // namespace

ProcessApi processApi{&::InitializeProcThreadAttributeList, &::UpdateProcThreadAttribute, &::GetExitCodeProcess};

bool Process::launch(const std::vector<std::string>& arguments, const HandleSet& inheritedHandles)
{
    if (arguments.empty())
        return false;
    if (arguments.size() == 1)
        return launchCommandLine(arguments[0], std::wstring(), inheritedHandles);
    if (isBatchFile(boost::filesystem::path(arguments[0]))) {
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            if (!isSafeForBatch(arguments[i])) {
                // The caller reads the reason as for any other failed launch.
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
        }
    }
    return launchCommandLine(arguments[0], buildCommandLine(std::string_view(), arguments), inheritedHandles);
}

bool Process::launchCommandLine(const std::string& executablePath, const std::wstring& commandLine,
                                const HandleSet& inheritedHandles)
{
    if (mProcess) {
        // A second child would leave the first one unowned and never reaped.
        SetLastError(ERROR_BUSY);
        return false;
    }

    std::wstring privateCommandLine = commandLine;
    std::wstring applicationName;
    if (!executablePath.empty()) {
        const boost::filesystem::path executable(executablePath);
        applicationName = executable.wstring();
        if (isBatchFile(executable)) {
            // The file's own path is read by the same rules as its arguments.
            if (!isSafeForBatch(executablePath)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            // The interpreter itself is the application. Given the batch file
            // as application, Windows (and Wine) wraps the line in a cmd /c of
            // its own: the outer interpreter then reads this inner line
            // unquoted and runs whatever follows a '&' in any argument.
            // An empty line would leave the interpreter nothing to run; the
            // batch file then stands alone, as an executable would.
            // The interpreter would start, complain and exit with 1: a missing
            // batch file fails the launch as a missing executable does.
            if (GetFileAttributesW(applicationName.c_str()) == INVALID_FILE_ATTRIBUTES)
                return false;
            if (privateCommandLine.empty())
                privateCommandLine = quoteArgument(std::wstring_view(applicationName));
            // /d: no AutoRun command from the registry runs first; /e:ON /v:OFF:
            // the registry cannot turn on delayed expansion, which would expand
            // !name! in the arguments.
            privateCommandLine = L"cmd.exe /d /e:ON /v:OFF /c \"" + privateCommandLine + L"\"";
            applicationName = commandInterpreterPath();
        } else if (!equalsIgnoringAsciiCase(executable.extension().wstring(), L".exe")) {
            applicationName += L".exe";
        }
    }

    // Windows refuses a longer line. Wine takes it and hands the child a cut
    // copy (the length field wraps at 64 KiB), so the child would run with
    // arguments nobody gave it: refuse it here, on both.
    if (privateCommandLine.size() > maxCommandLineLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    for (const std::uint64_t value : inheritedHandles) {
        if (!SetHandleInformation(toHandle(value), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
            return false;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    const BOOL inheritHandles = inheritedHandles.empty() ? FALSE : TRUE;
    const std::vector<std::uint64_t> values(inheritedHandles.begin(), inheritedHandles.end());
    AttributeList handleList;
    if (inheritHandles) {
        // Without the list the child would inherit every inheritable handle
        // the host has: no launch then.
        if (!restrictInheritance(handleList, values))
            return false;
        startup.lpAttributeList = handleList.get();
    }

    PROCESS_INFORMATION information{};
    if (!CreateProcessW(applicationName.empty() ? nullptr : applicationName.c_str(),
                        privateCommandLine.empty() ? nullptr : privateCommandLine.data(), nullptr, nullptr,
                        inheritHandles, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &startup.StartupInfo, &information))
        return false;
    mExitCode = ExitCodeRunning;
    mExitCodeError = NO_ERROR;
    mProcess.reset(information.hProcess);
    mThread.reset(information.hThread);
    return true;
}

bool Process::isRunning()
{
    if (!mProcess)
        return false;
    const DWORD result = WaitForSingleObject(mProcess.get(), 0);
    const DWORD error = GetLastError();
    if (result == WAIT_OBJECT_0) {
        reap();
        return false;
    }
    if (result == WAIT_TIMEOUT)
        return true;
    reportError("Failed to query child process", error);
    if (mProcess)
        terminateAndWait();
    return false;
}

bool Process::terminate()
{
    if (!mProcess)
        return false;
    return TerminateProcess(mProcess.get(), TerminateExitCode) != FALSE;
}

void Process::terminateAndWait()
{
    if (!mProcess)
        return;
    if (TerminateProcess(mProcess.get(), TerminateExitCode))
        WaitForSingleObject(mProcess.get(), INFINITE);
    reap();
}

HANDLE Process::processHandle() const
{
    return mProcess.get();
}

void Process::setErrorSink(ProcessErrorSink sink, void* context)
{
    mErrorSink = sink;
    mErrorSinkContext = context;
}

void Process::reap()
{
    debugAssert(mProcess.valid());
    DWORD exitCode = 0;
    // A child whose termination failed still runs: it is recorded as
    // STILL_ACTIVE and goes on unsupervised.
    if (processApi.getExitCodeProcess(mProcess.get(), &exitCode)) {
        mExitCode = exitCode;
    } else {
        mExitCodeError = GetLastError();
        if (mExitCodeError == NO_ERROR) // a failure without a reason is still a failure
            mExitCodeError = ERROR_INTERNAL_ERROR;
        mExitCode = ExitCodeUnavailable;
    }
    mProcess.reset();
    mThread.reset();
}

Process::~Process()
{
    if (isRunning())
        terminateAndWait();
}

void Process::notify(const char* format, ...)
{
    char text[8192] = {};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (mErrorSink != nullptr)
        mErrorSink(mErrorSinkContext, text);
}

void Process::reportError(const char* text, unsigned long error)
{
    const std::string description = windowsErrorText(error);
    notify("ERROR: %s: %s", text, description.c_str());
}
