#include "ConnectionPair.h"
#include "ServerSockets.h"
#include "service_status.h"
#include "socket_test_support.h"
#include "system_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

// State the captureless hooks reach; reset by the fixture for every test.
std::vector<SERVICE_STATUS> reports;
std::vector<Socket> foreignClients;
std::vector<Socket> stolenConnections;
int foreignCount = 0;
bool foreignConnectFailed = false;
bool stealEveryConnection = false;

// The host's listener, found among this process's sockets by its address.
SOCKET findServerListener()
{
    for (SOCKET socket : liveSockets()) {
        Endpoint peer;
        if (localPort(socket) == serverPort && !peerEndpoint(socket, &peer))
            return socket;
    }
    return INVALID_SOCKET;
}

// Runs at the start of every attempt, after the host has connected: taking
// its connection out of the queue leaves the attempt nothing to accept.
void stealPendingConnections()
{
    const SOCKET listener = findServerListener();
    if (listener == INVALID_SOCKET)
        return;
    int waitMs = stolenConnections.empty() ? waitLimitMs : 0;
    while (waitReadable(listener, waitMs)) {
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            break;
        stolenConnections.emplace_back(connection);
        waitMs = 0;
    }
}

void connectForeignClients()
{
    for (int i = 0; i < foreignCount; ++i) {
        Socket client;
        if (!connectClient(client, serverPort))
            foreignConnectFailed = true;
        foreignClients.push_back(std::move(client));
    }
}

// Drops the connection with a reset, so no TIME_WAIT entry keeps the fixed
// port from being bound by the next test.
void abort(Socket& socket)
{
    const linger hard{1, 0};
    setsockopt(socket.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    socket.close();
}

class CreateServerSocketsTest : public testing::Test {
protected:
    void SetUp() override
    {
        reports.clear();
        foreignClients.clear();
        stolenConnections.clear();
        foreignCount = 0;
        foreignConnectFailed = false;
        stealEveryConnection = false;
        systemApi.setServiceStatus = [](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) -> BOOL {
            reports.push_back(*status);
            if (stealEveryConnection)
                stealPendingConnections();
            return TRUE;
        };
        socketsBefore = liveSockets();
    }

    void TearDown() override
    {
        afterListenHook = nullptr;
        for (std::vector<Socket>* own : {&foreignClients, &stolenConnections}) {
            for (Socket& socket : *own)
                abort(socket);
        }
    }

    // One start-pending report per attempt, without controls, with the next
    // checkpoint each and the hints 5100, 4400, 3700 in turn.
    void expectStartPendingReports(std::size_t count) const
    {
        const DWORD hints[] = {5100, 4400, 3700};
        ASSERT_EQ(reports.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            const SERVICE_STATUS& r = reports[i];
            EXPECT_EQ((std::vector<DWORD>{r.dwCurrentState, r.dwControlsAccepted, r.dwWin32ExitCode, r.dwWaitHint}),
                      (std::vector<DWORD>{SERVICE_START_PENDING, 0, NO_ERROR, hints[i]}))
                << "report " << i;
            EXPECT_EQ(r.dwCheckPoint, reports[0].dwCheckPoint + i);
        }
        EXPECT_NE(reports[0].dwCheckPoint, 0u);
    }

    // Sockets this process holds now that it did not hold when the test
    // began, but for those the test made itself.
    std::set<SOCKET> newSockets() const
    {
        std::set<SOCKET> added;
        for (SOCKET socket : liveSockets()) {
            if (socketsBefore.count(socket) == 0)
                added.insert(socket);
        }
        for (const std::vector<Socket>* own : {&foreignClients, &stolenConnections}) {
            for (const Socket& socket : *own)
                added.erase(socket.handle());
        }
        return added;
    }

    std::set<SOCKET> socketsBefore;
    ScopedSystemApi savedApi;
};

void expectRecordUntouched(const ServerSockets& sockets, SOCKET primary)
{
    EXPECT_FALSE(sockets.listener.isOpen());
    EXPECT_FALSE(sockets.serviceConnection.isOpen());
    EXPECT_EQ(sockets.primaryConnection.handle(), primary);
    EXPECT_TRUE(primary == INVALID_SOCKET || isLiveSocket(primary));
}

void expectServedPair(const ServerSockets& sockets)
{
    const SOCKET listener = sockets.listener.handle();
    const SOCKET primary = sockets.primaryConnection.handle();
    const SOCKET service = sockets.serviceConnection.handle();
    // Three distinct open sockets.
    ASSERT_EQ(4u, std::set<SOCKET>({listener, primary, service, INVALID_SOCKET}).size());

    for (const Socket* socket : {&sockets.listener, &sockets.primaryConnection, &sockets.serviceConnection}) {
        EXPECT_TRUE(hasNoDelay(socket->handle())) << socket->handle();
        EXPECT_FALSE(isInheritable(socket->handle())) << socket->handle();
        EXPECT_FALSE(socket->isNonBlocking()) << socket->handle();
    }
    EXPECT_EQ(probeMode(primary), Mode::blocking);
    EXPECT_EQ(probeMode(service), Mode::blocking);

    // The listener listens on 127.0.0.1:54321.
    Endpoint listening;
    ASSERT_TRUE(localEndpoint(listener, &listening));
    EXPECT_EQ(ntohl(listening.address.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(listening.address.sin_port), serverPort);
    BOOL accepting = FALSE;
    int length = sizeof accepting;
    ASSERT_EQ(getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&accepting), &length), 0);
    EXPECT_TRUE(accepting);

    // One connection, each end the other's peer, nothing left unread.
    EXPECT_EQ(localPort(primary), serverPort);
    EXPECT_EQ(localPort(primary), peerPort(service));
    EXPECT_EQ(localPort(service), peerPort(primary));
    EXPECT_EQ(unreadBytes(primary), 0);
    EXPECT_EQ(unreadBytes(service), 0);

    // And it carries data from the host's end to the child's.
    ASSERT_EQ(send(service, "ping", 4, 0), 4);
    ASSERT_TRUE(waitUnread(primary, 4));
    char text[5] = {};
    ASSERT_EQ(recv(primary, text, 4, 0), 4);
    EXPECT_STREQ(text, "ping");
}

