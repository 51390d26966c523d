// The support library: text conversion, and Process with real children.
#include "CommandLine.h"
#include "test_child.h"

#include <winternl.h>

#include <gtest/gtest.h>

TEST(TextConversion, RoundTripsAndRefusesMalformedInputWhole)
{
    const std::wstring text{L"a\0b\xD83D\xDE00z\x00E9", 7};
    EXPECT_EQ(text, toWide(toUtf8(text)));
    EXPECT_EQ(std::string("a\0b\xF0\x9F\x98\x80z\xC3\xA9", 10), toUtf8(text));
    EXPECT_EQ(std::make_pair(std::string(), std::wstring()), std::make_pair(toUtf8(L"a\xD83Dz"), toWide("ok \xE2\x82 ok")));
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
    const std::tuple<std::vector<std::string>, HandleSet, bool, DWORD> rows[] = { // exit code, or the error of a refusal
        {{child.substr(0, child.size() - 4), "exit", "11"}, {}, true, 11}, // ".exe" appended
        {{dir.fileUtf8(L"SERVER.EXE"), "exit", "12"}, {}, true, 12},       // launched as it is
        {{dir.fileUtf8(L"run.cmd"), "exit", "13"}, {}, true, 13},          // run.cmd.exe
        {{child}, {}, true, 100}, {longest, {}, true, 0},                   // no arguments; the longest line allowed
        {{dir.fileUtf8(L"missing.exe")}, {}, false, ERROR_FILE_NOT_FOUND}, {{dir.fileUtf8(L"missing.bat"), "x"}, {}, false, ERROR_FILE_NOT_FOUND},
        {tooLong, {}, false, ERROR_FILENAME_EXCED_RANGE}, {{child, "exit", "0"}, {0x7FFFFFF0}, false, ERROR_INVALID_HANDLE}};
    for (const auto& [list, handles, starts, code] : rows) {
        Process process;
        EXPECT_EQ(starts, process.launch(list, handles)) << testing::PrintToString(list).substr(0, 200);
        const DWORD error = GetLastError();
        EXPECT_EQ(starts ? Process::ExitCodeRunning : Process::ExitCodeNotStarted, process.exitCode());
        EXPECT_EQ(starts, testChild::ends(process));
        EXPECT_EQ(std::make_pair(code, HANDLE{}), std::make_pair(starts ? process.exitCode() : error, process.processHandle()));
    }
    EXPECT_EQ(longest, testChild::echoed(dir.file(L"argv.txt")));
    Process process;
    ASSERT_TRUE(process.launch({child, "sleep", "30000"}, {}));
    EXPECT_FALSE(process.launch({child, "exit", "0"}, {})) << "a second child would leave the first unowned";
    EXPECT_EQ(DWORD{ERROR_BUSY}, GetLastError());
    EXPECT_TRUE(process.isRunning());

    // Without its handle list the child would inherit every inheritable handle of the host.
    const ProcessApi real = processApi;
    processApi.updateAttribute = [](LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T) -> BOOL {
        return SetLastError(ERROR_NOT_SUPPORTED), FALSE;
    };
    Process unrestricted;
    EXPECT_FALSE(unrestricted.launch({child, "exit", "0"}, {reinterpret_cast<std::uintptr_t>(process.processHandle())}));
    EXPECT_EQ(DWORD{ERROR_NOT_SUPPORTED}, GetLastError());
    processApi = real;
    EXPECT_EQ(nullptr, unrestricted.processHandle());
}

TEST_F(ProcessTest, BatchFileRunsThroughAnInterpreterThatRunsNothingElse)
{
    // %1 keeps its quotes, so '&' and '>' inside an argument stay text.
    const std::string batch = dir.fileUtf8(L"JOB.Bat"), owned = dir.fileUtf8(L"owned.txt");
    ASSERT_TRUE(testChild::writeFile(toWide(batch), "@echo off\r\necho %1>\"%~dp0seen.txt\"\r\n\"" + child + "\" sleep 500\r\nexit /b 7\r\n"));
    Process process;
    ASSERT_TRUE(process.launch({batch, "a b&echo owned>" + owned}, {})) << GetLastError();
    // No AutoRun command, no delayed expansion from the registry: Wine's cmd knows neither, so the
    // interpreter's own command line, as the system holds it, is what shows it.
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    std::wstring line(200, L'\0');
    for (int i = 0; i < 300 && !(testChild::readFile(dir.file(L"seen.txt")) // running the batch, not starting up
             && NtQueryInformationProcess(process.processHandle(), ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0
             && ReadProcessMemory(process.processHandle(), basic.PebBaseAddress, &peb, sizeof peb, nullptr) && peb.ProcessParameters
             && ReadProcessMemory(process.processHandle(), peb.ProcessParameters, &parameters, sizeof parameters, nullptr)
             && ReadProcessMemory(process.processHandle(), parameters.CommandLine.Buffer, line.data(), 400, nullptr)); ++i)
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
             {batch, "fine", "%PATH%"}, {batch, "a\r\necho owned>" + owned}, {batch, "a\necho owned>" + owned},
             {dir.fileUtf8(L"100%.bat"), "fine"}}) {
        EXPECT_FALSE(process.launch(list, {})) << list.back();
        EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
    }
    EXPECT_FALSE(testChild::readFile(toWide(owned)));
}

// The destructor ends a child that still runs (as terminate does, with 255); a failed poll lets
// the child go.
TEST_F(ProcessTest, NoChildOutlivesItsProcessAndAFailedPollLetsTheChildGo)
{
    HANDLE observer = nullptr;
    {
        Process held, lost;
        ASSERT_TRUE(held.launch({child, "sleep", "30000"}, {}) && lost.launch({child, "exit", "0"}, {}));
        DuplicateHandle(GetCurrentProcess(), held.processHandle(), GetCurrentProcess(), &observer, 0, FALSE, DUPLICATE_SAME_ACCESS);
        CloseHandle(lost.processHandle()); // behind its back: the next poll fails with ERROR_INVALID_HANDLE
        EXPECT_FALSE(lost.isRunning());
        EXPECT_EQ(std::make_pair(Process::ExitCodeUnavailable, HANDLE{}), std::make_pair(lost.exitCode(), lost.processHandle()));
    }
    DWORD exitCode = 0;
    EXPECT_TRUE(WaitForSingleObject(observer, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(observer, &exitCode) && exitCode == 255) << exitCode;
    CloseHandle(observer);
}
