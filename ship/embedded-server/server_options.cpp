#include "server_options.h"

#include "TextConversion.h"

#include <limits>

namespace {

constexpr std::wstring_view listenerOption = L"--pre-established-listener";
constexpr std::wstring_view connectionOption = L"--pre-established-connection";
constexpr std::wstring_view cacheOption = L"--max-file-write-cache-size";
constexpr std::wstring_view dataDirOption = L"--data-dir=";
constexpr std::wstring_view portOption = L"--port=";
constexpr std::wstring_view clientTimeoutOption = L"--client-timeout=";
constexpr std::wstring_view exitAtOnceOption = L"--exit-at-once=";
constexpr std::wstring_view ignoreCloseOption = L"--ignore-close";
constexpr std::wstring_view crashOption = L"--crash";

// The longest timeout that still fits the DWORD millisecond waits with room
// to add slices: an hour is far more than any client deserves.
constexpr std::uint64_t maxClientTimeoutMs = 3600 * 1000;

int hexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

std::string describe(std::wstring_view text)
{
    std::string quoted = "\"";
    quoted += toUtf8(text);
    quoted += '"';
    return quoted;
}

// Tracks which options were seen, so that a repeated one is refused instead
// of silently overriding the first.
class OptionParser {
public:
    explicit OptionParser(const std::vector<std::wstring>& arguments) : mArguments(arguments) {}

    OptionsResult run()
    {
        if (mArguments.empty())
            return fail("no mode given");
        if (mArguments[0] == L"server")
            mResult.options.mode = ServerMode::server;
        else if (mArguments[0] == L"standalone")
            mResult.options.mode = ServerMode::standalone;
        else
            return fail(std::string("unknown mode ") + describe(mArguments[0]));

        for (mIndex = 1; mIndex < mArguments.size() && mResult.ok(); ++mIndex)
            parseOne(mArguments[mIndex]);
        if (!mResult.ok())
            return mResult;

        const bool serverMode = mResult.options.mode == ServerMode::server;
        if (serverMode && !(mSeen & bit(Seen::listener)))
            return fail(std::string("missing ") + toUtf8(listenerOption));
        if (serverMode && !(mSeen & bit(Seen::connection)))
            return fail(std::string("missing ") + toUtf8(connectionOption));
        return mResult;
    }

private:
    enum class Seen { listener, connection, cache, dataDir, port, clientTimeout, exitAtOnce, ignoreClose, crash };
    static unsigned bit(Seen s) { return 1u << static_cast<unsigned>(s); }

    OptionsResult fail(std::string message)
    {
        mResult.error = std::move(message);
        return mResult;
    }

    bool once(Seen which, std::wstring_view name)
    {
        if (mSeen & bit(which)) {
            fail(toUtf8(name) + " given twice");
            return false;
        }
        mSeen |= bit(which);
        return true;
    }

    bool serverModeOnly(std::wstring_view name)
    {
        if (mResult.options.mode == ServerMode::server)
            return true;
        fail(toUtf8(name) + " is only for server mode");
        return false;
    }

    // Options of the form "--name <value>": the value is the next element.
    bool separateValue(std::wstring_view name, std::uint64_t maximum, std::uint64_t& value)
    {
        if (mIndex + 1 >= mArguments.size()) {
            fail(toUtf8(name) + " needs a value");
            return false;
        }
        const std::wstring& text = mArguments[++mIndex];
        if (!parseDecimal(text, maximum, value)) {
            fail(std::string("malformed value ") + describe(text) + " for " + toUtf8(name));
            return false;
        }
        return true;
    }

    bool attachedValue(std::wstring_view argument, std::wstring_view prefix, std::uint64_t minimum,
        std::uint64_t maximum, std::uint64_t& value)
    {
        const std::wstring_view text = argument.substr(prefix.size());
        if (!parseDecimal(text, maximum, value) || value < minimum) {
            fail(std::string("malformed value in ") + describe(argument));
            return false;
        }
        return true;
    }

