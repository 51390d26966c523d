// One client connection: requests are read, answered and, while both sides
// want it, the connection is kept for the next one.
#pragma once

#include "file_store.h"
#include "socket_io.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

struct ServerContext {
    ServerContext(FileStore& fileStore, std::string arguments, std::uint64_t bodyLimit, DWORD timeoutMs)
        : store(fileStore), argumentsBody(std::move(arguments)), maxBodySize(bodyLimit), clientTimeoutMs(timeoutMs)
    {
    }

    FileStore& store;
    const std::string argumentsBody; // the body of GET /arguments
    const std::uint64_t maxBodySize;
    const DWORD clientTimeoutMs;     // longest silence of a client within a request, and between requests
    std::atomic<bool> stopping{false};

    // Clients being served, so that a stop can wait for them.
    std::mutex clientsMutex;
    std::condition_variable clientsDone;
    int activeClients = 0;
};

// The largest body a PUT may carry.
constexpr std::uint64_t maxUploadSize = 1ull << 30;

void serveClient(ScopedSocket socket, ServerContext& context);
