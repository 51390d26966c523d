// Socket, pair verification and the server socket set, on loopback. Every
// wait has a time limit, so a fault fails a test instead of hanging the run.
#include "ConnectionPair.h"
#include "ServerSockets.h"
#include "system_api.h"
#include "test_sockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <thread>

namespace {

using testSockets::name;

std::set<SOCKET> held()
{
    const std::vector<SOCKET> sockets = testSockets::heldSockets();
    return {sockets.begin(), sockets.end()};
}

long unread(SOCKET socket)
{
    u_long count = 0;
    return ioctlsocket(socket, FIONREAD, &count) == 0 ? static_cast<long>(count) : -1;
}

bool readable(SOCKET socket, long ms = 2000)
{
    fd_set sockets;
    FD_ZERO(&sockets);
    FD_SET(socket, &sockets);
    timeval limit{ms / 1000, ms % 1000 * 1000};
    return select(0, &sockets, nullptr, nullptr, &limit) == 1;
}

// Waits at most 2 s until at least `count` bytes are unread on the socket.
bool waitUnread(SOCKET socket, long count)
{
    for (int i = 0; i < 2000 && unread(socket) < count; ++i)
        Sleep(1);
    return unread(socket) >= count;
}

bool connectTo(Socket& client, std::uint16_t port)
{
    const sockaddr_in address = testSockets::loopback(port);
    return client.open() && connect(client.handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Two ends of one connection on an ephemeral port; nonBlocking applies to both.
bool makePair(Socket& connecting, Socket& accepted, bool nonBlocking)
{
    Socket listening;
    sockaddr_in address = testSockets::loopback(0);
    int length = sizeof address;
    if (!listening.open() || bind(listening.handle(), reinterpret_cast<const sockaddr*>(&address), length) != 0
        || listen(listening.handle(), 4) != 0 || getsockname(listening.handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0
        || !connectTo(connecting, ntohs(address.sin_port)))
        return false;
    accepted = Socket(accept(listening.handle(), nullptr, nullptr));
    return accepted.isOpen() && connecting.setNonBlocking(nonBlocking) && accepted.setNonBlocking(nonBlocking);
}

// The socket's real mode: a peek with a receive timeout answers at once in
// non-blocking mode. Only for connected sockets without unread data.
bool reallyNonBlocking(SOCKET socket)
{
    const DWORD probeMs = 150, none = 0;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&probeMs), sizeof probeMs);
    char byte = 0;
    const bool wouldBlock = recv(socket, &byte, 1, MSG_PEEK) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&none), sizeof none);
    return wouldBlock;
}

// Inheritance off, TCP_NODELAY on: the set-up of every socket the host holds.
void expectSetUp(SOCKET socket)
{
    DWORD flags = HANDLE_FLAG_INHERIT, noDelay = 0;
    int length = sizeof noDelay;
    EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) && !(flags & HANDLE_FLAG_INHERIT));
    EXPECT_TRUE(getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length) == 0 && noDelay);
}

TEST(Socket, ClassifiesEveryWinsockError)
{
    const int kinds[] = {WSAEINTR, WSAEBADF, WSAEACCES, WSAEWOULDBLOCK, WSAEINPROGRESS, WSAEALREADY, WSAEADDRINUSE,
                         WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH, WSAENETRESET, WSAECONNABORTED, WSAECONNRESET,
                         WSAENOBUFS, WSAEISCONN, WSAENOTCONN, WSAETIMEDOUT, WSAECONNREFUSED, WSAEHOSTDOWN, WSAEHOSTUNREACH};
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(static_cast<SocketError>(i + 1), classifySocketError(kinds[i])) << kinds[i];
    for (int code : {WSAEFAULT, WSAEINVAL, WSAENOTSOCK})
        EXPECT_EQ(SocketError::invalidArgument, classifySocketError(code)) << code;
    for (int code : {0, -1, WSAEMSGSIZE, WSAESHUTDOWN, static_cast<int>(ERROR_ACCESS_DENIED)})
        EXPECT_EQ(SocketError::otherError, classifySocketError(code)) << code;
    WSASetLastError(WSAEADDRINUSE);
    EXPECT_EQ(SocketError::addressInUse, lastSocketError());
}

