// Socket calls with time limits. The server uses select() rather than
// WSAPoll: Wine's WSAPoll does not know sockets a process inherited.
#pragma once

#include "UniqueHandle.h"
#include "WinApi.h"

#include <atomic>
#include <cstddef>
#include <string_view>

struct SocketHandleTraits {
    using Handle = SOCKET;
    static Handle empty() { return INVALID_SOCKET; }
    static bool isValid(Handle s) { return s != INVALID_SOCKET; }
    static void close(Handle s) { closesocket(s); }
};
using ScopedSocket = UniqueHandle<SocketHandleTraits>;

enum class WaitResult { ready, timedOut, stopped, failed };

// Waits until the socket can be read (or written), for at most timeoutMs.
// When stop is given, the wait also ends soon after *stop becomes true.
WaitResult waitForSocket(SOCKET socket, bool forWriting, DWORD timeoutMs, const std::atomic<bool>* stop = nullptr);

// For non-blocking sockets. Receive: bytes read, 0 when the peer has closed,
// -1 on failure or when nothing arrived within timeoutMs (lastWait tells).
int receiveSome(SOCKET socket, char* buffer, std::size_t size, DWORD timeoutMs, WaitResult* lastWait = nullptr,
    const std::atomic<bool>* stop = nullptr);
// False when the peer stops taking data for timeoutMs or the connection fails.
bool sendAll(SOCKET socket, std::string_view data, DWORD timeoutMs);

// Ends a connection so that, when possible, the client is the side that
// closes first: a server-side TIME_WAIT on the listening port could keep the
// host from binding it again. Waits up to clientCloseMs for the client's FIN
// (discarding anything it still sends), then shuts down our side and waits up
// to finWaitMs more.
void closeGracefully(ScopedSocket& socket, DWORD clientCloseMs, DWORD finWaitMs);

bool isLoopback(const sockaddr_storage& address);
