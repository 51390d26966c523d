#include "Socket.h"

SocketError classifySocketError(int winsockError)
{
    switch (winsockError) {
    case WSAEINTR:
        return SocketError::interrupted;
    case WSAEBADF:
        return SocketError::badDescriptor;
    case WSAEACCES:
        return SocketError::permissionDenied;
    case WSAEWOULDBLOCK:
        return SocketError::wouldBlock;
    case WSAEINPROGRESS:
        return SocketError::inProgress;
    case WSAEALREADY:
        return SocketError::alreadyInProgress;
    case WSAEADDRINUSE:
        return SocketError::addressInUse;
    case WSAEADDRNOTAVAIL:
        return SocketError::addressNotAvailable;
    case WSAENETDOWN:
        return SocketError::networkDown;
    case WSAENETUNREACH:
        return SocketError::networkUnreachable;
    case WSAENETRESET:
        return SocketError::networkReset;
    case WSAECONNABORTED:
        return SocketError::connectionAborted;
    case WSAECONNRESET:
        return SocketError::connectionReset;
    case WSAENOBUFS:
        return SocketError::noBufferSpace;
    case WSAEISCONN:
        return SocketError::alreadyConnected;
    case WSAENOTCONN:
        return SocketError::notConnected;
    case WSAETIMEDOUT:
        return SocketError::timedOut;
    case WSAECONNREFUSED:
        return SocketError::connectionRefused;
    case WSAEHOSTDOWN:
        return SocketError::hostDown;
    case WSAEHOSTUNREACH:
        return SocketError::hostUnreachable;
    case WSAEFAULT:
    case WSAEINVAL:
    case WSAENOTSOCK:
        return SocketError::invalidArgument;
    default:
        return SocketError::otherError;
    }
}

SocketError lastSocketError()
{
    return classifySocketError(WSAGetLastError());
}

void setUpSocket(SOCKET socket)
{
    // Small control messages must not wait for Nagle's coalescing.
    const int noDelay = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    // Windows creates sockets inheritable; only the launch may grant that, and
    // only for the handles it hands to the child.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

bool Socket::open()
{
    // A holder that already owns a socket would otherwise leak it.
    close();
    const SOCKET created = socket(AF_INET, SOCK_STREAM, 0);
    if (created == INVALID_SOCKET)
        return false;
    socketHandle.reset(created);
    nonBlocking = false;
    setUpSocket(created);
    return true;
}

bool Socket::setNonBlocking(bool wanted)
{
    if (!isOpen()) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    if (isNonBlocking() == wanted)
        return true;
    u_long mode = wanted ? 1 : 0;
    if (ioctlsocket(handle(), FIONBIO, &mode) != 0)
        return false;
    nonBlocking = wanted;
    return true;
}
