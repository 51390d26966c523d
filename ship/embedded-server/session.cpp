// One client connection: requests are read, answered and, while both sides
// want it, the connection is kept for the next one. Every step is an
// asynchronous operation with its own time limit, and every file read, write
// and flush runs on a worker, so that a slow disk never holds up the one
// thread that serves the clients and watches the host.
#include "server.h"

#include "TextConversion.h"
#include "UniqueHandle.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <functional>
#include <memory>

namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;
using namespace std::chrono_literals;

namespace {

// Request line plus headers; a client that needs more is refused with 431.
constexpr std::uint32_t maxHeadSize = 16 * 1024;
constexpr std::uint64_t maxUploadSize = 1ull << 30;
// The most one socket read or write moves. Under the select reactor every
// socket operation costs several wineserver round trips whatever its size, and
// Asio's own writes would move at most 64 KiB in one.
constexpr std::size_t chunkSize = std::size_t{1024} * 1024;
// After an answer with "Connection: close" the client gets this long to close
// first, so that TIME_WAIT stays on its side and not on the listening port.
constexpr auto clientCloseTime = 2000ms;
// Then, or at once for an idle connection we end, our side is shut down and
// the client's FIN awaited this long.
constexpr auto finWaitTime = 500ms;
// What a closing client may still send before we stop reading it.
constexpr std::size_t maxDiscarded = 1 << 20;
// How long a replace waits for readers of the old file.
constexpr auto replaceWaitTime = 2000ms;
// An upload's body and a file being sent must average at least this many
// bytes a second once the client timeout has passed since they began: a
// client may be slow, but it cannot keep its place for ever by trickling.
constexpr std::uint64_t minimumRate = std::uint64_t{64} * 1024;

using Response = http::response<http::string_body>;

Response text(http::status status, std::string body)
{
    Response response{status, 11};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

Response failure(http::status status, const char* allow = nullptr)
{
    Response response = text(status, std::string(http::obsolete_reason(status)) + "\n");
    if (allow != nullptr)
        response.set(http::field::allow, allow);
    return response;
}

// What a worker's read of a file being sent brings back.
struct FileRead {
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
};

// Lets one write move up to a chunk: Asio's own limit is 64 KiB.
std::size_t upToAChunk(const error_code& error, std::size_t)
{
    return error ? 0 : chunkSize;
}

// The client went away: nobody is left to answer.
bool clientLeft(const error_code& error)
{
    return error == http::error::end_of_stream || error == http::error::partial_message || error == asio::error::eof
        || error == asio::error::connection_reset || error == asio::error::connection_aborted;
}

} // namespace

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, ServerState& state)
        : mSocket(std::move(socket)),
          mTimer(mSocket.get_executor()),
          mState(state)
    {
        // Beast reads no more than the buffer's free room: without it, a body
        // would come in a few hundred bytes at a time.
        mBuffer.reserve(std::size_t{64} * 1024);
    }
    // Only the session's own things: the state may be gone when the
    // io_context destroys a session it still held.
    ~Session() { discardUpload(); }

    void stop()
    {
        if (mIdle)
            mSocket.cancel(mIgnored);
    }

    // A client beyond the cap is told at once to come back later, and its
    // connection ends.
    void refuse()
    {
        Response busy = failure(http::status::service_unavailable);
        busy.set(http::field::retry_after, "1");
        answer(std::move(busy), false, false, [this] { closeAfter(0ms, true); });
    }

    // The process is ending: an upload still in progress never gets its
    // name. A worker may still be writing or flushing it, so the file is only
    // marked for deletion (it was opened to allow that) and goes with the
    // process's handles.
    void abandon()
    {
        mSocket.close(mIgnored);
        if (!mTemporary.empty())
            DeleteFileW(mTemporary.c_str());
    }

    void nextRequest()
    {
        mHead.emplace();
        mHead->header_limit(maxHeadSize);
        mHead->body_limit(maxUploadSize);
        if (mBuffer.size() > 0)
            return readHead();
        if (mState.stopping)
            return closeAfter(0ms, true);
        // Between requests a stop may end the connection; once a request has
        // begun it is served to the end.
        mIdle = true;
        arm();
        mSocket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code error) {
            self->mIdle = false;
            self->disarm();
            if (!error)
                return self->readHead();
            if (self->mTimedOut || self->mState.stopping)
                return self->closeAfter(0ms, true);
            self->drop();
        });
    }