    void parseOne(const std::wstring& argument)
    {
        ServerOptions& o = mResult.options;
        const std::wstring_view a = argument;
        // Handle values are pointer-sized; INVALID_SOCKET (all ones) is never a socket.
        constexpr std::uint64_t maxHandle = std::numeric_limits<std::uint64_t>::max() - 1;
        std::uint64_t value = 0;

        if (a == listenerOption) {
            if (serverModeOnly(a) && once(Seen::listener, a) && separateValue(a, maxHandle, value))
                o.listenerHandle = value;
        } else if (a == connectionOption) {
            if (serverModeOnly(a) && once(Seen::connection, a) && separateValue(a, maxHandle, value))
                o.connectionHandle = value;
        } else if (a == cacheOption) {
            if (once(Seen::cache, a) && separateValue(a, std::numeric_limits<std::uint64_t>::max(), value))
                o.writeCacheSize = value;
        } else if (a.starts_with(dataDirOption)) {
            if (once(Seen::dataDir, dataDirOption)) {
                o.dataDirectory = argument.substr(dataDirOption.size());
                if (o.dataDirectory.empty())
                    fail(std::string("empty ") + toUtf8(dataDirOption));
            }
        } else if (a.starts_with(portOption)) {
            if (mResult.options.mode != ServerMode::standalone)
                fail(toUtf8(portOption) + " is only for standalone mode");
            else if (once(Seen::port, portOption) && attachedValue(a, portOption, 0, 65535, value))
                o.port = static_cast<std::uint16_t>(value);
        } else if (a.starts_with(clientTimeoutOption)) {
            if (once(Seen::clientTimeout, clientTimeoutOption)
                && attachedValue(a, clientTimeoutOption, 1, maxClientTimeoutMs, value))
                o.clientTimeoutMs = static_cast<std::uint32_t>(value);
        } else if (a.starts_with(exitAtOnceOption)) {
            std::uint32_t code = 0;
            if (once(Seen::exitAtOnce, exitAtOnceOption)) {
                if (parseExitCode(a.substr(exitAtOnceOption.size()), code))
                    o.exitAtOnce = code;
                else
                    fail(std::string("malformed value in ") + describe(a));
            }
        } else if (a == ignoreCloseOption) {
            if (once(Seen::ignoreClose, a))
                o.ignoreClose = true;
        } else if (a == crashOption) {
            if (once(Seen::crash, a))
                o.crash = true;
        } else {
            fail(std::string("unknown option ") + describe(a));
        }
    }

    const std::vector<std::wstring>& mArguments;
    std::size_t mIndex = 0;
    unsigned mSeen = 0;
    OptionsResult mResult;
};

} // namespace

bool parseDecimal(std::wstring_view text, std::uint64_t maximum, std::uint64_t& value)
{
    if (text.empty())
        return false;
    std::uint64_t result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - L'0');
        if (result > (maximum - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool parseExitCode(std::wstring_view text, std::uint32_t& code)
{
    constexpr std::uint64_t maxUnsigned = std::numeric_limits<std::uint32_t>::max();
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        const std::wstring_view digits = text.substr(2);
        if (digits.size() > 8)
            return false;
        std::uint32_t result = 0;
        for (wchar_t c : digits) {
            const int d = hexDigit(c);
            if (d < 0)
                return false;
            result = result << 4 | static_cast<std::uint32_t>(d);
        }
        code = result;
        return true;
    }
    std::uint64_t magnitude = 0;
    if (!text.empty() && text[0] == L'-') {
        if (!parseDecimal(text.substr(1), 0x80000000ull, magnitude))
            return false;
        code = static_cast<std::uint32_t>(0x100000000ull - magnitude);
        return true;
    }
    if (!parseDecimal(text, maxUnsigned, magnitude))
        return false;
    code = static_cast<std::uint32_t>(magnitude);
    return true;
}

OptionsResult parseServerOptions(const std::vector<std::wstring>& arguments)
{
    return OptionParser(arguments).run();
}

const char* const usageText =
    "usage: quorvanta-embedded-server server --pre-established-listener <handle>\n"
    "           --pre-established-connection <handle> [--max-file-write-cache-size <bytes>] [options]\n"
    "       quorvanta-embedded-server standalone [--port=<n>] [options]\n"
    "options: --data-dir=<path> --client-timeout=<ms> --exit-at-once=<code> --ignore-close --crash\n";
