// Proof that two sockets are the two ends of one TCP connection: their
// addresses must cross-match and a random 4-byte word must pass each way.
#pragma once

#include "WinApi.h"

#include <cstdint>

struct Endpoint {
    sockaddr_in address{AF_INET, 0, {}, {}};
    std::uint32_t length = 0; // 16 when the system returned a full sockaddr_in
};

bool isFullIpv4(const Endpoint& endpoint);
// Both full IPv4 endpoints with the same port and address; sin_zero is ignored.
bool endpointsMatch(const Endpoint& a, const Endpoint& b);

// The output may be null: then only the system call's success is reported.
bool localEndpoint(SOCKET socket, Endpoint* endpoint);
bool peerEndpoint(SOCKET socket, Endpoint* endpoint);

// Both sockets must be non-blocking; neither is closed or switched.
bool verifyConnectionPair(SOCKET connecting, SOCKET accepted);

// Moves one 4-byte word, giving up after 100 ms for that word.
bool sendWord(SOCKET socket, const std::uint32_t& word);
bool receiveWord(SOCKET socket, std::uint32_t& word);

// Milliseconds between two performance-counter readings. Works from their
// difference: scaling the raw readings to microseconds first overflows 64 bits
// once the counter passes about 9.2e12 ticks (some ten days of uptime at the
// usual 10 MHz), and the budget check would then see a wrapped time.
double elapsedMilliseconds(std::int64_t start, std::int64_t now, std::int64_t frequency);
