#include "Socket.h"
#include "socket_test_support.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(SocketErrorTest, EveryWinsockCodeHasItsKind)
{
    const std::pair<int, SocketError> table[] = {
        {WSAEINTR, SocketError::interrupted},
        {WSAEBADF, SocketError::badDescriptor},
        {WSAEACCES, SocketError::permissionDenied},
        {WSAEWOULDBLOCK, SocketError::wouldBlock},
        {WSAEINPROGRESS, SocketError::inProgress},
        {WSAEALREADY, SocketError::alreadyInProgress},
        {WSAEADDRINUSE, SocketError::addressInUse},
        {WSAEADDRNOTAVAIL, SocketError::addressNotAvailable},
        {WSAENETDOWN, SocketError::networkDown},
        {WSAENETUNREACH, SocketError::networkUnreachable},
        {WSAENETRESET, SocketError::networkReset},
        {WSAECONNABORTED, SocketError::connectionAborted},
        {WSAECONNRESET, SocketError::connectionReset},
        {WSAENOBUFS, SocketError::noBufferSpace},
        {WSAEISCONN, SocketError::alreadyConnected},
        {WSAENOTCONN, SocketError::notConnected},
        {WSAETIMEDOUT, SocketError::timedOut},
        {WSAECONNREFUSED, SocketError::connectionRefused},
        {WSAEHOSTDOWN, SocketError::hostDown},
        {WSAEHOSTUNREACH, SocketError::hostUnreachable},
        {WSAEFAULT, SocketError::invalidArgument},
        {WSAEINVAL, SocketError::invalidArgument},
        {WSAENOTSOCK, SocketError::invalidArgument},
        // Neighbours of listed codes and codes from elsewhere are all "other".
        {0, SocketError::otherError},
        {WSAEMSGSIZE, SocketError::otherError},
        {WSAESHUTDOWN, SocketError::otherError},
        {ERROR_ACCESS_DENIED, SocketError::otherError},
        {-1, SocketError::otherError},
    };
    for (const auto& [code, kind] : table) {
        EXPECT_EQ(classifySocketError(code), kind) << code;
        // lastSocketError reads the thread's last error and leaves it alone.
        WSASetLastError(code);
        EXPECT_EQ(lastSocketError(), kind) << code;
        EXPECT_EQ(WSAGetLastError(), code);
    }
}

TEST(SocketTest, OpenSetsUpTheSocketAndTheHolderOwnsItUntilCloseOrRelease)
{
    Socket socket;
    EXPECT_EQ(socket.handle(), INVALID_SOCKET);
    ASSERT_TRUE(socket.open());
    const SOCKET first = socket.handle();
    EXPECT_TRUE(hasNoDelay(first));
    EXPECT_FALSE(isInheritable(first));
    EXPECT_FALSE(socket.isNonBlocking());

    // Opening again replaces the socket without leaking the first.
    const std::set<SOCKET> before = liveSockets();
    ASSERT_TRUE(socket.open());
    EXPECT_EQ(liveSockets().size(), before.size());
    EXPECT_FALSE(isLiveSocket(first) && first != socket.handle());

    ASSERT_TRUE(socket.setNonBlocking(true));
    const SOCKET held = socket.handle();
    socket.close();
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.isNonBlocking());
    EXPECT_FALSE(isLiveSocket(held));
    socket.close(); // harmless on an empty holder
    EXPECT_FALSE(socket.isOpen());

    ASSERT_TRUE(socket.open());
    ASSERT_TRUE(socket.setNonBlocking(true));
    const SOCKET released = socket.release();
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.isNonBlocking());
    EXPECT_TRUE(isLiveSocket(released)) << "release must hand over, not close";
    closesocket(released);
}

TEST(SocketTest, MoveTransfersOwnershipAndClosesWhatTheTargetHeld)
{
    Socket source;
    Socket target;
    ASSERT_TRUE(source.open());
    ASSERT_TRUE(target.open());
    ASSERT_TRUE(source.setNonBlocking(true));
    const SOCKET moved = source.handle();
    const SOCKET replaced = target.handle();

    target = std::move(source);
    EXPECT_EQ(target.handle(), moved);
    EXPECT_TRUE(target.isNonBlocking());
    EXPECT_FALSE(source.isOpen());
    EXPECT_FALSE(source.isNonBlocking());
    EXPECT_FALSE(isLiveSocket(replaced)) << "the target's own socket must be closed";

    // Self-assignment must not close what it would then take over.
    Socket& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.handle(), moved);
    EXPECT_TRUE(target.isNonBlocking());

    Socket constructed(std::move(target));
    EXPECT_EQ(constructed.handle(), moved);
    EXPECT_TRUE(constructed.isNonBlocking());
    EXPECT_FALSE(target.isOpen());
    EXPECT_TRUE(isLiveSocket(moved));
}

TEST(SocketTest, SetNonBlockingSwitchesTheRealMode)
{
    Socket empty;
    WSASetLastError(0);
    EXPECT_FALSE(empty.setNonBlocking(true));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

    LoopbackPair pair;
    ASSERT_TRUE(makeLoopbackPair(pair));
    Socket& socket = pair.connecting;
    ASSERT_EQ(probeMode(socket.handle()), Mode::blocking);
    ASSERT_TRUE(socket.setNonBlocking(true));
    EXPECT_TRUE(socket.isNonBlocking());
    EXPECT_EQ(probeMode(socket.handle()), Mode::nonBlocking);
    ASSERT_TRUE(socket.setNonBlocking(false));
    EXPECT_FALSE(socket.isNonBlocking());
    EXPECT_EQ(probeMode(socket.handle()), Mode::blocking);
}

} // namespace
