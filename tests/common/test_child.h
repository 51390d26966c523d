// Helpers for tests that launch test_child (tests/child). A test target gets
// the child's path by quorvanta_add_test(... TEST_CHILD) or
// quorvanta_use_test_child(target); it links `arch` (for the quoting).
//
// test_child's verbs (argument 1), each ignoring arguments beyond its own:
//   echo-args <outfile>        writes its whole argv, argv[0] included, as UTF-8,
//                              each argument as "<byte count>:<bytes>\n"
//                              (read it back with readEchoedArguments)
//   exit <code>                exits with code (decimal or 0x hex, 32 bits)
//   sleep <ms>                 sleeps, then exits 0
//   crash                      access violation, exit code 0xC0000005
//   check-handles <h>...       exit code = number of values that are not open
//                              handles in the child; "--" options are skipped
//   sockets <outfile> <h>...   per value one line "<value> socket <ip>:<port>"
//                              (getsockname) or "<value> not-socket <WSA error>";
//                              "--" options are skipped
//   debug-report <fatal|error|error-abort> <outfile> <extrafile>,
//   debug-assert <outfile>     raise a diagnostics report (see debug_verbs.cpp)
//   server ...                 stands in for the server (see server_verb.cpp)
// Values are decimal or 0x hex. Unknown verbs exit with 100.
#pragma once

#include "CommandLine.h"
#include "TextConversion.h"
#include "WinApi.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifndef QUORVANTA_TEST_CHILD
#error "this test target needs quorvanta_use_test_child() (or TEST_CHILD in quorvanta_add_test)"
#endif

namespace testChild {

// A Unix path from the build (/work/...) reaches Windows code through Wine's
// Z: drive; a Windows path is returned as it is.
inline std::wstring windowsPath(const std::string& path)
{
    std::wstring wide = toWide(path);
    if (!wide.empty() && wide[0] == L'/') {
        wide.insert(0, L"Z:");
        for (wchar_t& c : wide)
            c = c == L'/' ? L'\\' : c;
    }
    return wide;
}

// The path of test_child.exe, usable by CreateProcessW.
inline std::wstring path() { return windowsPath(QUORVANTA_TEST_CHILD); }
// The same as UTF-8, usable as element 0 of Process::launch's list.
inline std::string pathUtf8() { return toUtf8(path()); }

// True under Wine, whose process model differs in places (handle lists).
inline bool runningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A fresh folder under the temporary folder, by its long name (what a path
// resolved by the code under test comes out as), removed with its contents.
class TempDirectory {
public:
    TempDirectory()
    {
        static unsigned counter = 0;
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        while (!error) {
            const std::filesystem::path candidate =
                base / (L"quorvanta-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
            if (std::filesystem::create_directory(candidate, error)) {
                wchar_t longName[MAX_PATH];
                const DWORD length = GetLongPathNameW(candidate.c_str(), longName, MAX_PATH);
                mPath = length > 0 && length < MAX_PATH ? std::filesystem::path(longName) : candidate;
                return;
            }
        } // on failure path() stays empty, and the test's file checks fail loudly
    }
    ~TempDirectory()
    {
        std::error_code ignored;
        if (!mPath.empty())
            std::filesystem::remove_all(mPath, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    std::wstring path() const { return mPath.wstring(); }
    std::wstring file(const std::wstring& name) const { return (mPath / name).wstring(); }
    std::string fileUtf8(const std::wstring& name) const { return toUtf8(file(name)); }

private:
    std::filesystem::path mPath;
};

struct Result {
    bool started = false;  // CreateProcessW succeeded
    bool finished = false; // ended within the time limit (otherwise it was killed)
    DWORD exitCode = 0;
    DWORD error = 0; // GetLastError of a failed CreateProcessW
};

// Runs test_child with a ready command line (its first token should be the
// quoted path) and waits at most timeoutMs; a child still running then is
// terminated and reported as not finished. Inherits no handles.
inline Result runCommandLine(const std::wstring& commandLine, DWORD timeoutMs = 10000)
{
    Result result;
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path().c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        result.error = GetLastError();
        return result;
    }
    result.started = true;
    result.finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

// Runs test_child with the given arguments (the verb first), quoted as the
// host quotes a child's arguments.
inline Result run(const std::vector<std::string>& arguments, DWORD timeoutMs = 10000)
{
    return runCommandLine(buildCommandLine(pathUtf8(), arguments), timeoutMs);
}

inline std::optional<std::string> readFile(const std::wstring& file)
{
    std::ifstream stream(std::filesystem::path(file), std::ios::binary);
    if (!stream)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// Writes bytes to a file, replacing it (a batch file, input for a child).
inline bool writeFile(const std::wstring& file, const std::string& bytes)
{
    std::ofstream stream(std::filesystem::path(file), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) && stream.flush();
}

// Parses echo-args output; nullopt when it is missing or malformed.
inline std::optional<std::vector<std::string>> parseEchoedArguments(const std::string& bytes)
{
    std::vector<std::string> arguments;
    for (std::size_t position = 0; position < bytes.size();) {
        const std::size_t colon = bytes.find(':', position);
        std::size_t length = 0;
        if (colon == std::string::npos || colon == position || colon - position > 9)
            return std::nullopt;
        const auto [end, error] = std::from_chars(bytes.data() + position, bytes.data() + colon, length);
        if (error != std::errc() || end != bytes.data() + colon || bytes.size() - colon - 1 < length + 1
            || bytes[colon + 1 + length] != '\n')
            return std::nullopt;
        arguments.push_back(bytes.substr(colon + 1, length));
        position = colon + 1 + length + 1;
    }
    return arguments;
}

inline std::optional<std::vector<std::string>> readEchoedArguments(const std::wstring& file)
{
    const std::optional<std::string> bytes = readFile(file);
    return bytes ? parseEchoedArguments(*bytes) : std::nullopt;
}

} // namespace testChild
