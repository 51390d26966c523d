// The loopback socket set of server mode: a listener on 127.0.0.1:54321 and a
// verified connection to it. The listener and the accepted end go to the
// child; the connecting end stays with the host.
#pragma once

#include "Socket.h"

#include <cstdint>
#include <functional>

constexpr std::uint16_t serverPort = 54321;

struct ServerSockets {
    Socket listener;
    Socket primaryConnection;
    Socket serviceConnection;

    ServerSockets() = default;
    ServerSockets(const ServerSockets&) = delete;
    ServerSockets& operator=(const ServerSockets&) = delete;
    // Closes the host's end first, the listener last.
    ~ServerSockets();
};

// What the caller lends the set's creation. The socket layer knows nothing of
// the Service Control Manager: each attempt to catch the host's own connection
// is announced with the wait hint it may take, and the caller tells the SCM.
// The listen call is the caller's so that a test can queue strangers'
// connections ahead of the host's own in the moment between listen and connect.
struct ServerSocketCalls {
    std::function<void(DWORD waitHintMs)> announceAttempt;
    std::function<int(SOCKET socket, int backlog)> listen = ::listen;
};

// True: all three fields hold blocking, non-inheritable sockets with
// TCP_NODELAY. False: the record is unchanged and the Winsock last error tells
// why.
bool createServerSockets(ServerSockets* target, const ServerSocketCalls& calls);
