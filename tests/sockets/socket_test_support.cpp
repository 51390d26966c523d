#include "socket_test_support.h"

#include <chrono>
#include <thread>

namespace {

std::uint16_t portOf(int(WSAAPI* query)(SOCKET, sockaddr*, int*), SOCKET socket)
{
    sockaddr_in name{};
    int length = sizeof name;
    return query(socket, reinterpret_cast<sockaddr*>(&name), &length) == 0 ? ntohs(name.sin_port) : 0;
}

} // namespace

bool waitReadable(SOCKET socket, int timeoutMs)
{
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(socket, &readSet);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &readSet, nullptr, nullptr, &timeout) == 1;
}

long unreadBytes(SOCKET socket)
{
    u_long count = 0;
    return ioctlsocket(socket, FIONREAD, &count) == 0 ? static_cast<long>(count) : -1;
}

bool waitUnread(SOCKET socket, long count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitLimitMs);
    while (unreadBytes(socket) < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool bindLoopback(Socket& socket, std::uint16_t port)
{
    const sockaddr_in address = testSockets::loopback(port);
    return socket.open() && bind(socket.handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Blocking, so the connection is established when connect returns.
bool connectClient(Socket& client, std::uint16_t port)
{
    const sockaddr_in address = testSockets::loopback(port);
    return client.open() && connect(client.handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool makeLoopbackPair(LoopbackPair& pair)
{
    Socket listening;
    if (!bindLoopback(listening, 0) || listen(listening.handle(), 4) == SOCKET_ERROR
        || !connectClient(pair.connecting, localPort(listening.handle())))
        return false;
    const SOCKET accepted = accept(listening.handle(), nullptr, nullptr);
    pair.accepted = Socket(accepted);
    return accepted != INVALID_SOCKET;
}

Mode probeMode(SOCKET socket)
{
    const DWORD probeTimeoutMs = 150;
    const DWORD noTimeout = 0;
    if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&probeTimeoutMs),
                   sizeof probeTimeoutMs)
        != 0)
        return Mode::unknown;
    char byte = 0;
    const int result = recv(socket, &byte, 1, MSG_PEEK);
    const int error = WSAGetLastError();
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&noTimeout), sizeof noTimeout);
    if (result == SOCKET_ERROR && error == WSAEWOULDBLOCK)
        return Mode::nonBlocking;
    return result == SOCKET_ERROR && error == WSAETIMEDOUT ? Mode::blocking : Mode::unknown;
}

bool isInheritable(SOCKET socket)
{
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) != 0 && (flags & HANDLE_FLAG_INHERIT) != 0;
}

bool hasNoDelay(SOCKET socket)
{
    DWORD value = 0;
    int length = sizeof value;
    return getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length) == 0 && value != 0;
}

std::uint16_t localPort(SOCKET socket)
{
    return portOf(getsockname, socket);
}

std::uint16_t peerPort(SOCKET socket)
{
    return portOf(getpeername, socket);
}
