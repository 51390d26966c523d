// Process with real children (test_child): how the executable is found, what
// the child inherits, exit codes, terminating, reaping.
#include "Process.h"
#include "UniqueHandle.h"
#include "test_child.h"
#include "test_sockets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD WaitLimitMs = 10000;

// Waits (bounded) for the child to end, then lets isRunning reap it.
bool endsWithin(Process& process)
{
    HANDLE handle = process.processHandle();
    return handle != nullptr && WaitForSingleObject(handle, WaitLimitMs) == WAIT_OBJECT_0 && !process.isRunning();
}

std::string value(std::uint64_t handle)
{
    return std::to_string(handle);
}

std::uint64_t value(HANDLE handle)
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

std::string withoutExeExtension(std::string path)
{
    path.resize(path.size() - 4);
    return path;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A second handle to the child, which outlives the Process's own.
ScopedHandle observe(const Process& process)
{
    HANDLE observer = nullptr;
    DuplicateHandle(GetCurrentProcess(), process.processHandle(), GetCurrentProcess(), &observer,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, 0);
    return ScopedHandle(observer);
}

class ProcessTest : public ::testing::Test {
protected:
    // A copy of test_child under another name in the temporary folder.
    std::string copyOfChild(const std::wstring& name)
    {
        const std::wstring target = mDirectory.file(name);
        EXPECT_TRUE(CopyFileW(testChild::path().c_str(), target.c_str(), FALSE)) << GetLastError();
        return toUtf8(target);
    }

    testChild::TempDirectory mDirectory;
};

TEST_F(ProcessTest, ReportsTheChildsExitCodeOnceReaped)
{
    const struct {
        std::vector<std::string> verb;
        DWORD exitCode;
    } cases[] = {
        {{"exit", "0"}, 0},
        {{"exit", "42"}, 42},
        {{"exit", "0xFFFFFFFE"}, 0xFFFFFFFE},
        {{"crash"}, 0xC0000005},
    };
    for (const auto& c : cases) {
        Process process;
        std::vector<std::string> arguments{testChild::pathUtf8()};
        arguments.insert(arguments.end(), c.verb.begin(), c.verb.end());
        ASSERT_TRUE(process.launch(arguments, {})) << GetLastError();
        ASSERT_TRUE(endsWithin(process)) << c.verb[0];
        EXPECT_EQ(c.exitCode, process.exitCode()) << c.verb[0];
        // Reaped: the handles are gone and a second poll changes nothing.
        EXPECT_EQ(nullptr, process.processHandle());
        EXPECT_FALSE(process.isRunning());
        EXPECT_EQ(c.exitCode, process.exitCode());
    }
}

TEST_F(ProcessTest, FindsTheExecutableByItsExtension)
{
    const struct {
        std::vector<std::string> list;
        DWORD exitCode;
    } cases[] = {
        {{withoutExeExtension(testChild::pathUtf8()), "exit", "11"}, 11},       // ".exe" appended
        {{copyOfChild(L"SERVER.EXE"), "exit", "12"}, 12},                       // launched as it is,
        {{copyOfChild(L"Tool.Exe"), "exit", "13"}, 13},                         // whatever the case
        {{withoutExeExtension(copyOfChild(L"run.cmd.exe")), "exit", "14"}, 14}, // run.cmd -> run.cmd.exe
        {{testChild::pathUtf8()}, 100}, // a one-element list: no arguments, test_child's missing verb
    };
    for (const auto& c : cases) {
        Process process;
        ASSERT_TRUE(process.launch(c.list, {})) << c.list[0] << ": " << GetLastError();
        ASSERT_TRUE(endsWithin(process)) << c.list[0];
        EXPECT_EQ(c.exitCode, process.exitCode()) << c.list[0];
    }
}

TEST_F(ProcessTest, FailedCreationLeavesTheProcessNotStarted)
{
    Process process;
    EXPECT_FALSE(process.launch({mDirectory.fileUtf8(L"missing.exe"), "exit", "0"}, {}));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    EXPECT_EQ(nullptr, process.processHandle());
    EXPECT_FALSE(process.isRunning());
    EXPECT_FALSE(process.terminate());
    process.terminateAndWait();
    EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());

    EXPECT_FALSE(process.launch({mDirectory.fileUtf8(L"missing.bat"), "x"}, {}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(process.launch({}, {}));
    EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
}

// Windows refuses a command line past 32,767 characters (the NUL included);
// Wine launched it cut short, so the child ran with arguments nobody gave it.
// The longest line allowed still arrives whole.
TEST_F(ProcessTest, CommandLineLongerThanTheSystemAllowsIsRefused)
{
    const std::string output = mDirectory.fileUtf8(L"argv.txt");
    std::vector<std::string> arguments{testChild::pathUtf8(), "echo-args", output, ""};
    // The last argument adds its quotes to the separator already there.
    const std::size_t used = buildCommandLine(std::string_view(), arguments).size() + 2;
    arguments.back() = std::string(32766 - used, 'x');
    ASSERT_EQ(32766u, buildCommandLine(std::string_view(), arguments).size());
    {
        Process process;
        ASSERT_TRUE(process.launch(arguments, {})) << GetLastError();
        ASSERT_TRUE(endsWithin(process));
        const auto seen = testChild::readEchoedArguments(mDirectory.file(L"argv.txt"));
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(arguments, *seen);
    }
    ASSERT_TRUE(DeleteFileW(mDirectory.file(L"argv.txt").c_str()));

    arguments.back().push_back('x');
    Process process;
    EXPECT_FALSE(process.launch(arguments, {}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
    EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
    EXPECT_EQ(nullptr, process.processHandle());
    Sleep(200);
    EXPECT_FALSE(exists(mDirectory.file(L"argv.txt"))) << "a child ran";
}

TEST_F(ProcessTest, RefusesASecondChildWhileHoldingOne)
{
    Process process;
    ASSERT_TRUE(process.launch({testChild::pathUtf8(), "sleep", "30000"}, {}));
    HANDLE first = process.processHandle();
    EXPECT_FALSE(process.launch({testChild::pathUtf8(), "exit", "0"}, {}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    EXPECT_EQ(first, process.processHandle());
    EXPECT_TRUE(process.isRunning());
}

TEST_F(ProcessTest, BatchFileRunsThroughTheCommandInterpreter)
{
    // %1 keeps its quotes, so the '&' and '>' inside an argument stay text.
    const std::wstring batch = mDirectory.file(L"JOB.Bat");
    ASSERT_TRUE(testChild::writeFile(batch, "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\nexit /b 7\r\n"));
    const std::string owned = mDirectory.fileUtf8(L"owned.txt");
    Process process;
    ASSERT_TRUE(process.launch({toUtf8(batch), "a b&echo owned>" + owned}, {})) << GetLastError();
    ASSERT_TRUE(endsWithin(process));
    EXPECT_EQ(7u, process.exitCode());
    EXPECT_EQ("\"a b&echo owned>" + owned + "\"\r\n", testChild::readFile(mDirectory.file(L"seen.txt")));
    EXPECT_FALSE(exists(toWide(owned)));

    // Alone in the list, the batch file still runs (with no arguments).
    DeleteFileW(mDirectory.file(L"seen.txt").c_str());
    Process alone;
    ASSERT_TRUE(alone.launch({toUtf8(batch)}, {})) << GetLastError();
    ASSERT_TRUE(endsWithin(alone));
    EXPECT_EQ(7u, alone.exitCode());
    EXPECT_TRUE(exists(mDirectory.file(L"seen.txt")));
}

TEST_F(ProcessTest, BatchFileRefusesArgumentsTheInterpreterWouldRun)
{
    ASSERT_TRUE(testChild::writeFile(mDirectory.file(L"job.bat"), "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\n"));
    const std::string owned = mDirectory.fileUtf8(L"owned.txt");
    const std::string refused[] = {
        "x\"&echo owned>" + owned + "&rem", // a quote ends cmd.exe's quoting
        "%PATH%",                           // expanded even inside quotes
        "a\r\necho owned>" + owned,         // a line break ends the command
        "a\necho owned>" + owned,
    };
    for (const std::string& argument : refused) {
        Process process;
        SetLastError(0);
        EXPECT_FALSE(process.launch({mDirectory.fileUtf8(L"job.bat"), "fine", argument}, {}));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(nullptr, process.processHandle());
        EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
    }
    EXPECT_FALSE(exists(mDirectory.file(L"seen.txt"))) << "a batch child was started";
    EXPECT_FALSE(exists(toWide(owned)));
}

TEST_F(ProcessTest, TerminateEndsTheChildWith255)
{
    Process process;
    ASSERT_TRUE(process.launch({testChild::pathUtf8(), "sleep", "30000"}, {}));
    EXPECT_TRUE(process.isRunning());
    EXPECT_EQ(Process::ExitCodeRunning, process.exitCode());
    EXPECT_TRUE(process.terminate());
    ASSERT_TRUE(endsWithin(process));
    EXPECT_EQ(255u, process.exitCode());
    EXPECT_FALSE(process.terminate()) << "no child is held any more";

    Process waited;
    ASSERT_TRUE(waited.launch({testChild::pathUtf8(), "sleep", "30000"}, {}));
    waited.terminateAndWait();
    EXPECT_EQ(255u, waited.exitCode());
    EXPECT_EQ(nullptr, waited.processHandle());

    // The destructor ends a child that is still running.
    ScopedHandle child;
    {
        Process held;
        ASSERT_TRUE(held.launch({testChild::pathUtf8(), "sleep", "30000"}, {}));
        child = observe(held);
        ASSERT_TRUE(child);
    }
    const bool ended = WaitForSingleObject(child.get(), 0) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(child.get(), 1);
    ASSERT_TRUE(ended) << "the child outlived its Process";
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.get(), &exitCode));
    EXPECT_EQ(255u, exitCode);
}

TEST_F(ProcessTest, FailedPollIsReportedAndTheChildIsLetGo)
{
    Process process;
    std::vector<std::string> reports;
    process.setErrorSink(
        [](void* context, const char* text) { static_cast<std::vector<std::string>*>(context)->push_back(text); },
        &reports);
    ASSERT_TRUE(process.launch({testChild::pathUtf8(), "sleep", "30000"}, {}));
    ScopedHandle child = observe(process);
    ASSERT_TRUE(child);
    // Closing the handle behind the Process's back makes its next poll fail.
    CloseHandle(process.processHandle());

    EXPECT_FALSE(process.isRunning());
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].rfind("ERROR: Failed to query child process: (Error code 0x", 0)) << reports[0];
    EXPECT_EQ(nullptr, process.processHandle());
    EXPECT_EQ(Process::ExitCodeUnavailable, process.exitCode());
    TerminateProcess(child.get(), 1);
    WaitForSingleObject(child.get(), WaitLimitMs);
}

// Handle values above the few a fresh child opens for itself, so that a value
// the child finds open can only be the inherited handle.
class InheritanceTest : public ProcessTest {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 256; ++i)
            mPadding.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    static ScopedHandle event(bool inheritable)
    {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, inheritable ? TRUE : FALSE};
        return ScopedHandle(CreateEventW(&attributes, TRUE, FALSE, nullptr));
    }

    // The number of the values that test_child does not find open.
    static DWORD missingInChild(const std::vector<std::uint64_t>& values, const HandleSet& inherited)
    {
        std::vector<std::string> arguments{testChild::pathUtf8(), "check-handles"};
        for (const std::uint64_t handle : values)
            arguments.push_back(value(handle));
        Process process;
        if (!process.launch(arguments, inherited) || !endsWithin(process))
            return 1000;
        return process.exitCode();
    }

    std::vector<ScopedHandle> mPadding;
};

