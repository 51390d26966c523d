// The loopback socket set of server mode: a listener on 127.0.0.1:54321 and a
// verified connection to it. The listener and the accepted end go to the
// child; the connecting end stays with the host.
#pragma once

#include "Socket.h"

#include <cstdint>

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

// True: all three fields hold blocking, non-inheritable sockets with
// TCP_NODELAY. False: the record is unchanged and the Winsock last error tells
// why. Reports SERVICE_START_PENDING once per attempt while it waits.
bool createServerSockets(ServerSockets* target);
