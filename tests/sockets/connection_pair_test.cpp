#include "ConnectionPair.h"
#include "socket_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

namespace {

Endpoint endpoint(std::uint16_t port, std::uint32_t address, std::uint32_t length = 16)
{
    Endpoint result;
    result.address.sin_family = AF_INET;
    result.address.sin_port = htons(port);
    result.address.sin_addr.s_addr = htonl(address);
    result.length = length;
    return result;
}

TEST(EndpointTest, MatchingNeedsTwoFullIpv4EndpointsWithEqualPortAndAddress)
{
    const Endpoint base = endpoint(50000, 0x7F000001);
    Endpoint otherZero = base;
    std::memset(otherZero.address.sin_zero, 0xAB, sizeof otherZero.address.sin_zero);
    Endpoint ipv6Family = base;
    ipv6Family.address.sin_family = AF_INET6;

    struct Row {
        const char* name;
        Endpoint a;
        Endpoint b;
        bool match;
    } rows[] = {
        {"same", base, base, true},
        {"sin_zero differs", base, otherZero, true},
        {"longer length still full", endpoint(50000, 0x7F000001, 28), base, true},
        {"port differs", base, endpoint(50001, 0x7F000001), false},
        {"address differs", base, endpoint(50000, 0x7F000002), false},
        {"first not full", endpoint(50000, 0x7F000001, 15), base, false},
        {"second not full", base, endpoint(50000, 0x7F000001, 0), false},
        {"wrong family", ipv6Family, base, false},
        {"both empty", Endpoint{}, Endpoint{}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(endpointsMatch(row.a, row.b), row.match);
        EXPECT_EQ(endpointsMatch(row.b, row.a), row.match);
    }
}

TEST(ElapsedTimeTest, MeasuresFromTheDifferenceOfTwoReadings)
{
    const std::int64_t frequency = 10'000'000;
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(0, frequency / 10, frequency), 100.0);
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(5, 5, frequency), 0.0);
    EXPECT_GT(elapsedMilliseconds(1000, 1000 + frequency / 10 + 1, frequency), 100.0);

    // Readings whose microsecond scaling no longer fits in 64 bits: a machine
    // up for a few weeks. The budget check must still see the true time.
    const std::int64_t overflowEdge = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(overflowEdge - 10, overflowEdge - 10 + frequency / 20, frequency), 50.0);
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(std::int64_t{1} << 62, (std::int64_t{1} << 62) + 2 * frequency, frequency),
                     2000.0);
}

TEST(TransferTest, WordsTravelLeastSignificantByteFirstAndExactlyFourBytesAtATime)
{
    LoopbackPair pair;
    ASSERT_TRUE(makeLoopbackPair(pair));
    ASSERT_TRUE(pair.connecting.setNonBlocking(true));
    ASSERT_TRUE(pair.accepted.setNonBlocking(true));

    ASSERT_TRUE(sendWord(pair.connecting.handle(), 0x04030201u));
    ASSERT_TRUE(waitUnread(pair.accepted.handle(), 4));
    char bytes[5] = {};
    ASSERT_EQ(recv(pair.accepted.handle(), bytes, 5, 0), 4);
    EXPECT_STREQ(bytes, "\x01\x02\x03\x04");

    // Two words waiting: one receive takes exactly the first.
    ASSERT_EQ(send(pair.accepted.handle(), "\x11\x22\x33\x44\x55\x66\x77\x88", 8, 0), 8);
    ASSERT_TRUE(waitUnread(pair.connecting.handle(), 8));
    std::uint32_t word = 0;
    ASSERT_TRUE(receiveWord(pair.connecting.handle(), word));
    EXPECT_EQ(word, 0x44332211u);
    EXPECT_EQ(unreadBytes(pair.connecting.handle()), 4);
}

TEST(TransferTest, AReceiveFromAClosedPeerFails)
{
    LoopbackPair pair;
    ASSERT_TRUE(makeLoopbackPair(pair));
    ASSERT_TRUE(pair.connecting.setNonBlocking(true));
    pair.accepted.close();
    ASSERT_TRUE(waitReadable(pair.connecting.handle(), waitLimitMs));
    const std::uint64_t sleepsBefore = transferSleepCount();
    std::uint32_t word = 0;
    EXPECT_FALSE(receiveWord(pair.connecting.handle(), word));
    EXPECT_EQ(transferSleepCount(), sleepsBefore) << "the end of the stream is final, not a reason to wait";
}

