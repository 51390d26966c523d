// The support library: text conversion, the diagnostics channel, and Process with real children.
#include "CommandLine.h"
#include "Debug.h"
#include "test_child.h"
#include <gtest/gtest.h>
#include <winternl.h>

TEST(TextConversion, RoundTripsAndRefusesMalformedInputWhole)
{
    const std::wstring text{L"a\0b\xD83D\xDE00z\x00E9", 7};
    const std::string utf8("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10);
    EXPECT_EQ(std::make_pair(utf8, text), std::make_pair(toUtf8(text), toWide(utf8)));
    EXPECT_EQ(std::make_pair(std::string(), std::wstring()),
              std::make_pair(toUtf8(L"a\xD83Dz"), toWide("ok \xE2\x82 ok")));
}

// The callback hears a report first, then the stream and the report's own extra stream; a fatal one (an error too
// when so configured) then adds the notice and aborts, which ends the program with 3.
TEST(Debug, ReportsAreFormattedCutAndFatalOnesAbortAfterTheNotice)
{
    const std::wstring log = std::filesystem::temp_directory_path() / L"quorvanta-debug.log"; // a death test's too
    const auto useLog = [&](bool abortOnError) {
        std::FILE* file = _wfopen(log.c_str(), L"wb");
        Debug::setConfig({abortOnError,
                          [](void* to, DebugMessageType type, const char* text) {
                              std::fprintf(static_cast<std::FILE*>(to), "callback %d: %s", type, text);
                          },
                          file, file});
        return file;
    };
    const std::string cut(8190, 'b'), condition(5000, 'c'), message(8191, 'm');
    const std::tuple<DebugMessageType, const char*, const char*, std::string, std::string> rows[]
        = {// kind, file, condition
           {Debug::Info, "a/b.cpp", nullptr, "hi", "hi\n"},
           {Debug::Warning, "a/b.cpp", nullptr, "hi\n", "hi\n"},
           {0, "a", nullptr, "x", ""},
           {Debug::Error, "C:\\src/x\\n.cpp", nullptr, "%d", "(x\\n.cpp, line 7): %d\n"},
           {Debug::Info, "d/n.cpp", "a == b", "why", "ASSERTION FAILED (n.cpp, line 7): a == b. why\n"},
           {Debug::Info, "a", nullptr, std::string(9000, 'a'), std::string(8191, 'a') + "\n"},
           {Debug::Info, "a", nullptr, cut + "\nzz", cut + "\n"},
           {Debug::Error, "x.cpp", condition.c_str(), message,
            ("ASSERTION FAILED (x.cpp, line 7): " + condition + ". " + message).substr(0, 10239)}};
    for (const auto& [type, file, condition, message, report] : rows) {
        std::FILE* stream = useLog(false);
        EXPECT_FALSE(Debug::report(type, file, 7, stream, condition, "%s", message.c_str()));
        std::fclose(stream);
        EXPECT_EQ("callback " + std::to_string(type) + ": " + report + report + report,
                  testChild::readFile(log).value_or(""));
    }
    const std::string notice = "Debug: Aborting due to error\n", fatal = "(b.cpp, line 7): boom\n";
    for (const DebugMessageType type : {Debug::Fatal, Debug::Error}) {
        EXPECT_EXIT(Debug::report(type, "a/b.cpp", 7, useLog(type == Debug::Error), nullptr, "boom"),
                    testing::ExitedWithCode(3), "");
        const std::string to = "callback " + std::to_string(type) + ": ";
        EXPECT_EQ(to + fatal + fatal + fatal + to + notice + notice, testChild::readFile(log).value_or(""));
    }
    const std::string assertion
        = "ASSERTION FAILED (process_test.cpp, line " + std::to_string(__LINE__ + 1) + "): log.empty(). \n";
    EXPECT_EXIT(useLog(false); debugAssert(log.empty()), testing::ExitedWithCode(3), "");
    EXPECT_EQ("callback 64: " + assertion + assertion + "callback 64: " + notice + notice,
              testChild::readFile(log).value_or(""));
    Debug::setConfig({}), std::filesystem::remove(log);
}

class ProcessTest : public testing::Test {
protected:
    testChild::TempDirectory dir;
    const std::string child = testChild::pathUtf8();
};

TEST_F(ProcessTest, LaunchesReportExitCodesOrRefuseAndSayWhy)
{
    for (const wchar_t* name : {L"SERVER.EXE", L"run.cmd.exe"})
        ASSERT_TRUE(CopyFileW(testChild::path().c_str(), dir.file(name).c_str(), FALSE));
    std::vector<std::string> longest{child, "echo-args", dir.fileUtf8(L"argv.txt"), ""}, tooLong = longest;
    longest.back().assign(32766 - buildCommandLine(std::string_view(), longest).size() - 2, 'x');
    tooLong.back() = longest.back() + "x"; // Wine would hand the child a cut copy
    const std::tuple<std::vector<std::string>, HandleSet, bool, DWORD> rows[]
        = {// exit code, or the error of a refusal
           {{child.substr(0, child.size() - 4), "exit", "11"}, {}, true, 11}, // ".exe" appended
           {{dir.fileUtf8(L"SERVER.EXE"), "exit", "12"}, {}, true, 12}, // launched as it is
           {{dir.fileUtf8(L"run.cmd"), "exit", "13"}, {}, true, 13}, // run.cmd.exe
           {{child}, {}, true, 100},
           {longest, {}, true, 0}, // no arguments; the longest line allowed
           {{dir.fileUtf8(L"missing.exe")}, {}, false, ERROR_FILE_NOT_FOUND},
           {{dir.fileUtf8(L"missing.bat"), "x"}, {}, false, ERROR_FILE_NOT_FOUND},
           {tooLong, {}, false, ERROR_FILENAME_EXCED_RANGE},
           {{child, "exit", "0"}, {0x7FFFFFF0}, false, ERROR_INVALID_HANDLE}};
    for (const auto& [list, handles, starts, code] : rows) {
        Process process;
        EXPECT_EQ(starts, process.launch(list, handles)) << testing::PrintToString(list).substr(0, 200);
        const DWORD error = GetLastError();
        EXPECT_EQ(starts ? Process::ExitCodeRunning : Process::ExitCodeNotStarted, process.exitCode());
        EXPECT_EQ(starts, testChild::ends(process));
        EXPECT_EQ(std::make_pair(code, HANDLE{}),
                  std::make_pair(starts ? process.exitCode() : error, process.processHandle()));
    }
    EXPECT_EQ(longest, testChild::echoed(dir.file(L"argv.txt")));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr; // of the child's handle with the event's value, if it has one: set, it is the event
    Process process;
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    EXPECT_FALSE(
        DuplicateHandle(process.processHandle(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)
        && SetEvent(copy) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0)
        << "an empty set inherits nothing";
    EXPECT_FALSE(process.launch({child, "exit", "0"}, {})) << "a second child would leave the first unowned";
    EXPECT_EQ(DWORD{ERROR_BUSY}, GetLastError());
    EXPECT_TRUE(process.isRunning());

    // Without its handle list the child would inherit every inheritable handle of the host.
    const ProcessApi real = processApi;
    processApi.updateAttribute = [](LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID,
                                    PSIZE_T) -> BOOL { return SetLastError(ERROR_NOT_SUPPORTED), FALSE; };
    Process unrestricted;
    EXPECT_FALSE(
        unrestricted.launch({child, "exit", "0"}, {reinterpret_cast<std::uintptr_t>(process.processHandle())}));
    EXPECT_EQ(DWORD{ERROR_NOT_SUPPORTED}, GetLastError());
    processApi = real;
    EXPECT_EQ(nullptr, unrestricted.processHandle());
}

TEST_F(ProcessTest, BatchFileRunsThroughAnInterpreterThatRunsNothingElse)
{
    // %1 keeps its quotes, so '&' and '>' inside an argument stay text.
    const std::string batch = dir.fileUtf8(L"JOB.Bat"), owned = dir.fileUtf8(L"owned.txt");
    ASSERT_TRUE(testChild::writeFile(
        toWide(batch), "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\n\"" + child + "\" sleep 500\r\nexit /b 7\r\n"));
    Process process;
    ASSERT_TRUE(process.launch({batch, "a b&echo owned>" + owned}, {})) << GetLastError();
    // No AutoRun command, no delayed expansion from the registry: Wine's cmd knows neither, so the
    // interpreter's own command line, as the system holds it, is what shows it.
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    std::wstring line(200, L'\0');
    for (int i = 0; i < 300
         && !(testChild::readFile(dir.file(L"seen.txt")) // running the batch, not starting up
              && NtQueryInformationProcess(process.processHandle(), ProcessBasicInformation, &basic, sizeof basic,
                                           nullptr)
                  == 0
              && ReadProcessMemory(process.processHandle(), basic.PebBaseAddress, &peb, sizeof peb, nullptr)
              && peb.ProcessParameters
              && ReadProcessMemory(process.processHandle(), peb.ProcessParameters, &parameters, sizeof parameters,
                                   nullptr)
              && ReadProcessMemory(process.processHandle(), parameters.CommandLine.Buffer, line.data(), 400, nullptr));
         ++i)
        Sleep(10);
    EXPECT_EQ(0u, line.rfind(L"cmd.exe /d /e:ON /v:OFF /c \"", 0)) << testing::PrintToString(line.c_str());
    ASSERT_TRUE(testChild::ends(process));
    EXPECT_EQ(7u, process.exitCode());
    EXPECT_EQ("\"a b&echo owned>" + owned + "\"\r\n", testChild::readFile(dir.file(L"seen.txt")));
    ASSERT_TRUE(process.launch({batch}, {}) && testChild::ends(process)) << "alone in the list";
    EXPECT_EQ(7u, process.exitCode());

    // Quotes, % (expanded even inside quotes) and line breaks: refused in arguments and the file's own path.
    ASSERT_TRUE(CopyFileW(toWide(batch).c_str(), dir.file(L"100%.bat").c_str(), FALSE));
    for (const std::vector<std::string>& list : {std::vector<std::string>{batch, "x\"&echo owned>" + owned + "&rem"},
                                                 {batch, "fine", "%PATH%"},
                                                 {batch, "a\r\necho owned>" + owned},
                                                 {batch, "a\necho owned>" + owned},
                                                 {dir.fileUtf8(L"100%.bat"), "fine"}}) {
        EXPECT_FALSE(process.launch(list, {})) << list.back();
        EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
    }
    EXPECT_FALSE(testChild::readFile(toWide(owned)));
}

// The destructor ends a child that still runs (as terminate does, with 255); a failed poll is
// reported with the system's error, not errno's, and lets the child go.
TEST_F(ProcessTest, NoChildOutlivesItsProcessAndAFailedPollLetsTheChildGo)
{
    HANDLE observer = nullptr;
    std::string report;
    {
        Process held, lost;
        ASSERT_TRUE(held.launch({child, "sleep", "30000"}, {}) && lost.launch({child, "exit", "0"}, {}));
        DuplicateHandle(GetCurrentProcess(), held.processHandle(), GetCurrentProcess(), &observer, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        lost.setErrorSink([](void* to, const char* text) { *static_cast<std::string*>(to) += text; }, &report);
        CloseHandle(lost.processHandle()); // behind its back: the next poll fails with ERROR_INVALID_HANDLE
        errno = ENOENT;
        EXPECT_FALSE(lost.isRunning());
        EXPECT_EQ(std::make_pair(Process::ExitCodeUnavailable, HANDLE{}),
                  std::make_pair(lost.exitCode(), lost.processHandle()));
    }
    EXPECT_EQ(0u, report.rfind("ERROR: Failed to query child process: (Error code 0x6) ", 0)) << report;
    DWORD exitCode = 0;
    EXPECT_TRUE(WaitForSingleObject(observer, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(observer, &exitCode)
                && exitCode == 255)
        << exitCode;
    CloseHandle(observer);
}
