// The server's command line. Element 1 chooses the mode; the options after it
// may come in any order, each at most once.
//
//   server      --pre-established-listener <handle>
//               --pre-established-connection <handle>
//               [--max-file-write-cache-size <bytes>]
//               the host's mode: serve on the inherited listener until the
//               host closes its end of the inherited connection
//   standalone  [--port=<n>]   listen on 127.0.0.1 itself (default 54321)
//               until the process is ended; for trying the server by hand
//
// Both modes take:
//   --data-dir=<path>      where the files live (default: "data" beside the
//                          executable)
//   --client-timeout=<ms>  how long a client may stay silent (default 30000)
//   --exit-at-once=<code>  exit with that code before doing anything else
//                          (decimal, negative decimal or 0x hex, 32 bits)
//   --ignore-close         keep serving after the host closed its end
//   --crash                die by an access violation at start
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ServerMode { server, standalone };

constexpr std::uint64_t defaultWriteCacheSize = 64ull * 1024 * 1024;
constexpr std::uint16_t defaultStandalonePort = 54321;
constexpr std::uint32_t defaultClientTimeoutMs = 30000;

struct ServerOptions {
    ServerMode mode = ServerMode::server;
    std::uint64_t listenerHandle = 0;
    std::uint64_t connectionHandle = 0;
    std::uint64_t writeCacheSize = defaultWriteCacheSize;
    std::uint16_t port = defaultStandalonePort;
    std::wstring dataDirectory; // empty: the default beside the executable
    std::uint32_t clientTimeoutMs = defaultClientTimeoutMs;
    std::optional<std::uint32_t> exitAtOnce;
    bool ignoreClose = false;
    bool crash = false;
};

struct OptionsResult {
    ServerOptions options;
    std::string error; // empty on success; otherwise what was wrong, for the user
    bool ok() const { return error.empty(); }
};

// arguments: argv without the program name.
OptionsResult parseServerOptions(const std::vector<std::wstring>& arguments);

// Plain decimal digits only (no sign, no blanks, not empty), at most maximum.
bool parseDecimal(std::wstring_view text, std::uint64_t maximum, std::uint64_t& value);
// A 32-bit exit code: decimal 0..4294967295, negative decimal down to
// -2147483648 (two's complement), or 0x followed by 1 to 8 hex digits.
bool parseExitCode(std::wstring_view text, std::uint32_t& code);

extern const char* const usageText;
