// Loopback helpers for the socket tests. Every wait here has a time limit, so
// a fault in the code under test fails a test instead of hanging the run.
#pragma once

#include "Socket.h"
#include "test_sockets.h"

#include <cstdint>
#include <set>

constexpr int waitLimitMs = 2000;

// A connection between two sockets of this process on an ephemeral loopback
// port (never the fixed server port), both blocking.
struct LoopbackPair {
    Socket connecting;
    Socket accepted;
};
bool makeLoopbackPair(LoopbackPair& pair);

bool waitReadable(SOCKET socket, int timeoutMs);
// Bytes that arrived and were not read yet; -1 when the query fails.
long unreadBytes(SOCKET socket);
// Waits (bounded) until at least `count` bytes are unread on the socket.
bool waitUnread(SOCKET socket, long count);

// Probes the socket's real mode: a peek with a receive timeout answers
// WSAEWOULDBLOCK at once in non-blocking mode and WSAETIMEDOUT in blocking
// mode. Only for connected sockets that have no unread data.
enum class Mode { blocking, nonBlocking, unknown };
Mode probeMode(SOCKET socket);

bool isInheritable(SOCKET socket);
bool hasNoDelay(SOCKET socket);
using testSockets::isLiveSocket;
inline std::set<SOCKET> liveSockets()
{
    const std::vector<SOCKET> held = testSockets::heldSockets();
    return std::set<SOCKET>(held.begin(), held.end());
}

std::uint16_t localPort(SOCKET socket);
std::uint16_t peerPort(SOCKET socket);

// Opens the holder and binds it to 127.0.0.1 at the port, without address reuse.
bool bindLoopback(Socket& socket, std::uint16_t port);
// Opens the holder and connects it to 127.0.0.1:port.
bool connectClient(Socket& client, std::uint16_t port);
