// Socket helpers for the tests, test_child and wine_driver.
#pragma once
#include "WinApi.h"
#include <cstdint>
#include <string>
#include <vector>

namespace testSockets {
// Windows Sockets started before main, as the host's entry point starts them.
inline const bool winsockStarted = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

inline sockaddr_in loopback(std::uint16_t port)
{
    return sockaddr_in{AF_INET, htons(port), {{{127, 0, 0, 1}}}, {}};
}

// A socket listening on 127.0.0.1:port (0: a free one); INVALID_SOCKET when that fails.
inline SOCKET listenOn(std::uint16_t port)
{
    const sockaddr_in address = loopback(port);
    const SOCKET held = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (bind(held, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(held, SOMAXCONN) == 0)
        return held;
    closesocket(held);
    return INVALID_SOCKET;
}

// "<ip>:<port>" of the socket's own IPv4 name or its peer's; empty on failure.
inline std::string name(SOCKET socket, bool peer = false)
{
    sockaddr_in address{};
    int length = sizeof address;
    char host[INET_ADDRSTRLEN] = {};
    if ((peer ? getpeername : getsockname)(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0
        || inet_ntop(AF_INET, &address.sin_addr, host, sizeof host) == nullptr)
        return {};
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

// Every socket this process holds, ascending (the handle table's low range probed); under Wine
// an inherited socket answers getsockname only.
inline std::vector<SOCKET> heldSockets()
{
    std::vector<SOCKET> held;
    for (SOCKET value = 4; value < 0x4000; value += 4) {
        int type = 0, length = sizeof type;
        if (getsockopt(value, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0
            || !name(value).empty())
            held.push_back(value);
    }
    return held;
}
} // namespace testSockets
