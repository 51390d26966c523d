#include "socket_io.h"

#include <algorithm>
#include <chrono>

namespace {

// Short enough that a stop request is noticed promptly, long enough not to spin.
constexpr DWORD stopCheckSliceMs = 100;

using Clock = std::chrono::steady_clock;

DWORD remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

} // namespace

WaitResult waitForSocket(SOCKET socket, bool forWriting, DWORD timeoutMs, const std::atomic<bool>* stop)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (stop && stop->load())
            return WaitResult::stopped;
        const DWORD left = remainingMs(deadline);
        const DWORD slice = stop ? std::min(left, stopCheckSliceMs) : left;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        fd_set errors;
        FD_ZERO(&errors);
        FD_SET(socket, &errors);
        timeval limit{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
        const int count = select(0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, &errors, &limit);
        if (count == SOCKET_ERROR)
            return WaitResult::failed;
        // A socket in the error set is ready too: the next call reports why.
        if (count > 0)
            return WaitResult::ready;
        if (remainingMs(deadline) == 0)
            return WaitResult::timedOut;
    }
}

int receiveSome(SOCKET socket, char* buffer, std::size_t size, DWORD timeoutMs, WaitResult* lastWait,
    const std::atomic<bool>* stop)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const int wanted = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    for (;;) {
        const int received = recv(socket, buffer, wanted, 0);
        if (received >= 0)
            return received;
        const int error = WSAGetLastError();
        if (!wouldBlock(error))
            return -1;
        const WaitResult wait = waitForSocket(socket, false, remainingMs(deadline), stop);
        if (lastWait)
            *lastWait = wait;
        if (wait != WaitResult::ready) {
            WSASetLastError(wait == WaitResult::failed ? WSAGetLastError() : WSAETIMEDOUT);
            return -1;
        }
    }
}

bool sendAll(SOCKET socket, std::string_view data, DWORD timeoutMs)
{
    while (!data.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
        const int sent = send(socket, data.data(), chunk, 0);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        const int error = WSAGetLastError();
        if (sent == 0 || !wouldBlock(error))
            return false;
        // The limit is per stall, not for the whole body: a slow but steady
        // reader of a large file is fine.
        if (waitForSocket(socket, true, timeoutMs) != WaitResult::ready) {
            WSASetLastError(WSAETIMEDOUT);
            return false;
        }
    }
    return true;
}

// True once the peer has closed (or the connection is gone); false when it
// is still open after timeoutMs or keeps sending more than we care to drain.
static bool waitForPeerClose(SOCKET socket, DWORD timeoutMs)
{
    // Unread data at closesocket makes the stack send RST, which can cut off
    // the response the client has not read yet; so read to the end first.
    constexpr std::size_t maxDiscard = 1 << 20;
    char scratch[4096];
    std::size_t discarded = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int received = receiveSome(socket, scratch, sizeof scratch, remainingMs(deadline));
        if (received == 0)
            return true;
        if (received < 0)
            return WSAGetLastError() != WSAETIMEDOUT;
        discarded += static_cast<std::size_t>(received);
        if (discarded > maxDiscard)
            return false;
    }
}

void closeGracefully(ScopedSocket& socket, DWORD clientCloseMs, DWORD finWaitMs)
{
    if (!socket)
        return;
    if (!waitForPeerClose(socket.get(), clientCloseMs)) {
        // The client keeps the connection open: close our side after all,
        // and give it a short while to answer with its FIN.
        shutdown(socket.get(), SD_SEND);
        waitForPeerClose(socket.get(), finWaitMs);
    }
    socket.reset();
}

bool isLoopback(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        const unsigned char* bytes = v6.sin6_addr.s6_addr;
        for (int i = 0; i < 15; ++i)
            if (bytes[i] != 0)
                return false;
        return bytes[15] == 1;
    }
    return false;
}
