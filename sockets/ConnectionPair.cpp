// rand_s is declared only when this is defined before the runtime's stdlib.h,
// which the Windows headers pull in: it must precede every include.
#define _CRT_RAND_S // NOLINT(bugprone-reserved-identifier): the runtime names this switch, not us

#include "ConnectionPair.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr double wordBudgetMs = 100.0;

std::int64_t counterFrequency()
{
    // Fixed at boot, so one query serves the whole process.
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    return frequency;
}

std::int64_t counterNow()
{
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

Endpoint emptyEndpoint()
{
    return Endpoint{};
}

using NameQuery = int(WSAAPI*)(SOCKET, sockaddr*, int*);

bool queryName(NameQuery query, SOCKET socket, Endpoint* endpoint)
{
    sockaddr_in name{};
    name.sin_family = AF_INET;
    int nameLength = sizeof name;
    if (query(socket, reinterpret_cast<sockaddr*>(&name), &nameLength) == SOCKET_ERROR)
        return false;
    if (endpoint == nullptr)
        return true;
    if (nameLength == static_cast<int>(sizeof name)) {
        endpoint->address = name;
        endpoint->length = sizeof name;
    } else {
        *endpoint = emptyEndpoint();
    }
    return true;
}

enum class Direction { send, receive };

// Non-blocking sockets: a word that is not ready yet is retried after a 1 ms
// nap until it completes or its budget runs out.
bool transferWord(SOCKET socket, char* bytes, Direction direction)
{
    const std::int64_t frequency = counterFrequency();
    const std::int64_t start = counterNow();
    int remaining = sizeof(std::uint32_t);
    char* position = bytes;
    while (remaining > 0) {
        const int result = direction == Direction::send ? send(socket, position, remaining, 0)
                                                        : recv(socket, position, remaining, 0);
        if (result == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error != WSAEINTR && error != WSAEWOULDBLOCK)
                return false;
            Sleep(1);
        } else if (result == 0 && direction == Direction::receive) {
            return false; // the peer closed before the word was complete
        } else {
            position += result;
            remaining -= result;
        }
        // Checked even after the last byte: a late word is as bad as none.
        if (elapsedMilliseconds(start, counterNow(), frequency) > wordBudgetMs)
            return false;
    }
    return true;
}

} // namespace

bool isFullIpv4(const Endpoint& endpoint)
{
    return endpoint.length >= sizeof(sockaddr_in) && endpoint.address.sin_family == AF_INET;
}

bool endpointsMatch(const Endpoint& a, const Endpoint& b)
{
    return isFullIpv4(a) && isFullIpv4(b) && ntohs(a.address.sin_port) == ntohs(b.address.sin_port)
        && ntohl(a.address.sin_addr.s_addr) == ntohl(b.address.sin_addr.s_addr);
}

bool localEndpoint(SOCKET socket, Endpoint* endpoint)
{
    return queryName(getsockname, socket, endpoint);
}

bool peerEndpoint(SOCKET socket, Endpoint* endpoint)
{
    return queryName(getpeername, socket, endpoint);
}

double elapsedMilliseconds(std::int64_t start, std::int64_t now, std::int64_t frequency)
{
    if (frequency <= 0)
        return 0.0;
    return static_cast<double>(now - start) * 1000.0 / static_cast<double>(frequency);
}

bool sendWord(SOCKET socket, const std::uint32_t& word)
{
    char bytes[sizeof word];
    std::memcpy(bytes, &word, sizeof word);
    return transferWord(socket, bytes, Direction::send);
}

bool receiveWord(SOCKET socket, std::uint32_t& word)
{
    char bytes[sizeof word] = {};
    const bool complete = transferWord(socket, bytes, Direction::receive);
    std::memcpy(&word, bytes, sizeof word);
    return complete;
}

bool verifyConnectionPair(SOCKET connecting, SOCKET accepted)
{
    Endpoint connectingLocal;
    Endpoint connectingPeer;
    Endpoint acceptedLocal;
    Endpoint acceptedPeer;
    if (!localEndpoint(connecting, &connectingLocal) || !peerEndpoint(connecting, &connectingPeer)
        || !localEndpoint(accepted, &acceptedLocal) || !peerEndpoint(accepted, &acceptedPeer))
        return false;
    // Any local process may have connected to the listener first; its
    // connection fails here, before it is sent a single byte.
    if (!endpointsMatch(connectingLocal, acceptedPeer) || !endpointsMatch(acceptedLocal, connectingPeer))
        return false;

    // Matching addresses alone could be an accident of port reuse; a random
    // word each way proves the two ends share one stream.
    unsigned int challenge0 = 1;
    unsigned int challenge1 = 2;
    rand_s(&challenge0);
    rand_s(&challenge1);
    const std::uint32_t sent0 = challenge0;
    const std::uint32_t sent1 = challenge1;

    if (!sendWord(connecting, sent0) || !sendWord(accepted, sent1))
        return false;
    std::uint32_t readByConnecting = 0;
    std::uint32_t readByAccepted = 0;
    if (!receiveWord(connecting, readByConnecting) || !receiveWord(accepted, readByAccepted))
        return false;
    return sent0 == readByAccepted && sent1 == readByConnecting;
}
