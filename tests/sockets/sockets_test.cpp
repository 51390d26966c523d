// Pair verification and the server socket set, on loopback. Every wait has a time limit.
#include "ConnectionPair.h"
#include "ServerSockets.h"
#include "system_api.h"
#include "test_sockets.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace {
using testSockets::name;

// The bytes unread on the socket, once there are at least `atLeast` or 2 s have passed.
long unread(SOCKET socket, long atLeast = 0)
{
    u_long count = 0;
    for (int i = 0; i < 2000 && ioctlsocket(socket, FIONREAD, &count) == 0 && long(count) < atLeast; ++i)
        Sleep(1);
    return ioctlsocket(socket, FIONREAD, &count) == 0 ? long(count) : -1;
}

bool readable(SOCKET socket, int ms = 2000)
{
    WSAPOLLFD descriptor{socket, POLLRDNORM, 0};
    return WSAPoll(&descriptor, 1, ms) == 1;
}

bool connectTo(Socket& client, SOCKET listener)
{
    sockaddr_in address{};
    int length = sizeof address;
    return client.open() && getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0
        && connect(client.handle(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// The two non-blocking ends of one connection, as the host makes them. Strangers that come between
// are rejected by their addresses in the ServerSockets test; here the challenge itself.
TEST(ConnectionPair, VerificationNeedsEachChallengeBackWithin100Ms)
{
    Socket listening(testSockets::listenOn(0)), a, b;
    const std::size_t held = (a.open(), testSockets::heldSockets().size()); // opened again: the old one closes
    ASSERT_TRUE(connectTo(a, listening.handle()) && testSockets::heldSockets().size() == held);
    b = Socket(accept(listening.handle(), nullptr, nullptr));
    ASSERT_TRUE(a.setNonBlocking(true) && b.setNonBlocking(true));
    EXPECT_TRUE(verifyConnectionPair(a.handle(), b.handle()) && unread(a.handle()) == 0 && unread(b.handle()) == 0);

    // Half a word now, the rest 300 ms after the receive began to wait.
    std::uint32_t word = 0;
    ASSERT_TRUE(send(b.handle(), "\x78\x56", 2, 0) == 2 && unread(a.handle(), 2) == 2);
    std::thread late([&b] { Sleep(300), send(b.handle(), "\x34\x12", 2, 0); });
    EXPECT_FALSE(receiveWord(a.handle(), word)) << "a word later than 100 ms was taken";
    late.join();
    ASSERT_EQ(2, unread(a.handle(), 2));
    EXPECT_FALSE(verifyConnectionPair(a.handle(), b.handle())) << "stale bytes were taken for the challenge";

    // From the difference: scaling the raw readings first overflows once the counter passes 9.2e12.
    const std::int64_t frequency = 10'000'000, edge = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    EXPECT_DOUBLE_EQ(50.0, elapsedMilliseconds(edge - 10, edge - 10 + frequency / 20, frequency));
}

// State the captureless fakes of the system table reach: the test's ends of strangers' connections
// and of the host's own one when a row steals it.
std::vector<SERVICE_STATUS> reports;
std::vector<Socket> visitors;
int strangerCount = 0;
bool steal = false;

// Every road of createServerSockets. Strangers queue up between the host's listen and its connect
// and are each accepted and closed unspoken, one attempt apiece; a stolen own connection leaves
// every attempt empty; a taken port fails before any report. Each attempt reports start-pending
// without controls, with the next checkpoint and the hints 5100, 4400, 3700 in turn.
TEST(ServerSockets, EveryRoadEndsInAVerifiedBlockingSetOrLeavesNothingBehind)
{
    WSASetLastError(WSAEADDRINUSE); // the set's sockets close between its failing call and the caller's look
    Socket(0x7FFC).close(); // no such socket: a close that fails
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError()) << "a close changed the caller's error";
    const ScopedSystemApi savedApi;
    systemApi.setServiceStatus = [](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) -> BOOL {
        reports.push_back(*status);
        for (SOCKET listener : testSockets::heldSockets()) // the host has connected by now
            while (steal && name(listener) == "127.0.0.1:54321" && name(listener, true).empty()
                   && readable(listener, visitors.empty() ? 2000 : 0))
                visitors.emplace_back(accept(listener, nullptr, nullptr));
        return TRUE;
    };
    systemApi.listen = [](SOCKET socket, int backlog) -> int {
        const int result = ::listen(socket, backlog);
        for (int i = 0; i < strangerCount; ++i)
            connectTo(visitors.emplace_back(), socket);
        return result;
    };
    const struct {
        const char* road;
        int strangers;
        bool steal, squat;
        std::size_t attempts;
    } rows[] = {{"own connection first", 0, false, false, 1}, {"one stranger", 1, false, false, 2},
                {"two strangers", 2, false, false, 3},        {"three strangers", 3, false, false, 3},
                {"no own connection", 0, true, false, 3},     {"port taken", 0, false, true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.road);
        reports.clear();
        strangerCount = row.strangers;
        steal = row.steal;
        Socket squatter(row.squat ? testSockets::listenOn(serverPort) : INVALID_SOCKET), kept;
        ASSERT_TRUE(kept.open() && squatter.isOpen() == row.squat);
        const SOCKET primary = kept.handle();
        std::vector<SOCKET> before = testSockets::heldSockets(); // ascending
        std::erase(before, primary); // replaced by a created set, else closed with the record
        {
            ServerSockets sockets;
            sockets.primaryConnection = std::move(kept);
            const bool created = createServerSockets(&sockets);
            EXPECT_EQ(!row.squat && !row.steal && row.strangers < 3, created) << WSAGetLastError();
            EXPECT_TRUE(!row.squat || WSAGetLastError() == WSAEADDRINUSE) << WSAGetLastError();
            ASSERT_EQ(row.attempts, reports.size());
            for (DWORD i = 0; i < reports.size(); ++i)
                EXPECT_EQ(
                    (std::vector<DWORD>{SERVICE_START_PENDING, 0, NO_ERROR, 5100 - 700 * i,
                                        reports[0].dwCheckPoint + i}),
                    (std::vector<DWORD>{reports[i].dwCurrentState, reports[i].dwControlsAccepted,
                                        reports[i].dwWin32ExitCode, reports[i].dwWaitHint, reports[i].dwCheckPoint}));
            ASSERT_EQ(std::size_t(row.strangers + row.steal), visitors.size())
                << "the host's own connection never arrived";
            char byte = 0;
            for (const Socket& visitor : visitors)
                EXPECT_TRUE(readable(visitor.handle()) && recv(visitor.handle(), &byte, 1, 0) == 0)
                    << "a stranger was sent data";
            const SOCKET listener = sockets.listener.handle(), accepted = sockets.primaryConnection.handle(),
                         own = sockets.serviceConnection.handle();
            EXPECT_TRUE(created || (listener == INVALID_SOCKET && own == INVALID_SOCKET && accepted == primary))
                << "the record changed";
            EXPECT_TRUE(
                !created
                || (name(listener) == "127.0.0.1:54321" && name(accepted, true) == name(own) && unread(accepted) == 0))
                << name(own);
            for (const SOCKET socket : created ? std::vector{listener, accepted, own} : std::vector<SOCKET>{}) {
                DWORD flags = HANDLE_FLAG_INHERIT, noDelay = 0;
                int length = sizeof noDelay;
                EXPECT_TRUE(
                    GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) && !(flags & HANDLE_FLAG_INHERIT)
                    && getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length) == 0
                    && noDelay)
                    << "inheritable or without TCP_NODELAY";
            }
            EXPECT_FALSE(sockets.primaryConnection.isNonBlocking() || sockets.serviceConnection.isNonBlocking())
                << "left non-blocking";
        }
        const linger hard{1, 0}; // reset, not closed: no TIME_WAIT may keep the fixed port from the next road
        for (Socket& visitor : visitors)
            setsockopt(visitor.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        visitors.clear();
        const std::vector<SOCKET> after = testSockets::heldSockets(); // the set's sockets close with it
        EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end()))
            << "a socket was left open";
    }
}
} // namespace
