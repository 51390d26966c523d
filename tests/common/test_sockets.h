// Socket helpers shared by the tests and test_child. Windows Sockets must
// have been started by the caller.
#pragma once

#include "WinApi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testSockets {

inline sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// "<ip>:<port>" of the socket's own IPv4 name or its peer's; empty when the
// query fails (WSAGetLastError says why).
inline std::string name(SOCKET socket, bool peer = false)
{
    sockaddr_in address{};
    int length = sizeof address;
    if ((peer ? getpeername : getsockname)(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

// getsockopt answers only for a live socket; under Wine a socket a process
// inherited answers getsockname only.
inline bool isLiveSocket(SOCKET socket)
{
    int type = 0;
    int length = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0
        || !name(socket).empty();
}

// Every socket this process holds, found by probing the handle table's low
// range, so that a socket shows up wherever it was kept.
inline std::vector<SOCKET> heldSockets()
{
    std::vector<SOCKET> held;
    for (SOCKET value = 4; value < 0x4000; value += 4) {
        if (isLiveSocket(value))
            held.push_back(value);
    }
    return held;
}

} // namespace testSockets