TEST(Socket, OwnsItsSocketUntilCloseReleaseOrMoveAndKeepsTheLastError)
{
    Socket socket, target;
    WSASetLastError(0);
    EXPECT_FALSE(socket.setNonBlocking(true));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    ASSERT_TRUE(socket.open());
    expectSetUp(socket.handle());
    const std::set<SOCKET> before = held();
    ASSERT_TRUE(socket.open() && socket.setNonBlocking(true));
    EXPECT_EQ(before.size(), held().size()) << "opening again leaks the first socket";

    ASSERT_TRUE(target.open());
    const SOCKET moved = socket.handle(), replaced = target.handle();
    target = std::move(socket);
    EXPECT_EQ(std::make_pair(moved, true), std::make_pair(target.handle(), target.isNonBlocking()));
    EXPECT_FALSE(socket.isOpen() || socket.isNonBlocking());
    EXPECT_EQ(0u, held().count(replaced)) << "the target's own socket must be closed";
    Socket& alias = target;
    target = std::move(alias);
    Socket constructed(std::move(target));
    EXPECT_EQ(std::make_pair(moved, true), std::make_pair(constructed.handle(), constructed.isNonBlocking()));

    Socket bogus(0x7FFC); // a close that fails must not overwrite the caller's error either
    WSASetLastError(WSAEADDRINUSE);
    constructed.close();
    bogus.close();
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError()) << "a close changed the caller's error";
    EXPECT_FALSE(constructed.isOpen() || constructed.isNonBlocking() || held().count(moved));
    ASSERT_TRUE(socket.open() && socket.setNonBlocking(true));
    const SOCKET released = socket.release();
    EXPECT_FALSE(socket.isOpen() || socket.isNonBlocking());
    EXPECT_EQ(1u, held().count(released)) << "release must hand over, not close";
    closesocket(released);

    Socket connecting, accepted;
    ASSERT_TRUE(makePair(connecting, accepted, true));
    EXPECT_TRUE(reallyNonBlocking(connecting.handle()));
    ASSERT_TRUE(connecting.setNonBlocking(false));
    EXPECT_FALSE(reallyNonBlocking(connecting.handle()));
}

TEST(ConnectionPair, EndpointsMatchOnlyWhenBothAreFullIpv4WithEqualPortAndAddress)
{
    const auto endpoint = [](std::uint16_t port, std::uint32_t address, std::uint32_t length = 16) {
        Endpoint result;
        result.address.sin_port = htons(port);
        result.address.sin_addr.s_addr = htonl(address);
        result.length = length;
        return result;
    };
    const Endpoint base = endpoint(50000, 0x7F000001);
    Endpoint otherZero = base, ipv6 = base;
    otherZero.address.sin_zero[3] = 7;
    ipv6.address.sin_family = AF_INET6;
    const std::pair<Endpoint, bool> rows[] = {
        {base, true}, {otherZero, true}, {endpoint(50000, 0x7F000001, 28), true}, {endpoint(50001, 0x7F000001), false},
        {endpoint(50000, 0x7F000002), false}, {endpoint(50000, 0x7F000001, 15), false}, {ipv6, false}, {Endpoint{}, false},
    };
    for (const auto& [other, match] : rows) {
        EXPECT_EQ(match, endpointsMatch(base, other)) << other.length;
        EXPECT_EQ(match, endpointsMatch(other, base)) << other.length;
    }
}

TEST(ConnectionPair, ElapsedTimeComesFromTheDifferenceSoLongUptimesDoNotOverflow)
{
    const std::int64_t frequency = 10'000'000, edge = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    EXPECT_DOUBLE_EQ(100.0, elapsedMilliseconds(0, frequency / 10, frequency));
    EXPECT_DOUBLE_EQ(50.0, elapsedMilliseconds(edge - 10, edge - 10 + frequency / 20, frequency));
    EXPECT_DOUBLE_EQ(2000.0, elapsedMilliseconds(std::int64_t{1} << 62, (std::int64_t{1} << 62) + 2 * frequency, frequency));
}

