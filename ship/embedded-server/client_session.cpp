#include "client_session.h"

#include "http_request.h"
#include "server_log.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t chunkSize = 64 * 1024;
// A small body on a request that takes none is read and dropped so the
// connection can go on; a larger one is not worth waiting for.
constexpr std::uint64_t maxDiscardedBody = 64 * 1024;
// After a response with "Connection: close": how long to wait for the client
// to close first, before we do.
constexpr DWORD closeWaitMs = 2000;
constexpr DWORD finWaitMs = 250;
// An idle connection that we end ourselves (stop, idle timeout): the client
// has nothing in flight, so shut down at once and wait a little for its FIN.
constexpr DWORD idleFinWaitMs = 500;

constexpr std::string_view textType = "Content-Type: text/plain; charset=utf-8\r\n";

class Session {
public:
    Session(ScopedSocket socket, ServerContext& context)
        : mSocket(std::move(socket))
        , mContext(context)
        , mChunk(chunkSize)
    {
    }

    void run();

private:
    bool readHead(ParseResult& parsed);
    // Each returns whether the connection may carry another request. When the
    // connection is beyond use, the socket has been dropped already.
    bool handle(const HttpRequest& request);
    bool discardBody(std::uint64_t length);
    bool putFile(const HttpRequest& request, const Route& route, bool keepAlive);
    bool getFile(const Route& route, bool keepAlive);
    bool deleteFile(const Route& route, bool keepAlive);
    bool listFiles(const Route& route, bool keepAlive);

    bool respond(int status, bool keepAlive, bool headOnly, std::string_view body, std::string_view extraHeaders = {});
    bool respondError(int status, bool keepAlive, bool headOnly, std::string_view extraHeaders = {});
    bool send(std::string_view data);
    void drop() { mSocket.reset(); }

    ScopedSocket mSocket;
    ServerContext& mContext;
    std::string mBuffer; // received but not yet consumed
    std::vector<char> mChunk;
};

void Session::run()
{
    u_long nonBlocking = 1;
    if (ioctlsocket(mSocket.get(), FIONBIO, &nonBlocking) != 0) {
        const int error = WSAGetLastError();
        logLine("cannot make a client socket non-blocking (%d)", error);
        return;
    }
    for (;;) {
        ParseResult parsed;
        if (!readHead(parsed))
            return;
        if (parsed.state == ParseState::failed) {
            // The rest of the stream cannot be trusted to be framed right.
            respondError(parsed.failureStatus, false, false);
            closeGracefully(mSocket, closeWaitMs, finWaitMs);
            return;
        }
        mBuffer.erase(0, parsed.headLength);
        const bool keepAlive = handle(parsed.request);
        if (!mSocket)
            return;
        if (!keepAlive) {
            closeGracefully(mSocket, closeWaitMs, finWaitMs);
            return;
        }
    }
}

bool Session::readHead(ParseResult& parsed)
{
    for (;;) {
        parsed = parseRequestHead(mBuffer);
        if (parsed.state != ParseState::incomplete)
            return true;
        // Between requests a stop may end the connection; once a request has
        // begun it is served to the end.
        const bool idle = mBuffer.find_first_not_of("\r\n") == std::string::npos;
        WaitResult wait = WaitResult::ready;
        const int received = receiveSome(mSocket.get(), mChunk.data(), mChunk.size(), mContext.clientTimeoutMs, &wait,
            idle ? &mContext.stopping : nullptr);
        if (received > 0) {
            mBuffer.append(mChunk.data(), static_cast<std::size_t>(received));
            continue;
        }
        if (received == 0) {
            // The client closed first, as it should: nothing left to do.
            drop();
        } else if (wait == WaitResult::stopped || (idle && wait == WaitResult::timedOut)) {
            closeGracefully(mSocket, 0, idleFinWaitMs);
        } else if (wait == WaitResult::timedOut) {
            respondError(408, false, false);
            closeGracefully(mSocket, closeWaitMs, finWaitMs);
        } else {
            drop();
        }
        return false;
    }
}

bool Session::handle(const HttpRequest& request)
{
    const Route route = routeRequest(request, mContext.maxBodySize);
    const bool headRequest = request.method == "HEAD";
    bool keepAlive = request.keepAlive && !mContext.stopping.load();

    if (route.action == Action::putFile)
        return putFile(request, route, keepAlive);

    // Every other request is answered without its body. The body must still
    // be consumed to find the next request; a client that waits for
    // "100 Continue" will never send it, so then the connection ends instead.
    const std::uint64_t bodyLength = request.contentLength.value_or(0);
    if (request.hasTransferEncoding) {
        // A body of unknown length follows: nothing after it can be framed.
        keepAlive = false;
    } else if (bodyLength > 0) {
        if (request.expectContinue || bodyLength > maxDiscardedBody || route.action == Action::reject)
            keepAlive = false;
        else if (!discardBody(bodyLength))
            return false;
    }

    switch (route.action) {
    case Action::reject:
        return respondError(route.status, keepAlive, headRequest,
            route.allow.empty() ? std::string() : std::string("Allow: ").append(route.allow).append("\r\n"));
    case Action::listFiles:
        return listFiles(route, keepAlive);
    case Action::getFile:
        return getFile(route, keepAlive);
    case Action::deleteFile:
        return deleteFile(route, keepAlive);
    case Action::showArguments:
        return respond(200, keepAlive, route.headOnly, mContext.argumentsBody, textType);
    case Action::putFile:
        break;
    }
    return false;
}

