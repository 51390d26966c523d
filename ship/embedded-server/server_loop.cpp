#include "server_loop.h"

#include "server_log.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace {

constexpr int maxClients = 32;
// After the host's end closed: the host waits 5 s before it terminates us, so
// clients get less than that to finish.
constexpr auto clientDrainTime = std::chrono::milliseconds(2000);
// A listener that fails this many times in a row is broken, not busy.
constexpr int maxAcceptFailures = 100;

bool loopbackName(SOCKET socket, const char* what, std::string& problem)
{
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = WSAGetLastError();
        problem = std::string(what) + " is not a socket (" + std::to_string(error) + ")";
        return false;
    }
    if (!isLoopback(address)) {
        problem = std::string(what) + " is not on the loopback interface";
        return false;
    }
    return true;
}

void startClient(ScopedSocket client, ServerContext& context)
{
    {
        std::lock_guard<std::mutex> lock(context.clientsMutex);
        ++context.activeClients;
    }
    auto finished = [&context] {
        std::lock_guard<std::mutex> lock(context.clientsMutex);
        --context.activeClients;
        context.clientsDone.notify_all();
    };
    SOCKET raw = client.release();
    try {
        std::thread([raw, &context, finished] {
            serveClient(ScopedSocket(raw), context);
            finished();
        }).detach();
    } catch (const std::system_error& error) {
        logLine("cannot start a client thread: %s", error.what());
        closesocket(raw);
        finished();
    }
}

} // namespace

bool checkInheritedSockets(SOCKET listener, SOCKET connection, std::string& problem)
{
    // The file store has no authentication: it must not be reachable from
    // other machines.
    if (!loopbackName(listener, "the listener", problem) || !loopbackName(connection, "the connection", problem))
        return false;
    u_long pending = 0;
    if (ioctlsocket(connection, FIONREAD, &pending) != 0) {
        const int error = WSAGetLastError();
        problem = std::string("cannot look for unread data on the connection (") + std::to_string(error) + ")";
        return false;
    }
    if (pending != 0) {
        problem = std::string("the connection holds ") + std::to_string(pending) + " unread bytes";
        return false;
    }
    return true;
}

ScopedSocket listenOnLoopback(std::uint16_t port)
{
    ScopedSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener)
        return listener;
    BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
        sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || listen(listener.get(), SOMAXCONN) != 0) {
        const int error = WSAGetLastError();
        listener.reset();
        WSASetLastError(error);
    }
    return listener;
}

LoopResult runServerLoop(SOCKET listener, SOCKET hostConnection, bool ignoreClose, ServerContext& context)
{
    LoopResult result;
    bool watchHost = hostConnection != INVALID_SOCKET;
    int acceptFailures = 0;
    for (;;) {
        bool roomForClient;
        {
            std::lock_guard<std::mutex> lock(context.clientsMutex);
            roomForClient = context.activeClients < maxClients;
        }
        fd_set readable;
        FD_ZERO(&readable);
        if (roomForClient)
            FD_SET(listener, &readable);
        if (watchHost)
            FD_SET(hostConnection, &readable);
        if (readable.fd_count == 0) {
            Sleep(200);
            continue;
        }
        // Bounded, so that a client slot freed meanwhile is noticed.
        timeval limit{0, 200 * 1000};
        const int count = select(0, &readable, nullptr, nullptr, &limit);
        if (count == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            logLine("waiting for clients failed (%d)", error);
            result.failed = true;
            break;
        }
        if (watchHost && FD_ISSET(hostConnection, &readable)) {
            char byte;
            const int received = recv(hostConnection, &byte, 1, 0);
            // The host never writes: anything it sends is ignored. Its end
            // closing, or the connection breaking, means the host is done.
            if (received <= 0) {
                if (!ignoreClose)
                    break;
                logLine("the host closed its end; serving on as asked");
                watchHost = false;
            }
        }
        if (roomForClient && FD_ISSET(listener, &readable)) {
            ScopedSocket client(accept(listener, nullptr, nullptr));
            if (!client) {
                const int error = WSAGetLastError();
                // Harmless: a client gave up before we took it, or the
                // listener is non-blocking and someone else took it.
                if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAEINTR)
                    continue;
                logLine("accepting a client failed (%d)", error);
                if (++acceptFailures >= maxAcceptFailures) {
                    result.failed = true;
                    break;
                }
                continue;
            }
            acceptFailures = 0;
            startClient(std::move(client), context);
        }
    }

    context.stopping.store(true);
    std::unique_lock<std::mutex> lock(context.clientsMutex);
    result.clientsFinished
        = context.clientsDone.wait_for(lock, clientDrainTime, [&context] { return context.activeClients == 0; });
    return result;
}
