#include "ServerSockets.h"

#include "ConnectionPair.h"

#include <utility>

namespace {

constexpr int attemptCount = 3;
constexpr INT pollTimeoutMs = 100;
constexpr DWORD firstWaitHintMs = 5100;
constexpr DWORD waitHintStepMs = 700;

// Error and hang-up bits are deliberately ignored: only a clean readable (or
// writable) state lets the attempt go on.
bool readableOnly(SHORT events)
{
    return (events & POLLRDNORM) != 0 && (events & POLLWRNORM) == 0;
}

bool writableOnly(SHORT events)
{
    return (events & POLLWRNORM) != 0 && (events & POLLRDNORM) == 0;
}

// True when the one descriptor became ready in exactly the wanted way within
// the timeout; a poll error counts as a timeout.
bool pollOne(SOCKET socket, SHORT wanted, bool (*classify)(SHORT))
{
    WSAPOLLFD descriptor{};
    descriptor.fd = socket;
    descriptor.events = wanted;
    return WSAPoll(&descriptor, 1, pollTimeoutMs) == 1 && classify(descriptor.revents);
}

// One wait for the host's own connection. True when the accepted holder and
// the connecting holder are the verified pair, both blocking again.
bool attemptPair(const Socket& listening, Socket& connecting, Socket& accepted)
{
    if (!pollOne(listening.handle(), POLLRDNORM, readableOnly))
        return false;

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    SOCKET incoming = INVALID_SOCKET;
    for (;;) {
        int peerLength = sizeof peer;
        incoming = accept(listening.handle(), reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (incoming != INVALID_SOCKET || WSAGetLastError() != WSAEINTR)
            break;
    }
    if (incoming == INVALID_SOCKET)
        return false;
    accepted = Socket(incoming);
    setUpSocket(accepted.handle());

    if (!accepted.setNonBlocking(true) || !pollOne(connecting.handle(), POLLWRNORM, writableOnly)
        || !verifyConnectionPair(connecting.handle(), accepted.handle()) || !connecting.setNonBlocking(false)
        || !accepted.setNonBlocking(false)) {
        accepted.close();
        return false;
    }
    return true;
}

} // namespace

ServerSockets::~ServerSockets()
{
    // The reverse of the order createServerSockets fills them in.
    serviceConnection.close();
    primaryConnection.close();
    listener.close();
}

bool createServerSockets(ServerSockets* target, const ServerSocketCalls& calls)
{
    if (target == nullptr)
        return false;

    // On failure these close as the function returns, the accepted end first;
    // the closes keep the Winsock last error for the caller.
    Socket listening;
    Socket connecting;
    Socket accepted;

    if (!listening.open() || !connecting.open() || !connecting.setNonBlocking(true))
        return false;

    // No address-reuse option: a port that someone else holds must make the
    // start fail rather than share the port with a stranger.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(serverPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listening.handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR)
        return false;
    if (calls.listen(listening.handle(), SOMAXCONN) == SOCKET_ERROR)
        return false;

    Endpoint listenerAddress;
    if (!localEndpoint(listening.handle(), &listenerAddress))
        return false;
    if (!isFullIpv4(listenerAddress)) {
        WSASetLastError(WSAEINVAL);
        return false;
    }

    if (connect(connecting.handle(), reinterpret_cast<const sockaddr*>(&listenerAddress.address),
                static_cast<int>(listenerAddress.length))
        == SOCKET_ERROR) {
        const SocketError error = lastSocketError();
        if (error != SocketError::wouldBlock && error != SocketError::inProgress)
            return false;
    }

    for (int attempt = 0; attempt < attemptCount; ++attempt) {
        if (calls.announceAttempt)
            calls.announceAttempt(firstWaitHintMs - waitHintStepMs * static_cast<DWORD>(attempt));
        if (attemptPair(listening, connecting, accepted)) {
            target->listener = std::move(listening);
            target->primaryConnection = std::move(accepted);
            target->serviceConnection = std::move(connecting);
            return true;
        }
    }
    // A wait that ran out or a stranger's connection sets no error of its own;
    // what is left is a stale one, at best the connect's WSAEWOULDBLOCK.
    const int error = WSAGetLastError();
    if (error == 0 || error == WSAEWOULDBLOCK)
        WSASetLastError(WSAETIMEDOUT);
    return false;
}
