// The support library: text conversion, the diagnostics channel, and Process with real children.
#include "CommandLine.h"
#include "Debug.h"
#include "test_child.h"
#include <gtest/gtest.h>
#include <winternl.h>

namespace {

TEST(TextConversion, RoundTripsNulsAndSupplementaryPlaneCharacters)
{
    const std::wstring wide{L"a\0b\xD83D\xDE00z\x00E9", 7};
    const std::string utf8("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10);
    EXPECT_EQ(utf8, toUtf8(wide));
    EXPECT_EQ(wide, toWide(utf8));
}

TEST(TextConversion, MalformedInputGivesAnEmptyStringNotAPartlyReplacedOne)
{
    EXPECT_EQ("", toUtf8(L"a\xD83Dz")) << "an unpaired surrogate";
    EXPECT_EQ(L"", toWide("ok \xE2\x82 ok")) << "a cut UTF-8 sequence";
}

// The callback, the channel's stream and the report's own extra stream all write to one file, in the
// order the channel serves them; the callback marks its part with the report's kind.
const std::wstring debugLog = std::filesystem::temp_directory_path() / L"quorvanta-debug.log";

std::FILE* openDebugLog(bool abortOnError)
{
    std::FILE* log = _wfopen(debugLog.c_str(), L"wb");
    const auto callback = [](void* context, DebugMessageType type, const char* text) {
        std::fprintf(static_cast<std::FILE*>(context), "callback %d: %s", type, text);
    };
    Debug::setConfig({abortOnError, callback, log, log});
    return log;
}

std::string fromCallback(DebugMessageType type, const std::string& text)
{
    return "callback " + std::to_string(type) + ": " + text;
}

class DebugTest : public testing::Test {
protected:
    void TearDown() override
    {
        Debug::setConfig({});
        std::filesystem::remove(debugLog);
    }
    static std::string logged() { return testChild::readFile(debugLog).value_or("(no log)"); }
};

TEST_F(DebugTest, AReportGoesToTheCallbackThenTheStreamThenTheExtraStream)
{
    const std::string condition(5000, 'c');
    const std::string message(8191, 'm');
    const struct {
        const char* name;
        DebugMessageType type;
        const char* sourceFile;
        const char* condition;
        std::string message;
        std::string text; // as each output receives it
    } rows[] = {
        {"a plain kind gets a line break", Debug::Info, "a/b.cpp", nullptr, "hi", "hi\n"},
        {"a line break is not doubled", Debug::Warning, "a/b.cpp", nullptr, "hi\n", "hi\n"},
        {"an error names what follows the last slash", Debug::Error, "C:\\src/x\\n.cpp", nullptr, "%d",
         "(x\\n.cpp, line 7): %d\n"},
        {"an assertion names its condition", Debug::Info, "d/n.cpp", "a == b", "why",
         "ASSERTION FAILED (n.cpp, line 7): a == b. why\n"},
        {"a message is cut to 8191 characters", Debug::Info, "a", nullptr, std::string(9000, 'a'),
         std::string(8191, 'a') + "\n"},
        {"a report is cut to 10239 characters", Debug::Error, "x.cpp", condition.c_str(), message,
         ("ASSERTION FAILED (x.cpp, line 7): " + condition + ". " + message).substr(0, 10239)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::FILE* log = openDebugLog(false);
        EXPECT_FALSE(Debug::report(row.type, row.sourceFile, 7, log, row.condition, "%s", row.message.c_str()));
        std::fclose(log);
        EXPECT_EQ(fromCallback(row.type, row.text) + row.text + row.text, logged());
    }
}

// A fatal report goes out as any other; then the channel adds its notice (not to the report's extra
// stream) and aborts, which ends the program with 3.
using DebugDeathTest = DebugTest;
const std::string abortNotice = "Debug: Aborting due to error\n";

TEST_F(DebugDeathTest, AFatalReportAndAnErrorSetToAbortEndTheProgramAfterTheNotice)
{
    const std::string text = "(b.cpp, line 7): boom\n";
    for (const bool abortOnError : {false, true}) {
        const DebugMessageType type = abortOnError ? Debug::Error : Debug::Fatal;
        SCOPED_TRACE(abortOnError ? "an error set to abort" : "a fatal report");
        EXPECT_EXIT(Debug::report(type, "a/b.cpp", 7, openDebugLog(abortOnError), nullptr, "boom"),
                    testing::ExitedWithCode(3), "");
        EXPECT_EQ(fromCallback(type, text) + text + text + fromCallback(type, abortNotice) + abortNotice, logged());
    }
}

TEST_F(DebugDeathTest, AFailedAssertionIsFatal)
{
    const bool ready = false;
    const int line = __LINE__ + 1;
    EXPECT_EXIT(openDebugLog(false); debugAssert(ready), testing::ExitedWithCode(3), "");
    const std::string text = "ASSERTION FAILED (process_test.cpp, line " + std::to_string(line) + "): ready. \n";
    EXPECT_EQ(fromCallback(Debug::Fatal, text) + text + fromCallback(Debug::Fatal, abortNotice) + abortNotice,
              logged());
}

class ProcessTest : public testing::Test {
protected:
    testChild::TempDirectory mFolder;
    const std::string mChild = testChild::pathUtf8();
};

// Windows completes a name without an extension with .exe, and file names ignore case.
TEST_F(ProcessTest, AnExecutableNameIsCompletedWithExeOnlyWhenItLacksIt)
{
    for (const wchar_t* copy : {L"SERVER.EXE", L"run.cmd.exe"})
        ASSERT_TRUE(CopyFileW(testChild::path().c_str(), mFolder.file(copy).c_str(), FALSE));
    const struct {
        const char* name;
        std::string executable;
        DWORD exitCode;
    } rows[] = {
        {"no extension", mChild.substr(0, mChild.size() - 4), 11},
        {"upper-case .EXE", mFolder.fileUtf8(L"SERVER.EXE"), 12},
        {"another extension", mFolder.fileUtf8(L"run.cmd"), 13},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Process process;
        ASSERT_TRUE(process.launch({row.executable, "exit", std::to_string(row.exitCode)}, {})) << GetLastError();
        EXPECT_EQ(Process::ExitCodeRunning, process.exitCode());
        ASSERT_TRUE(testChild::waitAndReap(process));
        EXPECT_EQ(row.exitCode, process.exitCode());
        EXPECT_EQ(nullptr, process.processHandle());
    }
}

TEST_F(ProcessTest, TheLongestCommandLineArrivesWholeAndALongerOneIsRefused)
{
    std::vector<std::string> longest{mChild, "echo-args", mFolder.fileUtf8(L"argv.txt"), ""};
    // Two more for the quotes around the last argument.
    longest.back().assign(32766 - buildCommandLine(std::string_view(), longest).size() - 2, 'x');
    Process process;
    ASSERT_TRUE(process.launch(longest, {})) << GetLastError();
    ASSERT_TRUE(testChild::waitAndReap(process));
    EXPECT_EQ(longest, testChild::echoed(mFolder.file(L"argv.txt")));

    longest.back() += "x"; // Wine would hand the child a cut copy
    EXPECT_FALSE(process.launch(longest, {}));
    EXPECT_EQ(DWORD{ERROR_FILENAME_EXCED_RANGE}, GetLastError());
}

TEST_F(ProcessTest, AFailedLaunchSaysWhyAndLeavesNoChild)
{
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        HandleSet inherited;
        DWORD error;
    } rows[] = {
        {"missing executable", {mFolder.fileUtf8(L"missing.exe")}, {}, ERROR_FILE_NOT_FOUND},
        // The interpreter would start, complain and end with 1.
        {"missing batch file", {mFolder.fileUtf8(L"missing.bat"), "x"}, {}, ERROR_FILE_NOT_FOUND},
        {"no such handle to inherit", {mChild, "exit", "0"}, {0x7FFFFFF0}, ERROR_INVALID_HANDLE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Process process;
        EXPECT_FALSE(process.launch(row.arguments, row.inherited));
        EXPECT_EQ(row.error, GetLastError());
        EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
        EXPECT_EQ(nullptr, process.processHandle());
    }
}

// The child's handle with the event's value, if it has one, is the event when setting it sets ours.
bool childHoldsEvent(HANDLE child, HANDLE event)
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(child, event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    const bool same = SetEvent(copy) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    CloseHandle(copy);
    return same;
}

// A handle in the set is made inheritable for the launch, as the host's sockets are created without.
TEST_F(ProcessTest, AChildInheritsTheHandlesItIsGivenAndNoneWhenGivenNone)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const ScopedHandle given(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ScopedHandle other(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    Process withHandle;
    ASSERT_TRUE(withHandle.launch({mChild, "sleep", "30000"}, {reinterpret_cast<std::uintptr_t>(given.get())}));
    EXPECT_TRUE(childHoldsEvent(withHandle.processHandle(), given.get()));
    Process withNone;
    ASSERT_TRUE(withNone.launch({mChild, "sleep", "30000"}, {}));
    EXPECT_FALSE(childHoldsEvent(withNone.processHandle(), other.get()));
}

TEST_F(ProcessTest, ASecondLaunchWhileAChildIsHeldFailsBusyAndKeepsTheFirst)
{
    Process process;
    ASSERT_TRUE(process.launch({mChild, "sleep", "30000"}, {}));
    EXPECT_FALSE(process.launch({mChild, "exit", "0"}, {}));
    EXPECT_EQ(DWORD{ERROR_BUSY}, GetLastError());
    EXPECT_TRUE(process.isRunning());
}

BOOL WINAPI failingSizeQuery(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags, PSIZE_T size)
{
    if (list != nullptr)
        return InitializeProcThreadAttributeList(list, count, flags, size);
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return FALSE;
}

BOOL WINAPI failingInitialization(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags, PSIZE_T size)
{
    if (list == nullptr)
        return InitializeProcThreadAttributeList(list, count, flags, size);
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return FALSE;
}

BOOL WINAPI refusedHandleList(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// Without its handle list the child would inherit every inheritable handle the host has.
TEST_F(ProcessTest, ALaunchWhoseHandleListCannotBeMadeFailsWithTheSystemsReason)
{
    const ProcessApi real = processApi;
    const ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const struct {
        const char* name;
        ProcessApi api;
        DWORD error;
    } rows[] = {
        {"the size query fails",
         {failingSizeQuery, real.updateAttribute, real.getExitCodeProcess},
         ERROR_NO_SYSTEM_RESOURCES},
        {"the initialization fails",
         {failingInitialization, real.updateAttribute, real.getExitCodeProcess},
         ERROR_NO_SYSTEM_RESOURCES},
        {"the handle list is refused",
         {real.initializeAttributeList, refusedHandleList, real.getExitCodeProcess},
         ERROR_NOT_SUPPORTED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        processApi = row.api;
        Process process;
        EXPECT_FALSE(process.launch({mChild, "exit", "0"}, {reinterpret_cast<std::uintptr_t>(event.get())}));
        EXPECT_EQ(row.error, GetLastError());
        processApi = real;
        EXPECT_EQ(nullptr, process.processHandle());
    }
}

// A batch file that writes its first argument, as it sees it, to seen.txt, lingers half a second and
// ends with 7. Its mixed case extension still makes it a batch file.
class BatchFileTest : public ProcessTest {
protected:
    void SetUp() override
    {
        const std::string script
            = "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\n\"" + mChild + "\" sleep 500\r\nexit /b 7\r\n";
        ASSERT_TRUE(testChild::writeFile(toWide(mBatch), script));
    }
    std::optional<std::string> seen() const { return testChild::readFile(mFolder.file(L"seen.txt")); }

    const std::string mBatch = mFolder.fileUtf8(L"JOB.Bat");
    const std::string mOwned = mFolder.fileUtf8(L"owned.txt");
};

// %1 keeps its quotes, so '&' and '>' inside an argument stay text; alone in the list, the batch
// file still runs.
TEST_F(BatchFileTest, RunsWithItsArgumentsAsTextOrWithNone)
{
    Process process;
    ASSERT_TRUE(process.launch({mBatch, "a b&echo owned>" + mOwned}, {})) << GetLastError();
    ASSERT_TRUE(testChild::waitAndReap(process));
    EXPECT_EQ(7u, process.exitCode());
    EXPECT_EQ("\"a b&echo owned>" + mOwned + "\"\r\n", seen());
    EXPECT_FALSE(testChild::readFile(toWide(mOwned)));

    ASSERT_TRUE(process.launch({mBatch}, {})) << GetLastError();
    ASSERT_TRUE(testChild::waitAndReap(process));
    EXPECT_EQ(7u, process.exitCode());
}

// The command line the system holds for a running process, from its environment block.
std::wstring commandLineOf(HANDLE process)
{
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0
        || !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr)
        || !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr))
        return {};
    std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!ReadProcessMemory(process, parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length, nullptr))
        return {};
    return line;
}

// No AutoRun command and no delayed expansion from the registry. Wine's interpreter knows neither
// setting, so its command line is what shows them.
TEST_F(BatchFileTest, RunsThroughAnInterpreterThatIgnoresAutoRunAndDelayedExpansion)
{
    Process process;
    ASSERT_TRUE(process.launch({mBatch, "x"}, {})) << GetLastError();
    for (int waited = 0; waited < 300 && !seen(); ++waited) // running the batch, past its start-up
        Sleep(10);
    const std::wstring line = commandLineOf(process.processHandle());
    EXPECT_EQ(0u, line.rfind(L"cmd.exe /d /e:ON /v:OFF /c \"", 0)) << testing::PrintToString(line);
    EXPECT_TRUE(testChild::waitAndReap(process));
}

std::wstring environmentVariable(const wchar_t* name)
{
    std::wstring value(32767, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

// For its lifetime, whatever looks for cmd.exe finds the one in a folder first: the folder is current,
// first on the search path and named by %COMSPEC%.
class ScopedInterpreterSearch {
public:
    explicit ScopedInterpreterSearch(const std::wstring& folder)
    {
        GetCurrentDirectoryW(MAX_PATH, mFolder);
        SetCurrentDirectoryW(folder.c_str());
        SetEnvironmentVariableW(L"PATH", (folder + L";" + mPath).c_str());
        SetEnvironmentVariableW(L"COMSPEC", (folder + L"\\cmd.exe").c_str());
    }
    ~ScopedInterpreterSearch()
    {
        SetCurrentDirectoryW(mFolder);
        SetEnvironmentVariableW(L"PATH", mPath.c_str());
        SetEnvironmentVariableW(L"COMSPEC", mComspec.c_str());
    }

private:
    wchar_t mFolder[MAX_PATH] = {};
    const std::wstring mPath = environmentVariable(L"PATH");
    const std::wstring mComspec = environmentVariable(L"COMSPEC");
};

// The impostor is test_child, which answers the interpreter's switches with 100.
TEST_F(BatchFileTest, RunsThroughTheInterpreterOfTheSystemFolder)
{
    ASSERT_TRUE(CopyFileW(testChild::path().c_str(), mFolder.file(L"cmd.exe").c_str(), FALSE));
    const ScopedInterpreterSearch impostorFirst(mFolder.path());
    Process process;
    ASSERT_TRUE(process.launch({mBatch, "x"}, {})) << GetLastError();
    ASSERT_TRUE(testChild::waitAndReap(process));
    EXPECT_EQ(7u, process.exitCode());
}

// Quotes, % (expanded even inside quotes) and line breaks would let the interpreter read text as commands.
TEST_F(BatchFileTest, ArgumentsTheInterpreterWouldRunAreRefusedBeforeAnyProcessExists)
{
    ASSERT_TRUE(CopyFileW(toWide(mBatch).c_str(), mFolder.file(L"100%.bat").c_str(), FALSE));
    const struct {
        const char* name;
        std::vector<std::string> arguments;
    } rows[] = {
        {"quote", {mBatch, "x\"&echo owned>" + mOwned + "&rem"}},
        {"percent", {mBatch, "fine", "%PATH%"}},
        {"CR LF", {mBatch, "a\r\necho owned>" + mOwned}},
        {"LF", {mBatch, "a\necho owned>" + mOwned}},
        {"percent in the batch file's path", {mFolder.fileUtf8(L"100%.bat"), "fine"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Process process;
        EXPECT_FALSE(process.launch(row.arguments, {}));
        EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
        EXPECT_EQ(nullptr, process.processHandle());
    }
    EXPECT_FALSE(seen()) << "the batch file ran";
}

TEST_F(ProcessTest, DestroyingAProcessTerminatesItsRunningChildWith255)
{
    HANDLE observer = nullptr;
    {
        Process process;
        ASSERT_TRUE(process.launch({mChild, "sleep", "30000"}, {}));
        DuplicateHandle(GetCurrentProcess(), process.processHandle(), GetCurrentProcess(), &observer, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    const ScopedHandle child(observer);
    DWORD exitCode = 0;
    EXPECT_EQ(DWORD{WAIT_OBJECT_0}, WaitForSingleObject(child.get(), 0));
    EXPECT_TRUE(GetExitCodeProcess(child.get(), &exitCode));
    EXPECT_EQ(255u, exitCode);
}

// The report names the system's error, not errno's, and the child is let go for good.
TEST_F(ProcessTest, AFailedPollIsReportedAndLetsTheChildGo)
{
    std::string report;
    Process process;
    ASSERT_TRUE(process.launch({mChild, "exit", "0"}, {}));
    process.setErrorSink([](void* to, const char* text) { *static_cast<std::string*>(to) += text; }, &report);
    CloseHandle(process.processHandle()); // behind its back: the next poll fails with ERROR_INVALID_HANDLE
    errno = ENOENT;
    EXPECT_FALSE(process.isRunning());
    EXPECT_EQ(Process::ExitCodeUnavailable, process.exitCode());
    EXPECT_EQ(nullptr, process.processHandle());
    EXPECT_EQ(0u, report.rfind("ERROR: Failed to query child process: (Error code 0x6) ", 0)) << report;
}

} // namespace