// Half a word arrives at once, the rest well after the receive has begun to
// wait for it: a receive that honours its 100 ms has given up by then.
TEST(TransferTest, AWordThatTakesLongerThan100MsIsNotTaken)
{
    LoopbackPair pair;
    ASSERT_TRUE(makeLoopbackPair(pair));
    ASSERT_TRUE(pair.connecting.setNonBlocking(true));
    ASSERT_EQ(send(pair.accepted.handle(), "\x78\x56", 2, 0), 2);
    ASSERT_TRUE(waitUnread(pair.connecting.handle(), 2));

    const std::uint64_t sleepsBefore = transferSleepCount();
    bool receiveWaited = false;
    std::thread sender([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitLimitMs);
        while (transferSleepCount() == sleepsBefore && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        receiveWaited = transferSleepCount() != sleepsBefore; // each would-block retry naps 1 ms
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        send(pair.accepted.handle(), "\x34\x12", 2, 0);
    });
    std::uint32_t word = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool received = receiveWord(pair.connecting.handle(), word);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    sender.join();
    ASSERT_TRUE(receiveWaited);
    EXPECT_FALSE(received);
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

class VerificationTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(makeLoopbackPair(pair));
        ASSERT_TRUE(pair.connecting.setNonBlocking(true));
        ASSERT_TRUE(pair.accepted.setNonBlocking(true));
    }

    SOCKET connecting() const { return pair.connecting.handle(); }
    SOCKET accepted() const { return pair.accepted.handle(); }

    LoopbackPair pair;
};

TEST_F(VerificationTest, TheTwoEndsOfOneConnectionPassAndNoByteIsLeftOver)
{
    EXPECT_TRUE(verifyConnectionPair(connecting(), accepted()));
    EXPECT_EQ(unreadBytes(connecting()), 0);
    EXPECT_EQ(unreadBytes(accepted()), 0);

    // Nothing more was sent: the next bytes each end reads are the peer's.
    ASSERT_EQ(send(connecting(), "abc", 3, 0), 3);
    ASSERT_TRUE(waitUnread(accepted(), 3));
    char text[4] = {};
    ASSERT_EQ(recv(accepted(), text, 4, 0), 3);
    EXPECT_STREQ(text, "abc");

    // Neither socket was closed or switched back to blocking.
    EXPECT_EQ(probeMode(connecting()), Mode::nonBlocking);
    EXPECT_EQ(probeMode(accepted()), Mode::nonBlocking);
}

TEST_F(VerificationTest, TwoDifferentConnectionsFailBeforeAnyByteIsSent)
{
    LoopbackPair other;
    ASSERT_TRUE(makeLoopbackPair(other));
    ASSERT_TRUE(other.connecting.setNonBlocking(true));
    ASSERT_TRUE(other.accepted.setNonBlocking(true));

    EXPECT_FALSE(verifyConnectionPair(connecting(), other.accepted.handle()));
    EXPECT_FALSE(verifyConnectionPair(other.connecting.handle(), accepted()));

    // Had a word gone out, it would reach one of these peers.
    EXPECT_FALSE(waitReadable(accepted(), 100));
    EXPECT_FALSE(waitReadable(other.connecting.handle(), 100));
    for (SOCKET end : {accepted(), connecting(), other.connecting.handle(), other.accepted.handle()})
        EXPECT_EQ(unreadBytes(end), 0);
}

TEST_F(VerificationTest, DataAlreadyWaitingFailsTheComparison)
{
    ASSERT_TRUE(sendWord(connecting(), 0x5A5A5A5A));
    ASSERT_TRUE(waitUnread(accepted(), 4));

    EXPECT_FALSE(verifyConnectionPair(connecting(), accepted()));
    // The accepted end read the stale word; the challenge sent after it is
    // still waiting, exactly one word of it.
    EXPECT_TRUE(waitUnread(accepted(), 4));
    EXPECT_EQ(unreadBytes(accepted()), 4);
    EXPECT_EQ(unreadBytes(connecting()), 0);
}

TEST_F(VerificationTest, EndsThatCannotTakePartFail)
{
    Socket unconnected;
    ASSERT_TRUE(unconnected.open());
    EXPECT_FALSE(verifyConnectionPair(unconnected.handle(), accepted()));
    EXPECT_FALSE(verifyConnectionPair(connecting(), unconnected.handle()));
    EXPECT_EQ(unreadBytes(accepted()), 0);

    ASSERT_EQ(shutdown(accepted(), SD_SEND), 0);
    EXPECT_FALSE(verifyConnectionPair(connecting(), accepted()));
}

} // namespace