bool Session::discardBody(std::uint64_t length)
{
    const std::size_t buffered = static_cast<std::size_t>(std::min<std::uint64_t>(length, mBuffer.size()));
    mBuffer.erase(0, buffered);
    length -= buffered;
    while (length > 0) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, mChunk.size()));
        const int received = receiveSome(mSocket.get(), mChunk.data(), wanted, mContext.clientTimeoutMs);
        if (received <= 0) {
            drop();
            return false;
        }
        length -= static_cast<std::uint64_t>(received);
    }
    return true;
}

bool Session::putFile(const HttpRequest& request, const Route& route, bool keepAlive)
{
    const std::uint64_t length = *request.contentLength;
    FileUpload upload = mContext.store.beginUpload(route.name);
    if (!upload.isOpen()) {
        const DWORD error = GetLastError();
        logLine("cannot create a temporary file for %s (%lu)", route.name.c_str(), error);
        // The body stays unread, so this connection has to end.
        return respondError(500, false, false);
    }
    if (request.expectContinue && mBuffer.size() < length && !send("HTTP/1.1 100 Continue\r\n\r\n"))
        return false;

    std::uint64_t remaining = length;
    DWORD writeError = ERROR_SUCCESS;
    const std::size_t buffered = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, mBuffer.size()));
    if (!upload.append(mBuffer.data(), buffered))
        writeError = GetLastError();
    mBuffer.erase(0, buffered);
    remaining -= buffered;

    while (remaining > 0 && writeError == ERROR_SUCCESS) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, mChunk.size()));
        WaitResult wait = WaitResult::ready;
        const int received = receiveSome(mSocket.get(), mChunk.data(), wanted, mContext.clientTimeoutMs, &wait);
        if (received <= 0) {
            // The upload is dropped with the temporary file: a half-sent body
            // never reaches the name.
            if (received < 0 && wait == WaitResult::timedOut)
                return respondError(408, false, false);
            drop();
            return false;
        }
        if (!upload.append(mChunk.data(), static_cast<std::size_t>(received)))
            writeError = GetLastError();
        remaining -= static_cast<std::uint64_t>(received);
    }
    if (writeError != ERROR_SUCCESS) {
        logLine("cannot write an upload for %s (%lu)", route.name.c_str(), writeError);
        return respondError(500, false, false);
    }

    bool replaced = false;
    if (!upload.commit(replaced)) {
        const DWORD error = GetLastError();
        logLine("cannot store %s (%lu)", route.name.c_str(), error);
        // Someone is still downloading the old contents: worth a retry.
        if (error == ERROR_SHARING_VIOLATION)
            return respondError(503, keepAlive, false, "Retry-After: 1\r\n");
        return respondError(500, keepAlive, false);
    }
    if (replaced)
        return respond(204, keepAlive, false, {});
    return respond(201, keepAlive, false, {}, std::string("Location: /files/").append(route.name).append("\r\n"));
}

bool Session::getFile(const Route& route, bool keepAlive)
{
    std::uint64_t size = 0;
    ScopedHandle file = mContext.store.openForReading(route.name, size);
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return respondError(404, keepAlive, route.headOnly);
        logLine("cannot open %s (%lu)", route.name.c_str(), error);
        return respondError(500, keepAlive, route.headOnly);
    }
    if (!send(responseHead(200, size, keepAlive, "Content-Type: application/octet-stream\r\n")))
        return false;
    if (route.headOnly)
        return keepAlive;
    std::uint64_t remaining = size;
    while (remaining > 0) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(remaining, mChunk.size()));
        DWORD read = 0;
        if (!ReadFile(file.get(), mChunk.data(), wanted, &read, nullptr) || read == 0) {
            const DWORD error = GetLastError();
            // The promised length cannot be kept: only ending the connection
            // tells the client that the body is incomplete.
            logLine("cannot read %s (%lu)", route.name.c_str(), error);
            drop();
            return false;
        }
        if (!send(std::string_view(mChunk.data(), read)))
            return false;
        remaining -= read;
    }
    return keepAlive;
}

bool Session::deleteFile(const Route& route, bool keepAlive)
{
    if (mContext.store.remove(route.name))
        return respond(204, keepAlive, false, {});
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return respondError(404, keepAlive, false);
    logLine("cannot delete %s (%lu)", route.name.c_str(), error);
    return respondError(500, keepAlive, false);
}

bool Session::listFiles(const Route& route, bool keepAlive)
{
    std::vector<std::string> names;
    if (!mContext.store.list(names)) {
        const DWORD error = GetLastError();
        logLine("cannot list the data folder (%lu)", error);
        return respondError(500, keepAlive, route.headOnly);
    }
    std::string body;
    for (const std::string& name : names)
        body += name + "\n";
    return respond(200, keepAlive, route.headOnly, body, textType);
}

bool Session::respond(int status, bool keepAlive, bool headOnly, std::string_view body, std::string_view extraHeaders)
{
    std::string message = responseHead(status, body.size(), keepAlive, extraHeaders);
    if (!headOnly && status != 204)
        message += body;
    return send(message) && keepAlive;
}

bool Session::respondError(int status, bool keepAlive, bool headOnly, std::string_view extraHeaders)
{
    const std::string headers = std::string(textType) + std::string(extraHeaders);
    return respond(status, keepAlive, headOnly, std::string(reasonPhrase(status)) + "\n", headers);
}

bool Session::send(std::string_view data)
{
    if (mSocket && sendAll(mSocket.get(), data, mContext.clientTimeoutMs))
        return true;
    drop();
    return false;
}

} // namespace

void serveClient(ScopedSocket socket, ServerContext& context)
{
    Session(std::move(socket), context).run();
}