private:
    // The time limit of the operation about to start: when it passes, the
    // operation is cancelled and ends with mTimedOut set.
    void arm(Clock::time_point deadline)
    {
        mTimedOut = false;
        mTimer.expires_at(deadline);
        mTimer.async_wait([self = shared_from_this()](error_code error) {
            // A wait that fired just as its operation ended finds the timer moved on.
            if (!error && self->mTimer.expiry() <= Clock::now()) {
                self->mTimedOut = true;
                self->mSocket.cancel(self->mIgnored);
            }
        });
    }
    void arm() { arm(Clock::now() + mState.clientTimeout); }
    void disarm() { mTimer.expires_at(Clock::time_point::max()); }

    void beginTransfer()
    {
        mTransferStart = Clock::now();
        mTransferred = 0;
    }
    // Each step of a body has the client timeout, and the whole body no more
    // than the minimum rate allows.
    void armTransfer()
    {
        const auto earned = std::chrono::microseconds(static_cast<std::int64_t>(mTransferred * 1000000 / minimumRate));
        arm(std::min(Clock::now() + mState.clientTimeout, mTransferStart + mState.clientTimeout + earned));
    }

    // Runs work on a file worker and then done, with work's result, back on
    // the I/O thread.
    template <typename Work, typename Done>
    void onWorker(Work work, Done done)
    {
        auto back = asio::make_work_guard(mSocket.get_executor());
        asio::post(mState.workers,
                   [self = shared_from_this(), work = std::move(work), done = std::move(done),
                    back = std::move(back)]() mutable {
                       auto result = work();
                       asio::post(back.get_executor(),
                                  [self = std::move(self), done = std::move(done), result]() mutable { done(result); });
                   });
    }

    void readHead()
    {
        arm();
        http::async_read_header(mSocket, mBuffer, *mHead, [self = shared_from_this()](error_code error, std::size_t) {
            self->disarm();
            if (self->mTimedOut)
                return self->fail(http::status::request_timeout);
            if (error == http::error::header_limit)
                return self->fail(http::status::request_header_fields_too_large);
            if (error == http::error::body_limit)
                return self->fail(http::status::payload_too_large);
            if (clientLeft(error) || (error && error.category() == asio::error::get_system_category()))
                return self->drop();
            // Whatever else went wrong, the rest of the stream cannot be
            // trusted to be framed right.
            if (error)
                return self->fail(http::status::bad_request);
            self->route();
        });
    }

    void route()
    {
        const auto& request = mHead->get();
        const http::verb method = request.method();
        const bool headOnly = method == http::verb::head;
        const bool isGet = method == http::verb::get || headOnly;
        const bool wanted = request.keep_alive() && !mState.stopping;
        // Only an upload's body is read; after any other body nothing can be
        // framed, so that connection ends after the answer.
        const bool keepAlive = wanted && mHead->is_done();
        if (mHead->chunked()) // a body of unknown length: not worth finding its end
            return fail(http::status::length_required);
        const auto expect = request[http::field::expect];
        if (!expect.empty() && !beast::iequals(expect, "100-continue"))
            return fail(http::status::expectation_failed);

        std::string_view path = request.target();
        path = path.substr(0, path.find('?'));
        constexpr std::string_view filesPrefix = "/files/";
        if (path == "/arguments" || path == "/files" || path == filesPrefix) {
            if (!isGet)
                return answer(failure(http::status::method_not_allowed, "GET, HEAD"), keepAlive);
            std::string body = mState.argumentsBody;
            if (path != "/arguments" && !listFiles(mState.folder, body)) {
                logLine("cannot list the data folder");
                return answer(failure(http::status::internal_server_error), keepAlive, headOnly);
            }
            return answer(text(http::status::ok, std::move(body)), keepAlive, headOnly);
        }
        if (!path.starts_with(filesPrefix))
            return answer(failure(http::status::not_found), keepAlive, headOnly);
        const std::string name(path.substr(filesPrefix.size()));
        if (!isValidFileName(name))
            return answer(failure(http::status::bad_request), keepAlive, headOnly);
        if (isGet)
            return getFile(mState.folder / name, keepAlive, headOnly);
        if (method == http::verb::delete_)
            return deleteFile(mState.folder / name, keepAlive);
        if (method == http::verb::put)
            return putFile(name, wanted);
        answer(failure(http::status::method_not_allowed, "DELETE, GET, HEAD, PUT"), keepAlive);
    }

    // next, when given, runs once the head (headOnly) or the whole response
    // is sent; otherwise the connection goes on to the next request or closes.
    void answer(Response response, bool keepAlive, bool headOnly = false, std::function<void()> next = nullptr)
    {
        // A request that was in progress when the stop came is the connection's last.
        keepAlive = keepAlive && !mState.stopping;
        response.set(http::field::connection, keepAlive ? "keep-alive" : "close");
        auto message = std::make_shared<Response>(std::move(response));
        auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*message);
        if (!next)
            next = [this, keepAlive] { endResponse(keepAlive); };
        auto sent
            = [self = shared_from_this(), message, serializer, next = std::move(next)](error_code error, std::size_t) {
                  self->disarm();
                  if (error)
                      return self->drop();
                  next();
              };
        arm();
        if (headOnly)
            http::async_write_header(mSocket, *serializer, std::move(sent));
        else
            http::async_write(mSocket, *serializer, std::move(sent));
    }
    void fail(http::status status) { answer(failure(status), false); }

    // After a whole response: the next request, or the close.
    void endResponse(bool keepAlive)
    {
        if (keepAlive)
            return nextRequest();
        closeAfter(clientCloseTime, false);
    }

    void getFile(const fs::path& path, bool keepAlive, bool headOnly)
    {
        std::error_code ignored;
        if (!fs::is_regular_file(path, ignored))
            return answer(failure(http::status::not_found), keepAlive, headOnly);
        // Sharing delete lets a DELETE remove the file while it is being sent.
        mReading.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size{};
        if (!mReading || !GetFileSizeEx(mReading.get(), &size)) {
            const DWORD error = GetLastError();
            logLine("cannot open " + toUtf8(path.wstring()) + " (" + std::to_string(error) + ")");
            mReading.reset();
            return answer(failure(http::status::internal_server_error), keepAlive, headOnly);
        }
        Response head{http::status::ok, 11};
        head.set(http::field::content_type, "application/octet-stream");
        head.content_length(static_cast<std::uint64_t>(size.QuadPart));
        if (headOnly) {
            mReading.reset();
            return answer(std::move(head), keepAlive, true);
        }
        beginTransfer();
        answer(std::move(head), keepAlive, true,
               [this, size, keepAlive] { sendFile(static_cast<std::uint64_t>(size.QuadPart), keepAlive); });
    }

    void sendFile(std::uint64_t remaining, bool keepAlive)
    {
        if (remaining == 0) {
            mReading.reset();
            return endResponse(keepAlive);
        }
        const asio::mutable_buffer room = chunk(remaining);
        onWorker(
            [file = mReading.get(), room] {
                FileRead result;
                if (!ReadFile(file, room.data(), static_cast<DWORD>(room.size()), &result.bytes, nullptr)
                    || result.bytes == 0)
                    result.error = GetLastError();
                return result;
            },
            [this, remaining, keepAlive](FileRead read) {
                if (read.bytes == 0) {
                    // The promised length cannot be kept: only ending the
                    // connection tells the client that the body is incomplete.
                    logLine("cannot read a file being sent (" + std::to_string(read.error) + ")");
                    return drop();
                }
                armTransfer();
                asio::async_write(mSocket, asio::buffer(mChunk.get(), read.bytes), upToAChunk,
                                  [self = shared_from_this(), remaining, keepAlive](error_code error, std::size_t n) {
                                      self->disarm();
                                      self->mTransferred += n;
                                      if (error)
                                          return self->drop();
                                      self->sendFile(remaining - n, keepAlive);
                                  });
            });
    }

    void deleteFile(const fs::path& path, bool keepAlive)
    {
        std::error_code error;
        if (!fs::is_regular_file(path, error))
            return answer(failure(http::status::not_found), keepAlive);
        if (!fs::remove(path, error)) {
            logLine("cannot delete " + toUtf8(path.wstring()) + ": " + error.message());
            return answer(failure(error ? http::status::internal_server_error : http::status::not_found), keepAlive);
        }
        answer(Response{http::status::no_content, 11}, keepAlive);
    }

    void putFile(const std::string& name, bool keepAlive)
    {
        if (!mHead->content_length())
            return fail(http::status::length_required);
        mRemaining = *mHead->content_length();
        const bool expectsContinue = !mHead->get()[http::field::expect].empty();
        const fs::path temporary = newTemporaryPath(mState.folder);
        // Shared for delete, so that an upload abandoned at the end can be
        // removed while a worker still holds it.
        mUploading.reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!mUploading) {
            const DWORD error = GetLastError();
            logLine("cannot create " + toUtf8(temporary.wstring()) + " (" + std::to_string(error) + ")");
            return fail(http::status::internal_server_error); // the body stays unread: the connection ends
        }
        mTemporary = temporary;
        // A client that waits for "100 Continue" sends its body only then.
        if (!expectsContinue || mBuffer.size() >= mRemaining) {
            beginTransfer();
            return receiveBody(name, keepAlive);
        }
        static constexpr std::string_view goOn = "HTTP/1.1 100 Continue\r\n\r\n";
        arm();
        asio::async_write(mSocket, asio::buffer(goOn),
                          [self = shared_from_this(), name, keepAlive](error_code error, std::size_t) {
                              self->disarm();
                              if (error)
                                  return self->drop();
                              self->beginTransfer();
                              self->receiveBody(name, keepAlive);
                          });
    }

    // What the head's read already took in comes first, then the socket's
    // bytes, a chunk at a time, each written to the file before the next.
    void receiveBody(const std::string& name, bool keepAlive)
    {
        if (mRemaining == 0)
            return commit(name, keepAlive);
        if (mBuffer.size() > 0) {
            const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>(mBuffer.size(), mRemaining));
            return writeUpload(static_cast<const char*>(mBuffer.data().data()), bytes, [this, bytes, name, keepAlive] {
                mBuffer.consume(bytes);
                receiveBody(name, keepAlive);
            });
        }
        armTransfer();
        mSocket.async_read_some(chunk(mRemaining),
                                [self = shared_from_this(), name, keepAlive](error_code error, std::size_t bytes) {
                                    self->bodyReceived(name, keepAlive, error, bytes);
                                });
    }

    void bodyReceived(const std::string& name, bool keepAlive, error_code error, std::size_t bytes)
    {
        disarm();
        mTransferred += bytes;
        // A body cut short never reaches the name: the temporary file goes.
        if (mTimedOut || error)
            discardUpload();
        if (mTimedOut)
            return fail(http::status::request_timeout);
        if (error)
            return drop();
        writeUpload(mChunk.get(), bytes, [this, name, keepAlive] { receiveBody(name, keepAlive); });
    }

    void writeUpload(const char* bytes, std::size_t size, std::function<void()> next)
    {
        mRemaining -= size;
        onWorker(
            [file = mUploading.get(), bytes, size] {
                DWORD written = 0;
                if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr))
                    return GetLastError();
                return DWORD{ERROR_SUCCESS};
            },
            [this, next = std::move(next)](DWORD error) {
                if (error != ERROR_SUCCESS) {
                    logLine("cannot write an upload (" + std::to_string(error) + ")");
                    discardUpload();
                    return fail(http::status::internal_server_error);
                }
                next();
            });
    }

    void commit(const std::string& name, bool keepAlive)
    {
        // The data must be on disk before the rename makes it visible;
        // otherwise a power loss could leave the name pointing at a hole.
        onWorker(
            [file = mUploading.get(), delay = mState.flushDelay] {
                Sleep(static_cast<DWORD>(delay.count()));
                if (!FlushFileBuffers(file))
                    return GetLastError();
                return DWORD{ERROR_SUCCESS};
            },
            [this, name, keepAlive](DWORD error) {
                if (error != ERROR_SUCCESS) {
                    logLine("cannot flush an upload for " + name + " (" + std::to_string(error) + ")");
                    discardUpload();
                    return answer(failure(http::status::internal_server_error), keepAlive);
                }
                mUploading.reset();
                std::error_code ignored;
                rename(name, keepAlive, fs::exists(mState.folder / name, ignored), Clock::now() + replaceWaitTime);
            });
    }

    void rename(const std::string& name, bool keepAlive, bool replaced, Clock::time_point deadline)
    {
        onWorker(
            [from = mTemporary, to = mState.folder / name] {
                if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                    return GetLastError();
                return DWORD{ERROR_SUCCESS};
            },
            [this, name, keepAlive, replaced, deadline](DWORD error) {
                renamed(name, keepAlive, replaced, deadline, error);
            });
    }

    void renamed(const std::string& name, bool keepAlive, bool replaced, Clock::time_point deadline, DWORD error)
    {
        if (error == ERROR_SUCCESS) {
            mTemporary.clear();
            Response done{replaced ? http::status::no_content : http::status::created, 11};
            if (!replaced) {
                done.set(http::field::location, "/files/" + name);
                done.content_length(0);
            }
            return answer(std::move(done), keepAlive);
        }
        // An open reader blocks the replace until it closes the file. Moving
        // the old file aside instead would leave a moment without any file
        // under the name, and a crash then would lose both versions.
        const fs::path target = mState.folder / name;
        std::error_code ignored;
        const bool busy = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && replaced
            && !fs::is_directory(target, ignored);
        if (busy && Clock::now() < deadline) {
            mTimer.expires_after(50ms);
            mTimer.async_wait([self = shared_from_this(), name, keepAlive, deadline](error_code) {
                self->rename(name, keepAlive, true, deadline);
            });
            return;
        }
        discardUpload();
        logLine("cannot store " + name + " (" + std::to_string(error) + ")");
        Response response = failure(busy ? http::status::service_unavailable : http::status::internal_server_error);
        if (busy)
            response.set(http::field::retry_after, "1"); // worth a retry once the reader is done
        answer(std::move(response), keepAlive);
    }

    // Ends the connection so that, when possible, the client closes first:
    // waits up to clientFirst for its FIN (reading away what it still sends),
    // then shuts down our side and waits a little more.
    void closeAfter(Clock::duration clientFirst, bool shutDown)
    {
        if (shutDown)
            mSocket.shutdown(tcp::socket::shutdown_send, mIgnored);
        mDiscarded = 0;
        discardUntil(Clock::now() + (shutDown ? finWaitTime : clientFirst), shutDown);
    }

    void discardUntil(Clock::time_point deadline, bool shutDown)
    {
        arm(deadline);
        // Unread data at close makes the stack send RST, which can cut off
        // the answer the client has not read yet; so read to the end first.
        mSocket.async_read_some(chunk(std::uint64_t{64} * 1024), // a closing client rarely sends much
                                [self = shared_from_this(), deadline, shutDown](error_code error, std::size_t n) {
                                    self->disarm();
                                    self->mDiscarded += n;
                                    if (!error && self->mDiscarded <= maxDiscarded)
                                        return self->discardUntil(deadline, shutDown);
                                    if (shutDown || (error && !self->mTimedOut))
                                        return self->drop();
                                    self->closeAfter(0ms, true);
                                });
    }

    // Room for up to a chunk of the wanted bytes, and for no more, so that a
    // read never takes in what follows a body. The block grows to what the
    // connection has needed and is not filled: a zero-filled 1 MiB block for
    // every connection made a burst of short ones slower under Wine.
    // Only the I/O thread calls this, and never while a worker uses the block.
    asio::mutable_buffer chunk(std::uint64_t wanted)
    {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, chunkSize));
        if (size > mChunkSize) {
            mChunk = std::make_unique_for_overwrite<char[]>(size);
            mChunkSize = size;
        }
        return asio::buffer(mChunk.get(), size);
    }

    void drop()
    {
        disarm();
        mSocket.close(mIgnored);
        mReading.reset();
        discardUpload();
    }

    void discardUpload()
    {
        mUploading.reset(); // closes the file, so that it can be removed
        if (!mTemporary.empty()) {
            std::error_code ignored;
            fs::remove(mTemporary, ignored);
            mTemporary.clear();
        }
    }

    tcp::socket mSocket;
    asio::steady_timer mTimer;
    ServerState& mState;
    beast::flat_buffer mBuffer; // received, not yet parsed: may hold the next request
    std::optional<http::request_parser<http::empty_body>> mHead;
    ScopedHandle mUploading;
    fs::path mTemporary; // the upload's file until it has its name
    std::uint64_t mRemaining = 0; // of the upload's body
    ScopedHandle mReading;
    std::unique_ptr<char[]> mChunk; // see chunk()
    std::size_t mChunkSize = 0;
    Clock::time_point mTransferStart;
    std::uint64_t mTransferred = 0;
    std::size_t mDiscarded = 0;
    bool mIdle = false;
    bool mTimedOut = false;
    error_code mIgnored;
};

std::size_t ServerState::liveSessions()
{
    std::erase_if(sessions, [](const std::weak_ptr<Session>& session) { return session.expired(); });
    return sessions.size();
}

void startSession(tcp::socket socket, ServerState& state)
{
    auto session = std::make_shared<Session>(std::move(socket), state);
    state.sessions.push_back(session);
    session->nextRequest();
}

void refuseClient(tcp::socket socket, ServerState& state)
{
    std::make_shared<Session>(std::move(socket), state)->refuse();
}

void stopSessions(ServerState& state)
{
    for (const std::weak_ptr<Session>& weak : state.sessions) {
        if (const auto session = weak.lock())
            session->stop();
    }
}

void abandonSessions(ServerState& state)
{
    for (const std::weak_ptr<Session>& weak : state.sessions) {
        if (const auto session = weak.lock())
            session->abandon();
    }
}
