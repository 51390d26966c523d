// Helpers for tests that launch test_child (QUORVANTA_TEST_CHILD; verbs in tests/child/test_child.cpp).
#pragma once
#include "Process.h"
#include "TextConversion.h"
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace testChild {
// A Unix path from the build reaches Windows code through Wine's Z: drive.
inline std::wstring windowsPath(const std::string& path)
{
    return path[0] == '/' ? L"Z:" + std::filesystem::path(toWide(path)).make_preferred().wstring() : toWide(path);
}
inline std::wstring path()
{
    return windowsPath(QUORVANTA_TEST_CHILD);
}
inline std::string pathUtf8()
{
    return toUtf8(path());
}

// A fresh folder by its long name (as code under test resolves it), removed with its contents.
class TempDirectory {
public:
    TempDirectory()
    {
        static unsigned count = 0;
        mPath = std::filesystem::temp_directory_path(mError)
            / (L"quorvanta-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count));
        wchar_t longName[MAX_PATH];
        const DWORD length = std::filesystem::create_directory(mPath, mError)
            ? GetLongPathNameW(mPath.c_str(), longName, MAX_PATH)
            : 0;
        mPath = length > 0 && length < MAX_PATH ? std::filesystem::path(longName) : mPath;
    }
    ~TempDirectory() { std::filesystem::remove_all(mPath, mError); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    std::wstring path() const { return mPath.wstring(); }
    std::wstring file(const std::wstring& name) const { return (mPath / name).wstring(); }
    std::string fileUtf8(const std::wstring& name) const { return toUtf8(file(name)); }

private:
    std::error_code mError;
    std::filesystem::path mPath;
};

inline std::optional<std::string> readFile(const std::wstring& file)
{
    std::ifstream stream(std::filesystem::path(file), std::ios::binary);
    return stream ? std::optional(std::string(std::istreambuf_iterator<char>(stream), {})) : std::nullopt;
}

inline bool writeFile(const std::wstring& file, const std::string& bytes)
{
    return static_cast<bool>(std::ofstream(std::filesystem::path(file), std::ios::binary) << bytes);
}

// What echo-args wrote, argument by argument.
inline std::vector<std::string> echoed(const std::wstring& file)
{
    std::vector<std::string> arguments;
    std::istringstream bytes(readFile(file).value_or(""));
    for (std::string argument; std::getline(bytes, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

// Waits at most 10 s for the child to end, then lets isRunning reap it.
inline bool waitAndReap(Process& child)
{
    if (!child.processHandle() || WaitForSingleObject(child.processHandle(), 10000) != WAIT_OBJECT_0)
        return false;
    return !child.isRunning();
}
} // namespace testChild
