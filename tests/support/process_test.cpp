// The support library: text conversion, the Debug channel (its fatal road watched from outside,
// in test_child) and Process with real children.
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
    for (const wchar_t* bad : {L"\xD83D", L"ab\xDE00", L"a\xD83Dz", L"\xDE00\xD83D ok"})
        EXPECT_EQ("", toUtf8(bad)) << testing::PrintToString(bad);
    for (const char* bad : {"\xFF", "valid \x80", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok \xE2\x82 ok"})
        EXPECT_EQ(L"", toWide(bad)) << testing::PrintToString(bad);
}

// The channel pointed at a callback and two files; each callback notes what the files held then.
struct Channel {
    testChild::TempDirectory folder;
    std::FILE* stream = _wfopen(folder.file(L"stream").c_str(), L"wb");
    std::FILE* extra = _wfopen(folder.file(L"extra").c_str(), L"wb");
    std::vector<std::string> texts;
    Channel() { Debug::setConfig(DebugConfig{false, record, this, stream}); }
    ~Channel() { Debug::setConfig(DebugConfig{}), std::fclose(stream), std::fclose(extra); }
    std::string files() const
    {
        return testChild::readFile(folder.file(L"stream")).value_or("?") + "|" + testChild::readFile(folder.file(L"extra")).value_or("?");
    }
    static void record(void* self, DebugMessageType type, const char* text)
    {
        static_cast<Channel*>(self)->texts.push_back(static_cast<Channel*>(self)->files() + std::to_string(type) + ":" + text);
    }
};

TEST(Debug, EachKindOfReportReachesTheCallbackFirstThenBothStreams)
{
    const struct {
        DebugMessageType type;
        const char *file, *condition, *message; // message nullptr: no format at all
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
        EXPECT_EQ(std::vector<std::string>{std::string(1, '|') + std::to_string(row.type) + ":" + row.text}, channel.texts);
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
    const std::string cut = message.substr(0, 8191), assertion = "ASSERTION FAILED (x.cpp, line 1): " + condition + ". " + cut;
    EXPECT_EQ((std::vector<std::string>{"|2:" + cut + "\n", cut + "\n|2:" + newlineAtCut.substr(0, 8191),
                                        cut + "\n" + newlineAtCut.substr(0, 8191) + "|32:" + assertion.substr(0, 10239)}),
              channel.texts);
    errno = ENOENT;
    EXPECT_EQ(std::string("(Error code 0x2) ") + std::strerror(ENOENT), systemErrorText());
}

TEST(Debug, FatalReportsAbortWithExitCode3AfterTheNotice)
{
    // test_child's callback, stream and extra stream all write to one file.
    const auto channel = [](int type, const std::string& text, bool extra) {
        return "callback " + std::to_string(type) + ": " + text + text + (extra ? text : "");
    };
    const std::string report = "(raise.cpp, line 42): boom 7\n", notice = "Debug: Aborting due to error\n";
    const struct {
        const char* kind;
        DWORD exitCode;
        std::string text;
    } rows[] = {{"fatal", 3, channel(64, report, true) + channel(64, notice, false)},
                {"error-abort", 3, channel(32, report, true) + channel(32, notice, false)},
                {"error", 0, channel(32, report, true)}};
    for (const auto& row : rows) {
        testChild::TempDirectory folder;
        EXPECT_EQ(row.exitCode, run({"debug", row.kind, folder.fileUtf8(L"log")})) << row.kind;
        EXPECT_EQ(row.text, testChild::readFile(folder.file(L"log"))) << row.kind;
    }
    testChild::TempDirectory folder;
    EXPECT_EQ(3u, run({"debug", "assert", folder.fileUtf8(L"log")}));
    const std::string log = testChild::readFile(folder.file(L"log")).value_or(""), line = log.substr(5, log.find('\n') - 5);
    EXPECT_EQ("line " + line + "\n" + channel(64, "ASSERTION FAILED (test_child.cpp, line " + line + "): nullptr != held. \n", false)
                  + channel(64, notice, false), log);
}

class ProcessTest : public testing::Test {
protected:
    static ScopedHandle duplicate(HANDLE process)
    {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        return ScopedHandle(copy);
    }
    testChild::TempDirectory dir;
    const std::string child = testChild::pathUtf8();
};

TEST_F(ProcessTest, ReportsExitCodesAndFindsTheExecutableWhateverTheCase)
{
    for (const wchar_t* name : {L"SERVER.EXE", L"run.cmd.exe"})
        ASSERT_TRUE(CopyFileW(testChild::path().c_str(), dir.file(name).c_str(), FALSE));
    const std::pair<std::vector<std::string>, DWORD> rows[] = {
        {{child, "exit", "42"}, 42}, {{child, "exit", "0xFFFFFFFE"}, 0xFFFFFFFE}, {{child, "crash"}, 0xC0000005},
        {{child.substr(0, child.size() - 4), "exit", "11"}, 11}, // ".exe" appended
        {{dir.fileUtf8(L"SERVER.EXE"), "exit", "12"}, 12},       // launched as it is
        {{dir.fileUtf8(L"run.cmd"), "exit", "13"}, 13},          // run.cmd.exe
        {{child}, 100},                                          // no arguments at all
    };
    for (const auto& [list, exitCode] : rows) {
        Process process;
        ASSERT_TRUE(process.launch(list, {})) << list[0] << ": " << GetLastError();
        EXPECT_EQ(Process::ExitCodeRunning, process.exitCode());
        ASSERT_TRUE(ends(process)) << list[0];
        EXPECT_EQ(exitCode, process.exitCode()) << list[0];
        EXPECT_EQ(nullptr, process.processHandle()) << "reaped";
    }
}

TEST_F(ProcessTest, RefusedLaunchesLeaveNoChildAndSayWhy)
{
    std::vector<std::string> longest{child, "echo-args", dir.fileUtf8(L"argv.txt"), ""}, tooLong = longest;
    longest.back().assign(32766 - buildCommandLine(std::string_view(), longest).size() - 2, 'x');
    tooLong.back() = longest.back() + "x"; // Wine would hand the child a cut copy
    const std::tuple<std::vector<std::string>, HandleSet, DWORD> rows[] = {
        {{dir.fileUtf8(L"missing.exe")}, {}, ERROR_FILE_NOT_FOUND}, {{dir.fileUtf8(L"missing.bat"), "x"}, {}, ERROR_FILE_NOT_FOUND},
        {tooLong, {}, ERROR_FILENAME_EXCED_RANGE}, {{child, "exit", "0"}, {0x7FFFFFF0}, ERROR_INVALID_HANDLE}};
    for (const auto& [list, handles, error] : rows) {
        Process process;
        EXPECT_FALSE(process.launch(list, handles));
        EXPECT_EQ(error, GetLastError()) << list[0];
        EXPECT_EQ(std::make_pair(Process::ExitCodeNotStarted, HANDLE{}), std::make_pair(process.exitCode(), process.processHandle()));
    }
    Process process;
    EXPECT_FALSE(process.launch({}, {}));
    ASSERT_TRUE(process.launch(longest, {}) && ends(process)) << "the longest line allowed";
    EXPECT_EQ(longest, testChild::echoed(dir.file(L"argv.txt")));
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    EXPECT_FALSE(process.launch({child, "exit", "0"}, {}));
    EXPECT_EQ(DWORD{ERROR_BUSY}, GetLastError());
    EXPECT_TRUE(process.isRunning());
}

TEST_F(ProcessTest, BatchFileRunsThroughAnInterpreterThatRunsNothingElse)
{
    // %1 keeps its quotes, so '&' and '>' inside an argument stay text.
    const std::string batch = dir.fileUtf8(L"JOB.Bat"), owned = dir.fileUtf8(L"owned.txt");
    ASSERT_TRUE(testChild::writeFile(toWide(batch), "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\nexit /b 7\r\n"));
    Process process;
    ASSERT_TRUE(process.launch({batch, "a b&echo owned>" + owned}, {}) && ends(process)) << GetLastError();
    EXPECT_EQ(7u, process.exitCode());
    EXPECT_EQ("\"a b&echo owned>" + owned + "\"\r\n", testChild::readFile(dir.file(L"seen.txt")));
    ASSERT_TRUE(process.launch({batch}, {}) && ends(process)) << "alone in the list";
    EXPECT_EQ(7u, process.exitCode());

    // Quotes, % (expanded even inside quotes) and line breaks: refused in arguments and the file's own path.
    ASSERT_TRUE(CopyFileW(toWide(batch).c_str(), dir.file(L"100%.bat").c_str(), FALSE));
    for (const std::vector<std::string>& list : {std::vector<std::string>{batch, "x\"&echo owned>" + owned + "&rem"},
             {batch, "fine", "%PATH%"}, {batch, "a\r\necho owned>" + owned}, {batch, "a\necho owned>" + owned},
             {dir.fileUtf8(L"100%.bat"), "fine"}}) {
        EXPECT_FALSE(process.launch(list, {})) << list.back();
        EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
    }
    EXPECT_FALSE(testChild::readFile(toWide(owned)));

    // No AutoRun command, no delayed expansion from the registry. Wine's cmd knows neither, so
    // the interpreter's own command line, read from its memory, is what shows it.
    ASSERT_TRUE(testChild::writeFile(toWide(batch), "@echo off\r\necho.>\"%~dp0started\"\r\n\"" + child + "\" sleep 3000\r\n"));
    ASSERT_TRUE(process.launch({batch}, {}));
    for (int i = 0; i < 1000 && !testChild::readFile(dir.file(L"started")); ++i)
        Sleep(10);
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    std::wstring line(1000, L'\0');
    const HANDLE cmd = process.processHandle();
    ASSERT_TRUE(NtQueryInformationProcess(cmd, ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0
                && ReadProcessMemory(cmd, basic.PebBaseAddress, &peb, sizeof peb, nullptr)
                && ReadProcessMemory(cmd, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)
                && ReadProcessMemory(cmd, parameters.CommandLine.Buffer, line.data(), std::min<USHORT>(parameters.CommandLine.Length, 2000), nullptr));
    EXPECT_EQ(0u, line.rfind(L"cmd.exe /d /e:ON /v:OFF /c \"", 0)) << testing::PrintToString(line.c_str());
}

TEST_F(ProcessTest, TerminatedChildEndsWith255AndNoneOutlivesItsProcess)
{
    Process process;
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}) && process.isRunning() && process.terminate() && ends(process));
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
    process.setErrorSink([](void* to, const char* text) { static_cast<std::vector<std::string>*>(to)->push_back(text); }, &reports);
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    const ScopedHandle observer = duplicate(process.processHandle());
    CloseHandle(process.processHandle()); // behind its back: the next poll fails with ERROR_INVALID_HANDLE
    errno = ENOENT;                        // what a report read from errno would name
    EXPECT_FALSE(process.isRunning());
    EXPECT_EQ(0u, reports.at(0).rfind("ERROR: Failed to query child process: (Error code 0x6) ", 0)) << reports[0];
    EXPECT_EQ(std::make_pair(Process::ExitCodeUnavailable, HANDLE{}), std::make_pair(process.exitCode(), process.processHandle()));
    TerminateProcess(observer.get(), 1);
}