TEST(ConnectionPair, WordsTravelAsFourBytesLeastSignificantFirstWithin100Ms)
{
    Socket connecting, accepted;
    ASSERT_TRUE(makePair(connecting, accepted, true));
    ASSERT_TRUE(sendWord(connecting.handle(), 0x04030201u) && waitUnread(accepted.handle(), 4));
    char bytes[5] = {};
    EXPECT_EQ(4, recv(accepted.handle(), bytes, 5, 0));
    EXPECT_STREQ("\x01\x02\x03\x04", bytes);
    ASSERT_EQ(8, send(accepted.handle(), "\x11\x22\x33\x44\x55\x66\x77\x88", 8, 0));
    std::uint32_t word = 0;
    ASSERT_TRUE(waitUnread(connecting.handle(), 8) && receiveWord(connecting.handle(), word));
    EXPECT_EQ(0x44332211u, word);
    EXPECT_EQ(4, unread(connecting.handle())) << "one receive takes exactly one word";

    // Half a word now, the rest 300 ms after the receive began to wait.
    ASSERT_TRUE(recv(connecting.handle(), bytes, 4, 0) == 4 && send(accepted.handle(), "\x78\x56", 2, 0) == 2);
    ASSERT_TRUE(waitUnread(connecting.handle(), 2));
    const std::uint64_t sleeps = transferSleepCount();
    std::thread late([&] {
        for (int i = 0; i < 2000 && transferSleepCount() == sleeps; ++i)
            Sleep(1);
        Sleep(300);
        send(accepted.handle(), "\x34\x12", 2, 0);
    });
    EXPECT_FALSE(receiveWord(connecting.handle(), word)) << "a word later than 100 ms was taken";
    late.join();

    Socket open, closed;
    ASSERT_TRUE(makePair(open, closed, true));
    closed.close();
    ASSERT_TRUE(readable(open.handle()));
    const std::uint64_t sleepsBeforeClose = transferSleepCount();
    EXPECT_FALSE(receiveWord(open.handle(), word));
    EXPECT_EQ(sleepsBeforeClose, transferSleepCount()) << "the end of the stream is final, not a reason to wait";
}

TEST(ConnectionPair, VerificationPassesOnlyTheTwoEndsOfOneFreshConnection)
{
    Socket a, b, c, d;
    ASSERT_TRUE(makePair(a, b, true) && makePair(c, d, true));
    EXPECT_FALSE(verifyConnectionPair(a.handle(), d.handle()));
    EXPECT_FALSE(verifyConnectionPair(c.handle(), b.handle()));
    for (const Socket* end : {&a, &b, &c, &d})
        EXPECT_FALSE(readable(end->handle(), 100)) << "a word went out before the addresses matched";

    EXPECT_TRUE(verifyConnectionPair(a.handle(), b.handle()));
    EXPECT_EQ(std::make_pair(0L, 0L), std::make_pair(unread(a.handle()), unread(b.handle())));
    EXPECT_TRUE(reallyNonBlocking(a.handle()) && reallyNonBlocking(b.handle())) << "the mode was changed";

    // A stale word is read in place of the challenge, which stays unread.
    ASSERT_TRUE(sendWord(c.handle(), 0x5A5A5A5A) && waitUnread(d.handle(), 4));
    EXPECT_FALSE(verifyConnectionPair(c.handle(), d.handle()));
    EXPECT_TRUE(waitUnread(d.handle(), 4));
    EXPECT_EQ(std::make_pair(0L, 4L), std::make_pair(unread(c.handle()), unread(d.handle())));

    Socket unconnected;
    ASSERT_TRUE(unconnected.open());
    EXPECT_FALSE(verifyConnectionPair(unconnected.handle(), b.handle()));
    EXPECT_FALSE(verifyConnectionPair(a.handle(), unconnected.handle()));
    ASSERT_EQ(0, shutdown(b.handle(), SD_SEND));
    EXPECT_FALSE(verifyConnectionPair(a.handle(), b.handle()));
}

// State the captureless fakes of the system table reach.
std::vector<SERVICE_STATUS> reports;
std::vector<Socket> strangers, stolen;
int strangerCount = 0;
bool steal = false;