TEST_F(InheritanceTest, ChildGetsExactlyTheHandlesOfTheSet)
{
    ScopedHandle given = event(false);
    ScopedHandle withheld = event(false);
    ScopedHandle alsoGiven = event(false);
    ScopedHandle inheritable = event(true);
    ASSERT_TRUE(given && withheld && alsoGiven && inheritable);
    const HandleSet set{value(given.get()), value(alsoGiven.get())};
    EXPECT_EQ(0u, missingInChild({value(given.get()), value(alsoGiven.get())}, set));
    EXPECT_EQ(1u, missingInChild({value(withheld.get())}, set));
    EXPECT_EQ(1u, missingInChild({value(inheritable.get())}, {})) << "an empty set inherits nothing";
}

TEST_F(InheritanceTest, HandleOutsideTheSetIsNotInherited)
{
    if (testChild::runningUnderWine())
        GTEST_SKIP() << "Wine accepts PROC_THREAD_ATTRIBUTE_HANDLE_LIST but does not enforce it";
    ScopedHandle given = event(false);
    ScopedHandle inheritable = event(true);
    ASSERT_TRUE(given && inheritable);
    EXPECT_EQ(1u, missingInChild({value(inheritable.get())}, {value(given.get())}));
}

TEST_F(InheritanceTest, InvalidHandleFailsBeforeAnyProcessExists)
{
    const std::string output = mDirectory.fileUtf8(L"argv.txt");
    Process process;
    EXPECT_FALSE(process.launch({testChild::pathUtf8(), "echo-args", output}, {0x7FFFFFF0}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, process.processHandle());
    EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
    Sleep(200);
    EXPECT_FALSE(exists(toWide(output)));
}

TEST_F(InheritanceTest, InheritedSocketWorksInTheChild)
{
    WSADATA data{};
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, listener);
    SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
    const sockaddr_in address = testSockets::loopback(0);
    const bool listening =
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0;

    const std::string output = mDirectory.fileUtf8(L"sockets.txt");
    Process process;
    const bool launched = listening
        && process.launch({testChild::pathUtf8(), "sockets", output, value(listener), "--max-file-write-cache-size"},
                          {listener});
    const bool ended = launched && endsWithin(process);
    const std::string name = testSockets::name(listener);
    closesocket(listener);
    WSACleanup();
    ASSERT_TRUE(ended);
    EXPECT_EQ(0u, process.exitCode());
    EXPECT_EQ(value(listener) + " socket " + name + "\n", testChild::readFile(mDirectory.file(L"sockets.txt")));
}

} // namespace
