#include "server_options.h"
#include "TextConversion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Arguments = std::vector<std::wstring>;

Arguments hostCommandLine(Arguments extra = {})
{
    Arguments arguments{L"server"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    for (const wchar_t* part : {L"--pre-established-listener", L"520", L"--pre-established-connection", L"524",
             L"--max-file-write-cache-size", L"1073741824"})
        arguments.push_back(part);
    return arguments;
}

TEST(ServerOptions, TakesTheHostsCommandLineWithStartArgumentsBeforeTheOptions)
{
    OptionsResult result = parseServerOptions(hostCommandLine());
    ASSERT_TRUE(result.ok()) << result.error;
    const ServerOptions& o = result.options;
    EXPECT_EQ(ServerMode::server, o.mode);
    EXPECT_EQ((std::vector<std::uint64_t>{520, 524, 1073741824}),
              (std::vector<std::uint64_t>{o.listenerHandle, o.connectionHandle, o.writeCacheSize}));
    EXPECT_TRUE(o.dataDirectory.empty());
    EXPECT_EQ(defaultClientTimeoutMs, o.clientTimeoutMs);
    EXPECT_FALSE(o.exitAtOnce.has_value() || o.ignoreClose || o.crash);

    result = parseServerOptions(hostCommandLine({L"--data-dir=C:\\with space\\d\u00E9", L"--ignore-close",
                                                 L"--exit-at-once=0xC0000005", L"--crash", L"--client-timeout=250"}));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(L"C:\\with space\\d\u00E9", result.options.dataDirectory);
    EXPECT_TRUE(result.options.ignoreClose && result.options.crash);
    EXPECT_EQ(0xC0000005u, result.options.exitAtOnce.value_or(0));
    EXPECT_EQ(250u, result.options.clientTimeoutMs);
    EXPECT_EQ(520u, result.options.listenerHandle);

    // Without a cache size the default; the largest values all fit.
    result = parseServerOptions(
        {L"server", L"--pre-established-connection", L"7", L"--pre-established-listener", L"18446744073709551614"});
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(defaultWriteCacheSize, result.options.writeCacheSize);
    EXPECT_EQ(18446744073709551614u, result.options.listenerHandle);
    EXPECT_EQ(7u, result.options.connectionHandle);
    result = parseServerOptions({L"server", L"--pre-established-listener", L"1", L"--pre-established-connection",
                                 L"2", L"--max-file-write-cache-size", L"18446744073709551615"});
    EXPECT_EQ(18446744073709551615u, result.options.writeCacheSize) << result.error;
}

TEST(ServerOptions, StandaloneListensOnItsOwnPort)
{
    OptionsResult result = parseServerOptions({L"standalone"});
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(ServerMode::standalone, result.options.mode);
    EXPECT_EQ(54321, result.options.port);
    result = parseServerOptions({L"standalone", L"--port=0", L"--data-dir=d"});
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(0, result.options.port);
    EXPECT_EQ(L"d", result.options.dataDirectory);
}

// The host's options with the listener's value replaced.
Arguments listener(const wchar_t* value)
{
    return {L"server", L"--pre-established-listener", value, L"--pre-established-connection", L"2"};
}

struct Refused {
    const char* why;
    Arguments arguments;
};

TEST(ServerOptions, RefusesWhatItDoesNotUnderstand)
{
    const std::vector<Refused> cases{
        {"no arguments", {}},
        {"mode in other case", {L"Server", L"--pre-established-listener", L"1", L"--pre-established-connection", L"2"}},
        {"cache size given twice", hostCommandLine({L"--max-file-write-cache-size", L"0"})},
        {"no listener", {L"server", L"--pre-established-connection", L"2"}},
        {"no connection", {L"server", L"--pre-established-listener", L"1"}},
        {"value missing at the end", {L"server", L"--pre-established-connection", L"2", L"--pre-established-listener"}},
        {"unknown option", hostCommandLine({L"--verbose"})},
        {"unknown short option", hostCommandLine({L"-v"})},
        {"attached form of a separate option", {L"server", L"--pre-established-listener=1",
                                                   L"--pre-established-connection", L"2"}},
        {"letters in a handle", listener(L"12a")},
        {"sign", listener(L"+1")},
        {"negative", listener(L"-1")},
        {"blank", listener(L" 1")},
        {"empty value", listener(L"")},
        {"hex handle", listener(L"0x10")},
        {"INVALID_SOCKET", listener(L"18446744073709551615")},
        {"overflow", listener(L"18446744073709551616")},
        {"cache size overflow", hostCommandLine({L"--max-file-write-cache-size", L"99999999999999999999"})},
        {"listener twice", hostCommandLine({L"--pre-established-listener", L"3"})},
        {"flag twice", hostCommandLine({L"--ignore-close", L"--ignore-close"})},
        {"port in server mode", hostCommandLine({L"--port=80"})},
        {"handles in standalone mode", {L"standalone", L"--pre-established-listener", L"1"}},
        {"port out of range", {L"standalone", L"--port=65536"}},
        {"empty data folder", hostCommandLine({L"--data-dir="})},
        {"zero timeout", hostCommandLine({L"--client-timeout=0"})},
        {"empty exit code", hostCommandLine({L"--exit-at-once="})},
        {"exit code too large", hostCommandLine({L"--exit-at-once=4294967296"})},
        {"flag with a value", hostCommandLine({L"--crash=1"})},
    };
    for (const Refused& c : cases)
        EXPECT_FALSE(parseServerOptions(c.arguments).ok()) << c.why;
}

TEST(ServerOptions, ExitCodesCoverThe32BitRange)
{
    const struct {
        const wchar_t* text;
        std::uint32_t code;
    } valid[]{
        {L"0", 0},
        {L"5", 5},
        {L"4294967295", 0xFFFFFFFFu},
        {L"0xC0000005", 0xC0000005u},
        {L"0Xc0000005", 0xC0000005u},
        {L"0xFFFFFFFF", 0xFFFFFFFFu},
        {L"-1", 0xFFFFFFFFu},
        {L"-1073741819", 0xC0000005u},
        {L"-2147483648", 0x80000000u},
        {L"-0", 0},
        {L"0000000000000000000005", 5},
    };
    for (const auto& v : valid) {
        std::uint32_t code = 12345;
        EXPECT_TRUE(parseExitCode(v.text, code)) << toUtf8(v.text);
        EXPECT_EQ(v.code, code) << toUtf8(v.text);
    }
    for (const wchar_t* text : {L"", L"0x", L"0x123456789", L"0xG", L"4294967296", L"-2147483649", L"--1", L"1e3",
             L"-", L" 1", L"0x-1"}) {
        std::uint32_t code = 0;
        EXPECT_FALSE(parseExitCode(text, code)) << toUtf8(text);
    }
}

} // namespace
