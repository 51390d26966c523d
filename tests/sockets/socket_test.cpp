#include "ServerSockets.h"
#include "Socket.h"
#include "socket_test_support.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

struct ErrorRow {
    int code;
    SocketError kind;
    int value;
};

const ErrorRow errorTable[] = {
    {WSAEINTR, SocketError::interrupted, 1},
    {WSAEBADF, SocketError::badDescriptor, 2},
    {WSAEACCES, SocketError::permissionDenied, 3},
    {WSAEWOULDBLOCK, SocketError::wouldBlock, 4},
    {WSAEINPROGRESS, SocketError::inProgress, 5},
    {WSAEALREADY, SocketError::alreadyInProgress, 6},
    {WSAEADDRINUSE, SocketError::addressInUse, 7},
    {WSAEADDRNOTAVAIL, SocketError::addressNotAvailable, 8},
    {WSAENETDOWN, SocketError::networkDown, 9},
    {WSAENETUNREACH, SocketError::networkUnreachable, 10},
    {WSAENETRESET, SocketError::networkReset, 11},
    {WSAECONNABORTED, SocketError::connectionAborted, 12},
    {WSAECONNRESET, SocketError::connectionReset, 13},
    {WSAENOBUFS, SocketError::noBufferSpace, 14},
    {WSAEISCONN, SocketError::alreadyConnected, 15},
    {WSAENOTCONN, SocketError::notConnected, 16},
    {WSAETIMEDOUT, SocketError::timedOut, 17},
    {WSAECONNREFUSED, SocketError::connectionRefused, 18},
    {WSAEHOSTDOWN, SocketError::hostDown, 19},
    {WSAEHOSTUNREACH, SocketError::hostUnreachable, 20},
    {WSAEFAULT, SocketError::invalidArgument, 21},
    {WSAEINVAL, SocketError::invalidArgument, 21},
    {WSAENOTSOCK, SocketError::invalidArgument, 21},
    // Neighbours of listed codes and codes from elsewhere are all "other".
    {0, SocketError::otherError, 22},
    {WSAEMSGSIZE, SocketError::otherError, 22},
    {WSAESHUTDOWN, SocketError::otherError, 22},
    {WSAEPROTONOSUPPORT, SocketError::otherError, 22},
    {WSASYSNOTREADY, SocketError::otherError, 22},
    {ERROR_ACCESS_DENIED, SocketError::otherError, 22},
    {-1, SocketError::otherError, 22},
};

TEST(SocketErrorTest, EveryWinsockCodeHasItsKind)
{
    for (const ErrorRow& row : errorTable) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(classifySocketError(row.code), row.kind);
        EXPECT_EQ(static_cast<int>(row.kind), row.value);

        // lastSocketError reads the thread's last error and leaves it alone.
        WSASetLastError(row.code);
        EXPECT_EQ(lastSocketError(), row.kind);
        EXPECT_EQ(WSAGetLastError(), row.code);
    }
}

TEST(SocketTest, OpenGivesASetUpSocketAndCloseEmptiesTheHolder)
{
    Socket socket;
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.handle(), INVALID_SOCKET);

    ASSERT_TRUE(socket.open());
    const SOCKET handle = socket.handle();
    EXPECT_TRUE(isLiveSocket(handle));
    EXPECT_TRUE(hasNoDelay(handle));
    EXPECT_FALSE(isInheritable(handle));
    EXPECT_FALSE(socket.isNonBlocking());

    ASSERT_TRUE(socket.setNonBlocking(true));
    socket.close();
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.isNonBlocking());
    EXPECT_FALSE(isLiveSocket(handle));

    // Closing an empty holder is harmless.
    socket.close();
    EXPECT_FALSE(socket.isOpen());
}

TEST(SocketTest, OpeningAHolderThatHoldsASocketDoesNotLeakIt)
{
    Socket socket;
    ASSERT_TRUE(socket.open());
    const std::set<SOCKET> before = liveSockets();
    ASSERT_TRUE(socket.open());
    const std::set<SOCKET> after = liveSockets();
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(after.count(socket.handle()), 1u);
}

TEST(SocketTest, MoveAssignmentTransfersOwnership)
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
    EXPECT_TRUE(isLiveSocket(moved));
    EXPECT_FALSE(isLiveSocket(replaced)) << "the target's own socket must be closed";

    // Self-assignment must not close what it would then take over.
    Socket& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target.handle(), moved);
    EXPECT_TRUE(target.isNonBlocking());
    EXPECT_TRUE(isLiveSocket(moved));

    Socket constructed(std::move(target));
    EXPECT_EQ(constructed.handle(), moved);
    EXPECT_TRUE(constructed.isNonBlocking());
    EXPECT_FALSE(target.isOpen());
    EXPECT_TRUE(isLiveSocket(moved));
}

TEST(SocketTest, ReleaseHandsOverWithoutClosing)
{
    Socket socket;
    ASSERT_TRUE(socket.open());
    ASSERT_TRUE(socket.setNonBlocking(true));
    const SOCKET handle = socket.handle();
    const SOCKET released = socket.release();
    EXPECT_EQ(released, handle);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.isNonBlocking());
    EXPECT_TRUE(isLiveSocket(released));
    closesocket(released);
}

TEST(SocketTest, SetNonBlockingSwitchesTheRealModeOnlyWhenItChanges)
{
    Socket empty;
    WSASetLastError(0);
    EXPECT_FALSE(empty.setNonBlocking(true));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_FALSE(empty.setNonBlocking(false));
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

    // Switched behind the holder's back: a request for the recorded mode must
    // make no system call, so the socket stays as it really is.
    u_long nonBlocking = 1;
    ASSERT_EQ(ioctlsocket(socket.handle(), FIONBIO, &nonBlocking), 0);
    EXPECT_TRUE(socket.setNonBlocking(false));
    EXPECT_EQ(probeMode(socket.handle()), Mode::nonBlocking);
}

TEST(ServerSocketsTest, DestructionClosesOnlyTheHeldSockets)
{
    Socket bystander;
    ASSERT_TRUE(bystander.open());
    SOCKET listener = INVALID_SOCKET;
    SOCKET service = INVALID_SOCKET;
    {
        ServerSockets sockets;
        ASSERT_TRUE(sockets.listener.open());
        ASSERT_TRUE(sockets.serviceConnection.open());
        listener = sockets.listener.handle();
        service = sockets.serviceConnection.handle();
        EXPECT_FALSE(sockets.primaryConnection.isOpen());
    }
    EXPECT_FALSE(isLiveSocket(listener));
    EXPECT_FALSE(isLiveSocket(service));
    EXPECT_TRUE(isLiveSocket(bystander.handle()));
}

} // namespace
