// The support library: text conversion, the Debug channel (its fatal road
// watched from outside, in test_child) and Process with real children.
#include "CommandLine.h"
#include "Debug.h"
#include "test_child.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using testChild::ends;
using testChild::run;

TEST(TextConversion, RoundTripsAndRefusesMalformedInputWhole)
{
    const std::wstring text{L"a\0b\xD83D\xDE00z\x00E9", 7};
    EXPECT_EQ(std::string("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10), toUtf8(text));
    EXPECT_EQ(text, toWide(toUtf8(text)));
    for (const std::wstring& bad : {std::wstring(L"\xD83D"), std::wstring(L"ab\xDE00"), std::wstring(L"a\xD83Dz"),
                                    std::wstring(L"\xDE00\xD83D ok")})
        EXPECT_EQ("", toUtf8(bad)) << testing::PrintToString(bad);
    for (const char* bad : {"\xFF", "valid \x80", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok \xE2\x82 ok"})
        EXPECT_EQ(L"", toWide(bad)) << testing::PrintToString(bad);
}

// The channel pointed at a callback and two files; each callback notes what
// the files held at that moment.
struct Channel {
    testChild::TempDirectory folder;
    std::FILE* stream = _wfopen(folder.file(L"stream").c_str(), L"wb");
    std::FILE* extra = _wfopen(folder.file(L"extra").c_str(), L"wb");
    std::vector<std::string> texts, filesBefore;

    Channel() { Debug::setConfig(DebugConfig{false, record, this, stream}); }
    ~Channel()
    {
        Debug::setConfig(DebugConfig{});
        std::fclose(stream);
        std::fclose(extra);
    }
    std::string files() const
    {
        return testChild::readFile(folder.file(L"stream")).value_or("?") + "|" + testChild::readFile(folder.file(L"extra")).value_or("?");
    }
    static void record(void* context, DebugMessageType type, const char* text)
    {
        auto* self = static_cast<Channel*>(context);
        self->texts.push_back(std::to_string(type) + ":" + text);
        self->filesBefore.push_back(self->files());
    }
};

TEST(Debug, EachKindOfReportReachesTheCallbackFirstThenBothStreams)
{
    const struct {
        DebugMessageType type;
        const char* file;
        const char* condition;
        const char* message; // nullptr: no format at all
        std::string text;
    } rows[] = {
        {Debug::Trace, "a/b.cpp", nullptr, "hello", "hello\n"},
        {Debug::Info, "a/b.cpp", nullptr, "ends in newline\n", "ends in newline\n"},
        {Debug::Notice, "a/b.cpp", nullptr, nullptr, "\n"},
        {Debug::Warning, "a/b.cpp", nullptr, "", "\n"},
        {Debug::Verbose, "a/b.cpp", nullptr, "v", "v\n"},
        {Debug::Error, "dir/sub/name.cpp", nullptr, "bad %d", "(name.cpp, line 7): bad %d\n"},
        {Debug::Error, "C:\\src/x\\name.cpp", nullptr, "bad\n", "(x\\name.cpp, line 7): bad\n"},
        {Debug::Info, "dir/name.cpp", "a == b", "why", "ASSERTION FAILED (name.cpp, line 7): a == b. why\n"},
        {Debug::Error, "name.cpp", "p", nullptr, "ASSERTION FAILED (name.cpp, line 7): p. \n"},
        {0, "a.cpp", nullptr, "lost", ""}, // unknown kinds are delivered with an empty text
        {3, "a.cpp", nullptr, "lost", ""},
        {128, "a.cpp", nullptr, "lost", ""},
    };
    for (const auto& row : rows) {
        Channel channel;
        ASSERT_TRUE(channel.stream && channel.extra);
        EXPECT_FALSE(row.message ? Debug::report(row.type, row.file, 7, channel.extra, row.condition, "%s", row.message)
                                 : Debug::report(row.type, row.file, 7, channel.extra, row.condition, nullptr));
        EXPECT_EQ(std::vector<std::string>{std::to_string(row.type) + ":" + row.text}, channel.texts);
        EXPECT_EQ(std::vector<std::string>{"|"}, channel.filesBefore);
        EXPECT_EQ(row.text + "|" + row.text, channel.files()) << "written and flushed";
    }
}

TEST(Debug, LongTextsAreCutAndEndInOneLineBreak)
{
    Channel channel;
    const std::string message(9000, 'm'), condition(5000, 'c'), newlineAtCut = std::string(8190, 'b') + "\nzz";
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", message.c_str());
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", newlineAtCut.c_str());
    Debug::report(Debug::Error, "x.cpp", 1, nullptr, condition.c_str(), "%s", message.c_str());
    const std::string assertion = "32:ASSERTION FAILED (x.cpp, line 1): " + condition + ". " + message.substr(0, 8191);
    EXPECT_EQ((std::vector<std::string>{"2:" + message.substr(0, 8191) + "\n", "2:" + newlineAtCut.substr(0, 8191),
                                        assertion.substr(0, 10239 + 3)}),
              channel.texts);

    errno = ENOENT;
    EXPECT_EQ(std::string("(Error code 0x2) ") + std::strerror(ENOENT), systemErrorText());
}

TEST(Debug, FatalReportsAbortWithExitCode3AfterTheNotice)
{
    // test_child writes callback and stream to one file, which is the extra stream too.
    const auto channel = [](int type, const std::string& text, int copies) {
        std::string out = "callback " + std::to_string(type) + ": " + text;
        for (int i = 0; i < copies; ++i)
            out += text;
        return out;
    };
    const std::string report = "(raise.cpp, line 42): boom 7\n", notice = "Debug: Aborting due to error\n";
    const struct {
        const char* kind;
        DWORD exitCode;
        std::string text;
    } rows[] = {
        {"fatal", 3, channel(64, report, 2) + channel(64, notice, 1)},
        {"error-abort", 3, channel(32, report, 2) + channel(32, notice, 1)},
        {"error", 0, channel(32, report, 2)},
    };
    for (const auto& row : rows) {
        testChild::TempDirectory folder;
        EXPECT_EQ(row.exitCode, run({"debug", row.kind, folder.fileUtf8(L"log")})) << row.kind;
        EXPECT_EQ(row.text, testChild::readFile(folder.file(L"log"))) << row.kind;
    }
    testChild::TempDirectory folder;
    EXPECT_EQ(3u, run({"debug", "assert", folder.fileUtf8(L"log")}));
    const std::string log = testChild::readFile(folder.file(L"log")).value_or("");
    const std::string line = log.substr(5, log.find('\n') - 5); // the child names the assertion's line first
    const std::string assertion = "ASSERTION FAILED (test_child.cpp, line " + line + "): nullptr != held. \n";
    EXPECT_EQ("line " + line + "\n" + channel(64, assertion, 1) + channel(64, notice, 1), log);
}

class ProcessTest : public testing::Test {
protected:
    std::string copyOfChild(const wchar_t* name)
    {
        EXPECT_TRUE(CopyFileW(testChild::path().c_str(), dir.file(name).c_str(), FALSE)) << GetLastError();
        return dir.fileUtf8(name);
    }
    static ScopedHandle duplicate(HANDLE process)
    {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        return ScopedHandle(copy);
    }
    // The command line a running process was given, read from its memory.
    static std::wstring commandLineOf(HANDLE process)
    {
        PROCESS_BASIC_INFORMATION basic{};
        PEB peb{};
        RTL_USER_PROCESS_PARAMETERS parameters{};
        if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0
            || !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr)
            || !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr))
            return {};
        std::wstring line(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
        ReadProcessMemory(process, parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length, nullptr);
        return line;
    }

    testChild::TempDirectory dir;
    const std::string child = testChild::pathUtf8();
};

TEST_F(ProcessTest, ReportsExitCodesAndFindsTheExecutableWhateverTheCase)
{
    const struct {
        std::vector<std::string> list;
        DWORD exitCode;
    } rows[] = {
        {{child, "exit", "42"}, 42},
        {{child, "exit", "0xFFFFFFFE"}, 0xFFFFFFFE},
        {{child, "crash"}, 0xC0000005},
        {{child.substr(0, child.size() - 4), "exit", "11"}, 11}, // ".exe" appended
        {{copyOfChild(L"SERVER.EXE"), "exit", "12"}, 12},         // launched as it is
        {{copyOfChild(L"run.cmd.exe").substr(0, dir.fileUtf8(L"run.cmd").size()), "exit", "13"}, 13},
        {{child}, 100}, // no arguments at all
    };
    for (const auto& row : rows) {
        Process process;
        ASSERT_TRUE(process.launch(row.list, {})) << row.list[0] << ": " << GetLastError();
        EXPECT_EQ(Process::ExitCodeRunning, process.exitCode());
        ASSERT_TRUE(ends(process)) << row.list[0];
        EXPECT_EQ(row.exitCode, process.exitCode()) << row.list[0];
        EXPECT_EQ(nullptr, process.processHandle()) << "reaped";
    }
}

TEST_F(ProcessTest, RefusedLaunchesLeaveNoChildAndSayWhy)
{
    const std::string echo = dir.fileUtf8(L"argv.txt");
    std::vector<std::string> longest{child, "echo-args", echo, ""};
    longest.back().assign(32766 - buildCommandLine(std::string_view(), longest).size() - 2, 'x');
    std::vector<std::string> tooLong = longest;
    tooLong.back() += 'x';
    const struct {
        std::vector<std::string> list;
        HandleSet handles;
        DWORD error;
    } rows[] = {
        {{dir.fileUtf8(L"missing.exe")}, {}, ERROR_FILE_NOT_FOUND},
        {{dir.fileUtf8(L"missing.bat"), "x"}, {}, ERROR_FILE_NOT_FOUND},
        {tooLong, {}, ERROR_FILENAME_EXCED_RANGE}, // Wine would hand the child a cut copy
        {{child, "exit", "0"}, {0x7FFFFFF0}, ERROR_INVALID_HANDLE},
    };
    for (const auto& row : rows) {
        Process process;
        EXPECT_FALSE(process.launch(row.list, row.handles));
        EXPECT_EQ(row.error, GetLastError()) << row.list[0];
        EXPECT_EQ(Process::ExitCodeNotStarted, process.exitCode());
        EXPECT_EQ(nullptr, process.processHandle());
    }
    EXPECT_FALSE(Process().launch({}, {}));

    Process process;
    ASSERT_TRUE(process.launch(longest, {}) && ends(process)) << "the longest line allowed";
    EXPECT_EQ(longest, testChild::echoed(toWide(echo)));
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    EXPECT_FALSE(process.launch({child, "exit", "0"}, {}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    EXPECT_TRUE(process.isRunning());
}

TEST_F(ProcessTest, BatchFileRunsThroughAnInterpreterThatRunsNothingElse)
{
    // %1 keeps its quotes, so '&' and '>' inside an argument stay text.
    const std::wstring batch = dir.file(L"JOB.Bat");
    ASSERT_TRUE(testChild::writeFile(batch, "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\nexit /b 7\r\n"));
    const std::string owned = dir.fileUtf8(L"owned.txt");
    Process process;
    ASSERT_TRUE(process.launch({toUtf8(batch), "a b&echo owned>" + owned}, {}) && ends(process)) << GetLastError();
    EXPECT_EQ(7u, process.exitCode());
    EXPECT_EQ("\"a b&echo owned>" + owned + "\"\r\n", testChild::readFile(dir.file(L"seen.txt")));
    ASSERT_TRUE(process.launch({toUtf8(batch)}, {}) && ends(process)) << "alone in the list";
    EXPECT_EQ(7u, process.exitCode());

    // Quotes, % (expanded even inside quotes) and line breaks: refused, in
    // the arguments and in the file's own path.
    ASSERT_TRUE(CopyFileW(batch.c_str(), dir.file(L"100%.bat").c_str(), FALSE));
    const std::vector<std::string> refused[] = {
        {toUtf8(batch), "x\"&echo owned>" + owned + "&rem"}, {toUtf8(batch), "fine", "%PATH%"},
        {toUtf8(batch), "a\r\necho owned>" + owned},         {toUtf8(batch), "a\necho owned>" + owned},
        {dir.fileUtf8(L"100%.bat"), "fine"},
    };
    for (const auto& list : refused) {
        EXPECT_FALSE(process.launch(list, {})) << list.back();
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(nullptr, process.processHandle());
    }
    EXPECT_FALSE(testChild::readFile(toWide(owned)));

    // No AutoRun command, no delayed expansion from the registry. Wine's cmd
    // knows neither, so the interpreter's own line is what shows it.
    ASSERT_TRUE(testChild::writeFile(batch, "@echo off\r\necho.>\"%~dp0started\"\r\n\"" + child + "\" sleep 3000\r\n"));
    ASSERT_TRUE(process.launch({toUtf8(batch)}, {}));
    for (int i = 0; i < 1000 && !testChild::readFile(dir.file(L"started")); ++i)
        Sleep(10);
    EXPECT_EQ(0u, commandLineOf(process.processHandle()).rfind(L"cmd.exe /d /e:ON /v:OFF /c \"", 0))
        << testing::PrintToString(commandLineOf(process.processHandle()));
}

TEST_F(ProcessTest, TerminatedChildEndsWith255AndNoneOutlivesItsProcess)
{
    Process process;
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    EXPECT_TRUE(process.isRunning());
    EXPECT_TRUE(process.terminate());
    ASSERT_TRUE(ends(process));
    EXPECT_EQ(255u, process.exitCode());
    EXPECT_FALSE(process.terminate()) << "no child is held any more";
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    process.terminateAndWait();
    EXPECT_EQ(255u, process.exitCode());

    ScopedHandle observer;
    {
        Process held;
        ASSERT_TRUE(held.launch({child, "sleep", "30000"}, {}));
        observer = duplicate(held.processHandle());
    }
    DWORD exitCode = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(observer.get(), 0)) << "the child outlived its Process";
    EXPECT_TRUE(GetExitCodeProcess(observer.get(), &exitCode) && exitCode == 255) << exitCode;
    TerminateProcess(observer.get(), 1);
}

TEST_F(ProcessTest, FailedPollIsReportedWithTheSystemsErrorAndTheChildLetGo)
{
    Process process;
    std::vector<std::string> reports;
    process.setErrorSink([](void* to, const char* text) { static_cast<std::vector<std::string>*>(to)->push_back(text); },
                         &reports);
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    const ScopedHandle observer = duplicate(process.processHandle());
    CloseHandle(process.processHandle()); // behind its back: the next poll fails with ERROR_INVALID_HANDLE
    errno = ENOENT;                        // what a report read from errno would name
    EXPECT_FALSE(process.isRunning());
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].rfind("ERROR: Failed to query child process: (Error code 0x6) ", 0)) << reports[0];
    EXPECT_EQ(Process::ExitCodeUnavailable, process.exitCode());
    EXPECT_EQ(nullptr, process.processHandle());
    TerminateProcess(observer.get(), 1);
}

TEST_F(ProcessTest, ChildGetsExactlyTheHandlesOfItsSetOrIsNotStarted)
{
    // Values above the few a fresh child opens: one open there was inherited.
    std::vector<ScopedHandle> padding(256);
    for (ScopedHandle& handle : padding)
        handle.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const ScopedHandle given(CreateEventW(nullptr, TRUE, FALSE, nullptr)), alsoGiven(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        withheld(CreateEventW(nullptr, TRUE, FALSE, nullptr)), open(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    const auto value = [](const ScopedHandle& handle) { return reinterpret_cast<std::uintptr_t>(handle.get()); };
    const auto text = [&](const ScopedHandle& handle) { return std::to_string(value(handle)); };
    const HandleSet set{value(given), value(alsoGiven)};
    EXPECT_EQ(0u, run({"check-handles", text(given), text(alsoGiven), "--option"}, set));
    EXPECT_EQ(1u, run({"check-handles", text(withheld)}, set));
    EXPECT_EQ(1u, run({"check-handles", text(open)}, {})) << "an empty set inherits nothing";
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
        std::printf("not checked: Wine accepts a handle list but does not enforce it\n");
    else
        EXPECT_EQ(1u, run({"check-handles", text(open)}, set)) << "an inheritable handle outside the set";

    // Without its list the child would inherit every inheritable handle.
    const ProcessApi real = processApi;
    processApi.updateAttribute = [](LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T) -> BOOL {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    };
    Process process;
    EXPECT_FALSE(process.launch({child, "exit", "0"}, set));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    processApi = real;
    EXPECT_EQ(nullptr, process.processHandle());
}
