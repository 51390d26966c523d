#include "server_command_line.h"

#include "TextConversion.h"
#include "system_api.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <cwchar>

std::vector<std::wstring> ProcessArguments;

namespace {

constexpr DWORD moduleNameCapacity = 260; // wide characters, NUL included
constexpr std::size_t executableOptionLength = 13;

// The child sits beside the host. False when the host's own path cannot be
// read or resolved: a name cut at the buffer's end names some other file, or
// none, and launching "its" neighbour would start the wrong program.
bool defaultExecutable(std::string& executable)
{
    wchar_t moduleName[moduleNameCapacity] = {};
    const DWORD length = systemApi.getModuleFileName(nullptr, moduleName, moduleNameCapacity);
    if (length == 0)
        return false;
    // Not every system sets an error when it cuts the name.
    if (length >= moduleNameCapacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }

    try {
        boost::system::error_code error;
        const boost::filesystem::path host = boost::filesystem::canonical(
            boost::filesystem::path(moduleName, moduleName + length), boost::filesystem::path(), error);
        if (error) {
            // Only the system's own codes are Win32 errors; the library's
            // portable ones are not.
            SetLastError(error.category() == boost::system::system_category() ? static_cast<DWORD>(error.value())
                                                                              : ERROR_BAD_PATHNAME);
            return false;
        }
        boost::filesystem::path server = host.parent_path();
        server /= serverExecutableName;
        // Narrowed through the path library's facet, which the entry point sets to UTF-8.
        executable = server.string();
    } catch (const boost::system::system_error&) {
        // The path did not survive the conversion between wide and narrow text.
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    return true;
}

// The value after "--executable=", without one pair of enclosing quotes: the
// SCM passes a quoted path with a blank in it as it was typed.
std::wstring_view overrideValue(const wchar_t* argument)
{
    std::wstring_view value(argument + executableOptionLength);
    if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"')
        value = value.substr(1, value.size() - 2);
    return value;
}

bool isOverride(const wchar_t* argument)
{
    return std::wcsncmp(argument, executableOption, executableOptionLength) == 0;
}

} // namespace

bool assembleServerArguments(DWORD argc, LPWSTR* argv, ServerArguments& arguments, bool& serverMode)
{
    ServerArguments assembled;
    DWORD firstStartArgument = 1;
    if (argc > 1 && isOverride(argv[1])) {
        assembled.push_back(toUtf8(overrideValue(argv[1])));
        firstStartArgument = 2;
    } else {
        std::string executable;
        if (!defaultExecutable(executable))
            return false;
        assembled.push_back(std::move(executable));
    }

    // A text that cannot be converted keeps its place as an empty element, so
    // the positions the child sees do not shift.
    for (const std::wstring& argument : ProcessArguments)
        assembled.push_back(toUtf8(argument));
    for (DWORD i = firstStartArgument; i < argc; ++i)
        assembled.push_back(toUtf8(std::wstring_view(argv[i])));

    if (assembled.size() == 1)
        assembled.emplace_back(serverModeArgument);

    serverMode = assembled[1] == serverModeArgument;
    arguments = std::move(assembled);
    return true;
}

void appendServerModeOptions(ServerArguments& arguments, std::uint64_t listener, std::uint64_t connection)
{
    arguments.emplace_back(listenerOption);
    arguments.push_back(formatDecimal(listener));
    arguments.emplace_back(connectionOption);
    arguments.push_back(formatDecimal(connection));
    arguments.emplace_back(cacheOption);
    arguments.push_back(formatDecimal(fileWriteCacheSize));
}

std::string formatDecimal(std::uint64_t value)
{
    return boost::lexical_cast<std::string>(value);
}
