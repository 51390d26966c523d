// The command line. Element 1 chooses the mode; the options after it may come
// in any order, each at most once.
#include "server.h"

#include "TextConversion.h"

#include <charconv>
#include <limits>
#include <set>

namespace {

// Whole text, digits only: no sign, no blanks, nothing after.
bool parseNumber(std::string_view text, std::uint64_t maximum, std::uint64_t& value, int base = 10)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    return error == std::errc() && stop == end && value <= maximum;
}

// Decimal, negative decimal (two's complement) or 0x hex; 32 bits.
bool parseExitCode(std::string_view text, std::optional<std::uint32_t>& code)
{
    std::uint64_t value = 0;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        if (!parseNumber(text.substr(2), 0xFFFFFFFF, value, 16))
            return false;
    } else if (text.starts_with('-')) {
        if (!parseNumber(text.substr(1), 0x80000000, value))
            return false;
        value = 0x100000000 - value;
    } else if (!parseNumber(text, 0xFFFFFFFF, value)) {
        return false;
    }
    code = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

bool parseOptions(const std::vector<std::wstring>& arguments, Options& options, std::string& problem)
{
    if (arguments.empty() || (arguments[0] != L"server" && arguments[0] != L"standalone")) {
        problem = "the first argument must be server or standalone";
        return false;
    }
    options.standalone = arguments[0] == L"standalone";
    // INVALID_SOCKET (all ones) is never a socket.
    constexpr std::uint64_t maxHandle = std::numeric_limits<std::uint64_t>::max() - 1;
    std::set<std::wstring> seen;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        // "--name=" for the attached form, the whole argument otherwise.
        const std::size_t equals = argument.find(L'=');
        const std::wstring name = argument.substr(0, equals == std::wstring::npos ? equals : equals + 1);
        const std::string attached = toUtf8(std::wstring_view(argument).substr(name.size()));
        const auto separate = [&] { return i + 1 < arguments.size() ? toUtf8(arguments[++i]) : std::string(); };
        std::uint64_t value = 0;
        bool ok = seen.insert(name).second;
        if (!ok)
            problem = toUtf8(name) + " given twice";
        else if (name == L"--pre-established-listener" && !options.standalone)
            ok = parseNumber(separate(), maxHandle, options.listener);
        else if (name == L"--pre-established-connection" && !options.standalone)
            ok = parseNumber(separate(), maxHandle, options.connection);
        else if (name == L"--max-file-write-cache-size")
            ok = parseNumber(separate(), std::numeric_limits<std::uint64_t>::max(), options.writeCacheSize);
        else if (name == L"--data-dir=") {
            options.dataDirectory = argument.substr(name.size());
            ok = !options.dataDirectory.empty();
        } else if (name == L"--port=" && options.standalone) {
            ok = parseNumber(attached, 65535, value);
            options.port = static_cast<std::uint16_t>(value);
        } else if (name == L"--client-timeout=") {
            // An hour is far more than any client deserves.
            ok = parseNumber(attached, std::uint64_t{3600} * 1000, value) && value > 0;
            options.clientTimeout = std::chrono::milliseconds(value);
        } else if (name == L"--slow-flush=") {
            ok = parseNumber(attached, std::uint64_t{3600} * 1000, value);
            options.flushDelay = std::chrono::milliseconds(value);
        } else if (name == L"--exit-at-once=")
            ok = parseExitCode(attached, options.exitAtOnce);
        else if (name == L"--ignore-close")
            options.ignoreClose = true;
        else if (name == L"--crash")
            options.crash = true;
        else
            ok = false;
        if (!ok) {
            if (problem.empty())
                problem = "unknown, misplaced or malformed option \"" + toUtf8(argument) + "\"";
            return false;
        }
    }
    if (!options.standalone
        && !(seen.contains(L"--pre-established-listener") && seen.contains(L"--pre-established-connection"))) {
        problem = "server mode needs --pre-established-listener and --pre-established-connection";
        return false;
    }
    return true;
}
