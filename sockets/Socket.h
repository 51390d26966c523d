// Owning holder of one socket handle (closed by the common owner, which
// keeps the Winsock last error), and the classification of the last
// Winsock error.
#pragma once

#include "UniqueHandle.h"
#include "WinApi.h"

enum class SocketError {
    interrupted = 1,
    badDescriptor,
    permissionDenied,
    wouldBlock,
    inProgress,
    alreadyInProgress,
    addressInUse,
    addressNotAvailable,
    networkDown,
    networkUnreachable,
    networkReset,
    connectionAborted,
    connectionReset,
    noBufferSpace,
    alreadyConnected,
    notConnected,
    timedOut,
    connectionRefused,
    hostDown,
    hostUnreachable,
    invalidArgument,
    otherError,
};

SocketError classifySocketError(int winsockError);
// Reads WSAGetLastError once.
SocketError lastSocketError();

// TCP_NODELAY on, inheritance off: applied to every socket the host creates
// or accepts, the moment it exists. Results are deliberately ignored.
void setUpSocket(SOCKET socket);

class Socket {
public:
    Socket() = default;
    // Takes ownership of an already set-up socket (blocking mode).
    explicit Socket(SOCKET socket) : socketHandle(socket) {}

    // socket(AF_INET, SOCK_STREAM, 0) plus the set-up; false leaves it empty.
    bool open();
    void close() { socketHandle.reset(); }
    // WSAEINVAL on an empty holder; no system call when the mode is already set.
    bool setNonBlocking(bool wanted);

    SOCKET handle() const { return socketHandle.get(); }
    bool isOpen() const { return socketHandle.valid(); }
    // The mode belongs to the socket held: an empty holder has none to report.
    bool isNonBlocking() const { return isOpen() && nonBlocking; }
    // Gives up ownership without closing.
    SOCKET release() { return socketHandle.release(); }

private:
    UniqueHandle<SocketTraits> socketHandle;
    bool nonBlocking = false;
};