// Every road of createServerSockets. Strangers queue up between the host's listen and its connect
// and are each accepted and closed unspoken, one attempt apiece; a stolen own connection leaves
// every attempt empty; a taken port fails before any report. Each attempt reports start-pending
// without controls, with the next checkpoint and the hints 5100, 4400, 3700 in turn.
TEST(ServerSockets, EveryRoadEndsInAVerifiedBlockingSetOrLeavesNothingBehind)
{
    const ScopedSystemApi savedApi;
    systemApi.setServiceStatus = [](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) -> BOOL {
        reports.push_back(*status);
        for (SOCKET listener : testSockets::heldSockets()) // the host has connected by now
            while (steal && name(listener) == "127.0.0.1:54321" && name(listener, true).empty() && readable(listener, stolen.empty() ? 2000 : 0))
                stolen.emplace_back(accept(listener, nullptr, nullptr));
        return TRUE;
    };
    systemApi.listen = [](SOCKET socket, int backlog) -> int {
        const int result = ::listen(socket, backlog);
        for (int i = 0; i < strangerCount; ++i)
            connectTo(strangers.emplace_back(), serverPort);
        return result;
    };
    const struct { const char* road; int strangers; bool steal, squat; std::size_t attempts; } rows[] = {
        {"own connection first", 0, false, false, 1}, {"one stranger", 1, false, false, 2}, {"two strangers", 2, false, false, 3},
        {"three strangers", 3, false, false, 3}, {"no own connection", 0, true, false, 3}, {"port taken", 0, false, true, 0}};
    EXPECT_FALSE(createServerSockets(nullptr));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.road);
        reports.clear();
        strangerCount = row.strangers;
        steal = row.steal;
        Socket squatter, kept;
        const sockaddr_in address = testSockets::loopback(serverPort);
        ASSERT_TRUE(squatter.open() && kept.open() && (!row.squat || bind(squatter.handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0));
        const std::set<SOCKET> before = held();
        const SOCKET primary = kept.handle();
        {
            ServerSockets sockets;
            sockets.primaryConnection = std::move(kept);
            const bool created = createServerSockets(&sockets);
            EXPECT_EQ(!row.squat && !row.steal && row.strangers < 3, created) << WSAGetLastError();
            EXPECT_TRUE(!row.squat || WSAGetLastError() == WSAEADDRINUSE) << WSAGetLastError();
            ASSERT_EQ(row.attempts, reports.size());
            for (std::size_t i = 0; i < reports.size(); ++i) {
                const SERVICE_STATUS& r = reports[i];
                EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, 0, NO_ERROR, std::vector<DWORD>{5100, 4400, 3700}[i], reports[0].dwCheckPoint + DWORD(i)}),
                          (std::vector<DWORD>{r.dwCurrentState, r.dwControlsAccepted, r.dwWin32ExitCode, r.dwWaitHint, r.dwCheckPoint}));
            }
            EXPECT_TRUE(reports.empty() || reports[0].dwCheckPoint != 0);
            EXPECT_EQ(row.steal ? 1u : 0u, stolen.size()) << "the host's own connection never arrived";
            for (const Socket& stranger : strangers) {
                char byte = 0;
                EXPECT_TRUE(stranger.isOpen() && readable(stranger.handle()) && recv(stranger.handle(), &byte, 1, 0) == 0) << "a stranger was sent data";
                EXPECT_NE(name(stranger.handle()), name(sockets.primaryConnection.handle(), true));
            }
            if (!created) {
                EXPECT_FALSE(sockets.listener.isOpen() || sockets.serviceConnection.isOpen()) << "the record changed";
                EXPECT_EQ(primary, sockets.primaryConnection.handle());
            } else {
                const SOCKET listener = sockets.listener.handle(), accepted = sockets.primaryConnection.handle(), own = sockets.serviceConnection.handle();
                EXPECT_EQ(4u, std::set<SOCKET>({listener, accepted, own, INVALID_SOCKET}).size());
                for (const Socket* socket : {&sockets.listener, &sockets.primaryConnection, &sockets.serviceConnection}) {
                    expectSetUp(socket->handle());
                    EXPECT_FALSE(socket->isNonBlocking());
                }
                EXPECT_FALSE(reallyNonBlocking(accepted) || reallyNonBlocking(own));
                BOOL accepting = FALSE;
                int length = sizeof accepting;
                EXPECT_TRUE(getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&accepting), &length) == 0 && accepting);
                EXPECT_EQ((std::vector<std::string>{"127.0.0.1:54321", "127.0.0.1:54321", name(accepted), name(own)}),
                          (std::vector<std::string>{name(listener), name(accepted), name(own, true), name(accepted, true)}));
                EXPECT_EQ(std::make_pair(0L, 0L), std::make_pair(unread(accepted), unread(own)));
            }
        }
        // Nothing else was left open, and the set's own sockets are closed with it.
        std::set<SOCKET> after = held();
        after.erase(primary);
        for (const std::vector<Socket>* own : {&strangers, &stolen})
            for (const Socket& socket : *own)
                after.erase(socket.handle());
        EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end())) << "a socket was left open";
        const linger hard{1, 0}; // reset, not closed: no TIME_WAIT may keep the fixed port from the next road
        for (std::vector<Socket>* own : {&strangers, &stolen}) {
            for (Socket& socket : *own)
                setsockopt(socket.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
            own->clear();
        }
    }
}

} // namespace