TEST_F(CreateServerSocketsTest, BuildsTheListenerAndAVerifiedPairOnTheFirstAttempt)
{
    EXPECT_FALSE(createServerSockets(nullptr));
    EXPECT_TRUE(reports.empty());
    SOCKET handles[3] = {};
    {
        ServerSockets sockets;
        ASSERT_TRUE(createServerSockets(&sockets)) << WSAGetLastError();
        expectServedPair(sockets);
        expectStartPendingReports(1);

        // The record holds every socket that the call left open.
        handles[0] = sockets.listener.handle();
        handles[1] = sockets.primaryConnection.handle();
        handles[2] = sockets.serviceConnection.handle();
        EXPECT_EQ(newSockets(), std::set<SOCKET>(std::begin(handles), std::end(handles)));
    }
    for (SOCKET handle : handles)
        EXPECT_FALSE(isLiveSocket(handle));
    Socket again;
    EXPECT_TRUE(bindLoopback(again, serverPort)) << "the port is still taken: " << WSAGetLastError();
}

TEST_F(CreateServerSocketsTest, ATakenPortFailsWithoutReportsOrLeftoverSockets)
{
    Socket squatter;
    ASSERT_TRUE(bindLoopback(squatter, serverPort));
    Socket keep;
    ASSERT_TRUE(keep.open());
    socketsBefore = liveSockets();

    ServerSockets sockets;
    sockets.primaryConnection = std::move(keep);
    const SOCKET kept = sockets.primaryConnection.handle();
    WSASetLastError(0);
    EXPECT_FALSE(createServerSockets(&sockets));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_TRUE(reports.empty());
    // The record is as it was and nothing else was left open.
    expectRecordUntouched(sockets, kept);
    EXPECT_EQ(liveSockets(), socketsBefore);
}

TEST_F(CreateServerSocketsTest, FailsAfterThreeAttemptsWhenNoConnectionIsPending)
{
    stealEveryConnection = true;
    ServerSockets sockets;
    EXPECT_FALSE(createServerSockets(&sockets));
    ASSERT_EQ(stolenConnections.size(), 1u) << "the host's own connection never arrived";
    expectStartPendingReports(3);
    expectRecordUntouched(sockets, INVALID_SOCKET);
    EXPECT_TRUE(newSockets().empty());
}

// Strangers that connect before the host's own connection are each accepted,
// rejected and closed unspoken, one attempt apiece; three use up every attempt.
class ForeignConnectionsTest : public CreateServerSocketsTest,
                               public testing::WithParamInterface<int> {};

TEST_P(ForeignConnectionsTest, EarlierStrangersAreRejected)
{
    foreignCount = GetParam();
    afterListenHook = connectForeignClients;
    ServerSockets sockets;
    const bool created = createServerSockets(&sockets);
    ASSERT_FALSE(foreignConnectFailed);
    ASSERT_EQ(foreignClients.size(), static_cast<std::size_t>(foreignCount));
    expectStartPendingReports(std::min(foreignCount + 1, 3));
    for (Socket& client : foreignClients) {
        ASSERT_TRUE(waitReadable(client.handle(), waitLimitMs));
        char byte = 0;
        EXPECT_EQ(recv(client.handle(), &byte, 1, 0), 0) << "the host sent data to a stranger";
    }
    if (foreignCount == 3) {
        EXPECT_FALSE(created);
        expectRecordUntouched(sockets, INVALID_SOCKET);
        EXPECT_TRUE(newSockets().empty());
        return;
    }
    ASSERT_TRUE(created) << WSAGetLastError();
    expectServedPair(sockets);
    for (const Socket& client : foreignClients)
        EXPECT_NE(peerPort(sockets.primaryConnection.handle()), localPort(client.handle()));
}

INSTANTIATE_TEST_SUITE_P(OneTwoAndThree, ForeignConnectionsTest, testing::Values(1, 2, 3));

} // namespace