TEST_F(ProcessTest, ChildGetsExactlyTheHandlesOfItsSetOrIsNotStarted)
{
    std::vector<ScopedHandle> events(260); // values above the few a fresh child opens: one open there was inherited
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    for (std::size_t i = 0; i < events.size(); ++i)
        events[i].reset(CreateEventW(i + 4 == events.size() ? &inheritable : nullptr, TRUE, FALSE, nullptr));
    const auto value = [&](std::size_t i) { return reinterpret_cast<std::uintptr_t>(events[events.size() - 1 - i].get()); };
    const auto text = [&](std::size_t i) { return std::to_string(value(i)); };
    const HandleSet set{value(0), value(1)}; // 2 is withheld, 3 inheritable but not given
    EXPECT_EQ(0u, run({"check-handles", text(0), text(1), "--option"}, set));
    EXPECT_EQ(1u, run({"check-handles", text(2)}, set));
    EXPECT_EQ(1u, run({"check-handles", text(3)}, {})) << "an empty set inherits nothing";
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        std::printf("not checked: Wine accepts a handle list but does not enforce it\n");
    else
        EXPECT_EQ(1u, run({"check-handles", text(3)}, set)) << "an inheritable handle outside the set";

    const ProcessApi real = processApi; // without its list the child would inherit every inheritable handle
    processApi.updateAttribute = [](LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T) -> BOOL {
        return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
    };
    Process process;
    EXPECT_FALSE(process.launch({child, "exit", "0"}, set));
    EXPECT_EQ(DWORD{ERROR_NOT_SUPPORTED}, GetLastError());
    processApi = real;
    EXPECT_EQ(nullptr, process.processHandle());
}
