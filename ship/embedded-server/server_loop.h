// Accepting clients, and watching the host's connection for its end.
#pragma once

#include "client_session.h"

#include <string>

// The inherited sockets must be what the host promised: a loopback listener,
// and a loopback connection nobody has written to yet (data on it would mean
// it was not the host's own end). False with the reason in problem.
bool checkInheritedSockets(SOCKET listener, SOCKET connection, std::string& problem);

// A listener of our own on 127.0.0.1:port, for standalone use.
ScopedSocket listenOnLoopback(std::uint16_t port);

struct LoopResult {
    bool failed = false;       // the listener or the wait broke: not a clean end
    bool clientsFinished = true; // false: some client was still being served at the end
};

// Serves until the host closes its end of hostConnection (never, when it is
// INVALID_SOCKET or ignoreClose is set), then stops accepting and gives the
// clients in progress a short time to finish.
LoopResult runServerLoop(SOCKET listener, SOCKET hostConnection, bool ignoreClose, ServerContext& context);
