// Helpers for tests that launch test_child (tests/child), whose path the build
// gives as QUORVANTA_TEST_CHILD. Its verbs (argument 1):
//   echo-args <file>        writes its whole argv as UTF-8, each one NUL-terminated
//   exit <code>             exits with code (decimal or 0x hex)
//   sleep <ms>              sleeps, then exits 0
//   crash                   access violation, exit code 0xC0000005
//   check-handles <h>...    exit code = how many values are not open handles
//   debug <fatal|error|error-abort|assert> <file>   raises a Debug report
//   server ...              stands in for the server (see test_child.cpp)
#pragma once

#include "Process.h"
#include "TextConversion.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace testChild {

// A Unix path from the build reaches Windows code through Wine's Z: drive.
inline std::wstring windowsPath(const std::string& path)
{
    std::wstring wide = toWide(path);
    if (!wide.empty() && wide[0] == L'/')
        wide = L"Z:" + std::filesystem::path(wide).make_preferred().wstring();
    return wide;
}

inline std::wstring path() { return windowsPath(QUORVANTA_TEST_CHILD); }
inline std::string pathUtf8() { return toUtf8(path()); }

// A fresh folder under the temporary folder, by its long name (as the code
// under test resolves it), removed with its contents.
class TempDirectory {
public:
    TempDirectory()
    {
        static unsigned counter = 0;
        const auto name = L"quorvanta-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        std::error_code error;
        const std::filesystem::path made = std::filesystem::temp_directory_path(error) / name;
        if (error || !std::filesystem::create_directory(made, error))
            return; // path() stays empty: the test's file checks fail loudly
        wchar_t longName[MAX_PATH];
        const DWORD length = GetLongPathNameW(made.c_str(), longName, MAX_PATH);
        mPath = length > 0 && length < MAX_PATH ? std::filesystem::path(longName) : made;
    }
    ~TempDirectory() { std::filesystem::remove_all(mPath, mIgnored); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    std::wstring path() const { return mPath.wstring(); }
    std::wstring file(const std::wstring& name) const { return (mPath / name).wstring(); }
    std::string fileUtf8(const std::wstring& name) const { return toUtf8(file(name)); }

private:
    std::filesystem::path mPath;
    std::error_code mIgnored;
};

inline std::optional<std::string> readFile(const std::wstring& file)
{
    std::ifstream stream(std::filesystem::path(file), std::ios::binary);
    if (!stream)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

inline bool writeFile(const std::wstring& file, const std::string& bytes)
{
    std::ofstream stream(std::filesystem::path(file), std::ios::binary | std::ios::trunc);
    return stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && stream.flush();
}

// What echo-args wrote, argument by argument.
inline std::vector<std::string> echoed(const std::wstring& file)
{
    std::vector<std::string> arguments;
    const std::string bytes = readFile(file).value_or("");
    for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(bytes.substr(start, end - start));
    return arguments;
}

// Waits at most 10 s for the child, then lets isRunning reap it.
inline bool ends(Process& process)
{
    return process.processHandle() != nullptr && WaitForSingleObject(process.processHandle(), 10000) == WAIT_OBJECT_0
        && !process.isRunning();
}

// Runs test_child with the verb and its arguments; its exit code, or 1000 when
// it did not start or end in time.
inline DWORD run(std::vector<std::string> arguments, const HandleSet& inherited = {})
{
    arguments.insert(arguments.begin(), pathUtf8());
    Process process;
    return process.launch(arguments, inherited) && ends(process) ? process.exitCode() : 1000;
}

} // namespace testChild
