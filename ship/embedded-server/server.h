// The reference server: one io_context on one thread serves every client, so
// nothing here needs a lock; file reads, writes and flushes run on a few
// workers, which touch only the buffer and handle they are given. Built with
// the select reactor (see README.md).
#pragma once

#include "WinApi.h"

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

// The host turns each exit code into an event-log text, so a code is only
// used for what that text says.
enum ExitCode : int { exitSuccess = 0, exitInvalidArgument = 1, exitServerError = 7 };

struct Options {
    bool standalone = false;
    std::uint64_t listener = 0;
    std::uint64_t connection = 0;
    std::uint64_t writeCacheSize = 0; // accepted for the host's sake; see README.md
    std::uint16_t port = 54321;
    fs::path dataDirectory; // empty: "data" beside the executable
    std::chrono::milliseconds clientTimeout{30000};
    std::optional<std::uint32_t> exitAtOnce;
    bool ignoreClose = false;
    bool crash = false;
    std::chrono::milliseconds flushDelay{}; // for tests only: a slow disk
};

// arguments: argv without the program name. False with the reason in problem.
bool parseOptions(const std::vector<std::wstring>& arguments, Options& options, std::string& problem);

void logLine(const std::string& text);

// The data folder.
// [A-Za-z0-9._-]{1,128}, no leading or trailing dot, no device name.
bool isValidFileName(std::string_view name);
// Makes the folder absolute, creates it and removes the temporary files of
// runs that have ended.
bool openDataFolder(fs::path& folder, std::string& problem);
bool listFiles(const fs::path& folder, std::string& body);
fs::path newTemporaryPath(const fs::path& folder);

std::string percentEncode(std::string_view bytes);

class Session;

// What every client connection shares.
struct ServerState {
    fs::path folder;
    std::string argumentsBody; // the answer to GET /arguments
    std::chrono::milliseconds clientTimeout{};
    std::chrono::milliseconds flushDelay{};
    bool stopping = false; // the host closed its end: finish and go
    std::vector<std::weak_ptr<Session>> sessions; // those being served, not those refused
    asio::thread_pool workers{4};

    // Sessions still alive, after forgetting the ended ones.
    std::size_t liveSessions();
};

void startSession(tcp::socket socket, ServerState& state);
// Answers 503 at once and closes.
void refuseClient(tcp::socket socket, ServerState& state);
// Ends the connections that wait for a request; the others end after their
// current answer.
void stopSessions(ServerState& state);
// Closes every connection and removes every upload still in progress.
void abandonSessions(ServerState& state);
