// The proof that two sockets are one connection, the socket owner, and the server socket set, all on
// loopback. Every wait has a time limit.
#include "ConnectionPair.h"
#include "ServerSockets.h"
#include "test_sockets.h"
#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

namespace {
using testSockets::name;

long unreadBytes(SOCKET socket)
{
    u_long count = 0;
    if (ioctlsocket(socket, FIONREAD, &count) != 0)
        return -1;
    return static_cast<long>(count);
}

// Bytes travel through the loopback asynchronously: gives them up to 2 s to arrive.
long unreadBytesOnceAtLeast(SOCKET socket, long wanted)
{
    for (int waited = 0; waited < 2000 && unreadBytes(socket) < wanted; ++waited)
        Sleep(1);
    return unreadBytes(socket);
}

bool becomesReadable(SOCKET socket, int timeoutMs)
{
    WSAPOLLFD descriptor{socket, POLLRDNORM, 0};
    return WSAPoll(&descriptor, 1, timeoutMs) == 1;
}

bool connectToListener(Socket& client, SOCKET listener)
{
    sockaddr_in address{};
    int length = sizeof address;
    if (!client.open() || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    return connect(client.handle(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// The two ends of one loopback connection, non-blocking as the host verifies them.
class ConnectionPairTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mListening.isOpen());
        ASSERT_TRUE(connectToListener(mConnecting, mListening.handle()));
        mAccepted = Socket(accept(mListening.handle(), nullptr, nullptr));
        ASSERT_TRUE(mConnecting.setNonBlocking(true));
        ASSERT_TRUE(mAccepted.setNonBlocking(true));
    }

    Socket mListening{testSockets::listenOn(0)};
    Socket mConnecting;
    Socket mAccepted;
};

TEST_F(ConnectionPairTest, TheTwoEndsOfOneConnectionAreVerifiedAndNothingIsLeftUnread)
{
    EXPECT_TRUE(verifyConnectionPair(mConnecting.handle(), mAccepted.handle()));
    EXPECT_EQ(0, unreadBytes(mConnecting.handle()));
    EXPECT_EQ(0, unreadBytes(mAccepted.handle()));
}

TEST_F(ConnectionPairTest, AWordCompletedLaterThan100MsIsRefused)
{
    ASSERT_EQ(2, send(mAccepted.handle(), "\x78\x56", 2, 0));
    ASSERT_EQ(2, unreadBytesOnceAtLeast(mConnecting.handle(), 2));
    std::thread lateHalf([this] {
        Sleep(300);
        send(mAccepted.handle(), "\x34\x12", 2, 0);
    });
    std::uint32_t word = 0;
    EXPECT_FALSE(receiveWord(mConnecting.handle(), word));
    lateHalf.join();
}

// Bytes already waiting on one end stand for a stream that is not the pair's own.
TEST_F(ConnectionPairTest, BytesAlreadyWaitingAreNotTakenForTheChallenge)
{
    ASSERT_EQ(2, send(mAccepted.handle(), "\x78\x56", 2, 0));
    ASSERT_EQ(2, unreadBytesOnceAtLeast(mConnecting.handle(), 2));
    EXPECT_FALSE(verifyConnectionPair(mConnecting.handle(), mAccepted.handle()));
}

// Scaling the raw readings to microseconds first overflows once the counter passes about 9.2e12 ticks.
TEST(ElapsedMilliseconds, ComesFromTheDifferenceOfReadingsPastTheScalingOverflow)
{
    const std::int64_t frequency = 10'000'000;
    const std::int64_t start = std::numeric_limits<std::int64_t>::max() / 1'000'000 - 10;
    EXPECT_DOUBLE_EQ(50.0, elapsedMilliseconds(start, start + frequency / 20, frequency));
}

TEST(Socket, OpeningAgainClosesTheSocketItHeld)
{
    Socket socket;
    ASSERT_TRUE(socket.open());
    const std::size_t held = testSockets::heldSockets().size();
    ASSERT_TRUE(socket.open());
    EXPECT_EQ(held, testSockets::heldSockets().size());
}

// The set's sockets close between a failing call and the caller's look at the error.
TEST(Socket, AFailingCloseKeepsTheCallersError)
{
    Socket notASocket(0x7FFC);
    WSASetLastError(WSAEADDRINUSE);
    notASocket.close();
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
}

bool isInheritable(SOCKET socket)
{
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

bool hasNoDelay(SOCKET socket)
{
    DWORD noDelay = 0;
    int length = sizeof noDelay;
    return getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length) == 0
        && noDelay != 0;
}

// A blocking socket waits out its receive timeout; a non-blocking one answers at once.
bool isBlocking(SOCKET socket)
{
    const DWORD timeoutMs = 50;
    char byte = 0;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    return recv(socket, &byte, 1, 0) == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT;
}

// A set created with no one else on the port.
class ServerSocketSetTest : public testing::Test {
protected:
    void SetUp() override
    {
        ServerSocketCalls calls;
        calls.announceAttempt = [](DWORD) {};
        ASSERT_TRUE(createServerSockets(&mSockets, calls)) << WSAGetLastError();
    }

    ServerSockets mSockets;
};

TEST_F(ServerSocketSetTest, ListensOnTheServerPortWithBothEndsOfItsConnectionToIt)
{
    EXPECT_EQ("127.0.0.1:54321", name(mSockets.listener.handle()));
    EXPECT_EQ("127.0.0.1:54321", name(mSockets.primaryConnection.handle()));
    EXPECT_EQ(name(mSockets.serviceConnection.handle()), name(mSockets.primaryConnection.handle(), true));
    EXPECT_EQ(0, unreadBytes(mSockets.primaryConnection.handle())) << "the challenge was not read whole";
}

TEST_F(ServerSocketSetTest, EverySocketIsNonInheritableAndSendsWithoutDelay)
{
    for (const Socket* socket : {&mSockets.listener, &mSockets.primaryConnection, &mSockets.serviceConnection}) {
        SCOPED_TRACE(name(socket->handle()) + " peer " + name(socket->handle(), true));
        EXPECT_FALSE(isInheritable(socket->handle()));
        EXPECT_TRUE(hasNoDelay(socket->handle()));
    }
}

TEST_F(ServerSocketSetTest, BothEndsOfItsConnectionAreBlockingAgain)
{
    EXPECT_TRUE(isBlocking(mSockets.primaryConnection.handle()));
    EXPECT_TRUE(isBlocking(mSockets.serviceConnection.handle()));
}

// Who else reaches the listener before the host's own connection is accepted.
struct Road {
    const char* name;
    int strangersBeforeOwnConnection; // connected between the host's listen and its connect
    bool ownConnectionTakenAway; // accepted by someone else before the host's first attempt
    bool portHeldElsewhere;
    bool created;
    int error; // the Winsock last error after a failure
    std::vector<DWORD> announcedWaitHints;
};

void PrintTo(const Road& road, std::ostream* out)
{
    *out << road.name;
}

const Road roads[] = {
    {"OwnConnectionFirst", 0, false, false, true, 0, {5100}},
    {"OneStrangerFirst", 1, false, false, true, 0, {5100, 4400}},
    {"TwoStrangersFirst", 2, false, false, true, 0, {5100, 4400, 3700}},
    {"ThreeStrangersUseUpEveryAttempt", 3, false, false, false, WSAETIMEDOUT, {5100, 4400, 3700}},
    {"OwnConnectionNeverArrives", 0, true, false, false, WSAETIMEDOUT, {5100, 4400, 3700}},
    {"PortHeldElsewhere", 0, false, true, false, WSAEADDRINUSE, {}},
};

// Each stranger is accepted, found out by its address and closed, one attempt apiece, without
// ever being sent a byte; a failure leaves the caller's record as it was and no socket behind.
class ServerSocketRoadTest : public testing::TestWithParam<Road> {
protected:
    void SetUp() override
    {
        mCalls.announceAttempt = [this](DWORD waitHintMs) {
            mAnnouncedWaitHints.push_back(waitHintMs);
            // The host has connected by its first announcement.
            if (GetParam().ownConnectionTakenAway && mAnnouncedWaitHints.size() == 1
                && becomesReadable(mListener, 2000))
                mOthersEnds.emplace_back(accept(mListener, nullptr, nullptr));
        };
        mCalls.listen = [this](SOCKET socket, int backlog) {
            const int result = ::listen(socket, backlog);
            mListener = socket;
            for (int i = 0; i < GetParam().strangersBeforeOwnConnection; ++i)
                connectToListener(mOthersEnds.emplace_back(), socket);
            return result;
        };
    }

    void TearDown() override
    {
        // Reset rather than closed, so that no TIME_WAIT keeps the fixed port from the next road.
        const linger reset{1, 0};
        for (Socket& end : mOthersEnds)
            setsockopt(end.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    }

    ServerSocketCalls mCalls;
    SOCKET mListener = INVALID_SOCKET;
    std::vector<Socket> mOthersEnds;
    std::vector<DWORD> mAnnouncedWaitHints;
};

TEST_P(ServerSocketRoadTest, EndsInAVerifiedSetOrInAnUnchangedRecordAndNothingLeftOpen)
{
    const Road& road = GetParam();
    Socket squatter(road.portHeldElsewhere ? testSockets::listenOn(serverPort) : INVALID_SOCKET);
    ASSERT_EQ(road.portHeldElsewhere, squatter.isOpen());
    Socket callersSocket;
    ASSERT_TRUE(callersSocket.open());
    const SOCKET callersHandle = callersSocket.handle();
    std::vector<SOCKET> heldBefore = testSockets::heldSockets();
    std::erase(heldBefore, callersHandle); // it goes with the record

    {
        ServerSockets sockets;
        sockets.primaryConnection = std::move(callersSocket);
        const bool created = createServerSockets(&sockets, mCalls);
        const int error = WSAGetLastError();

        EXPECT_EQ(road.created, created);
        if (!road.created) {
            EXPECT_EQ(road.error, error);
            EXPECT_FALSE(sockets.listener.isOpen());
            EXPECT_EQ(callersHandle, sockets.primaryConnection.handle());
            EXPECT_FALSE(sockets.serviceConnection.isOpen());
        }
        EXPECT_EQ(road.announcedWaitHints, mAnnouncedWaitHints);
        for (const Socket& end : mOthersEnds) {
            char byte = 0;
            ASSERT_TRUE(becomesReadable(end.handle(), 2000)) << "a stranger's connection was left open";
            EXPECT_EQ(0, recv(end.handle(), &byte, 1, 0)) << "a stranger was sent data";
        }
    }

    std::vector<SOCKET> heldAfter = testSockets::heldSockets();
    for (const Socket& end : mOthersEnds)
        std::erase(heldAfter, end.handle());
    EXPECT_TRUE(std::includes(heldBefore.begin(), heldBefore.end(), heldAfter.begin(), heldAfter.end()))
        << "a socket was left open";
}

INSTANTIATE_TEST_SUITE_P(Roads, ServerSocketRoadTest, testing::ValuesIn(roads),
                         [](const testing::TestParamInfo<Road>& info) { return std::string(info.param.name); });
} // namespace
