// The real quorvanta-embedded-server.exe, started the way the host starts it:
// with an inherited listener and one inherited end of a loopback pair. Only
// ephemeral ports are used.
#include "http_request.h"
#include "Process.h"
#include "test_child.h"
#include "test_sockets.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

const std::wstring serverPath = testChild::windowsPath(QUORVANTA_SERVER_EXE);

std::uint16_t portOf(SOCKET socket)
{
    sockaddr_in name{};
    int length = sizeof name;
    getsockname(socket, reinterpret_cast<sockaddr*>(&name), &length);
    return ntohs(name.sin_port);
}

// A socket of the test's own, never inherited by the server.
SOCKET newSocket()
{
    const SOCKET created = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SetHandleInformation(reinterpret_cast<HANDLE>(created), HANDLE_FLAG_INHERIT, 0);
    return created;
}

SOCKET listenOn(std::uint32_t host)
{
    const SOCKET listener = newSocket();
    sockaddr_in bound = testSockets::loopback(0);
    bound.sin_addr.s_addr = htonl(host);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 || listen(listener, SOMAXCONN) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

void closeSocket(SOCKET& socket)
{
    if (socket != INVALID_SOCKET)
        closesocket(socket);
    socket = INVALID_SOCKET;
}

// What the host hands the server: a listener and the accepted end of a
// loopback pair whose other end the host keeps.
struct HostSockets {
    SOCKET listener = INVALID_SOCKET;
    SOCKET serverEnd = INVALID_SOCKET;
    SOCKET hostEnd = INVALID_SOCKET;

    bool create(std::uint32_t listenerAddress = INADDR_LOOPBACK)
    {
        listener = listenOn(listenerAddress);
        SOCKET pairListener = listenOn(INADDR_LOOPBACK);
        hostEnd = newSocket();
        const sockaddr_in target = testSockets::loopback(portOf(pairListener));
        if (listener != INVALID_SOCKET && pairListener != INVALID_SOCKET
            && connect(hostEnd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
            serverEnd = accept(pairListener, nullptr, nullptr);
        closeSocket(pairListener);
        return serverEnd != INVALID_SOCKET;
    }
    ~HostSockets()
    {
        for (SOCKET* socket : {&listener, &serverEnd, &hostEnd})
            closeSocket(*socket);
    }

    Strings serverModeOptions() const
    {
        return {"--pre-established-listener", std::to_string(listener), "--pre-established-connection",
                std::to_string(serverEnd), "--max-file-write-cache-size", "1073741824"};
    }
};

// Starts the server as the host does: it inherits the two server sockets,
// and the test then keeps only its own end.
bool startServer(Process& server, Strings arguments, HostSockets* sockets)
{
    arguments.insert(arguments.begin(), toUtf8(serverPath));
    const bool started = server.launch(arguments, sockets == nullptr ? HandleSet{}
                                                                     : HandleSet{sockets->listener, sockets->serverEnd});
    EXPECT_TRUE(started) << "launch failed with " << GetLastError();
    if (sockets != nullptr) {
        closeSocket(sockets->listener);
        closeSocket(sockets->serverEnd);
    }
    return started;
}

// The exit code, or 12345 if it still runs after timeoutMs (the Process then
// ends it).
DWORD exitCodeWithin(Process& server, DWORD timeoutMs)
{
    HANDLE handle = server.processHandle();
    const bool ended = handle != nullptr && WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
    return ended && !server.isRunning() ? server.exitCode() : 12345;
}

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;

    std::string header(const std::string& name) const
    {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// A deliberately small HTTP client on a raw socket, so a test can also send
// what a well-behaved client never would (pipelined or cut requests).
class HttpClient {
public:
    explicit HttpClient(std::uint16_t port) : mSocket(newSocket())
    {
        const DWORD timeoutMs = 10000;
        setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
        const sockaddr_in server = testSockets::loopback(port);
        EXPECT_EQ(0, connect(mSocket, reinterpret_cast<const sockaddr*>(&server), sizeof server)) << WSAGetLastError();
    }
    ~HttpClient() { closesocket(mSocket); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    bool send(const std::string& bytes)
    {
        return ::send(mSocket, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }

    // One response; a HEAD response has no body whatever its length says.
    std::optional<HttpResponse> receive(bool toHead = false)
    {
        std::size_t end;
        while ((end = mPending.find("\r\n\r\n")) == std::string::npos) {
            if (!fill())
                return std::nullopt;
        }
        std::istringstream head(mPending.substr(0, end + 2));
        mPending.erase(0, end + 4);
        HttpResponse response;
        std::string version;
        std::string line;
        head >> version >> response.status;
        std::getline(head, line);
        while (std::getline(head, line) && line.find(':') != std::string::npos) {
            std::string name = line.substr(0, line.find(':'));
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            response.headers[name] = line.substr(line.find(':') + 2, line.size() - line.find(':') - 3);
        }
        const std::size_t length = toHead ? 0 : std::strtoull(response.header("content-length").c_str(), nullptr, 10);
        while (mPending.size() < length) {
            if (!fill())
                return std::nullopt;
        }
        response.body = mPending.substr(0, length);
        mPending.erase(0, length);
        return version == "HTTP/1.1" ? std::optional<HttpResponse>(response) : std::nullopt;
    }

private:
    bool fill()
    {
        char buffer[65536];
        const int received = recv(mSocket, buffer, sizeof buffer, 0);
        if (received > 0)
            mPending.append(buffer, static_cast<std::size_t>(received));
        return received > 0;
    }

    SOCKET mSocket;
    std::string mPending;
};

std::optional<HttpResponse> request(std::uint16_t port, const std::string& method, const std::string& target,
                                    const std::string& body = {})
{
    HttpClient client(port);
    const std::string length = method == "PUT" ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : "";
    if (!client.send(method + " " + target + " HTTP/1.1\r\nConnection: close\r\n" + length + "\r\n" + body))
        return std::nullopt;
    return client.receive(method == "HEAD");
}

int temporaryFiles(const std::wstring& folder)
{
    int count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        count += entry.path().filename().wstring().rfind(L".upload-", 0) == 0 ? 1 : 0;
    return count;
}

// One whole session, as the service runs it: files stored, fetched, listed
// and removed over HTTP, then the host closes its end and the server ends
// with 0. The data folder's name needs quoting and UTF-8 on its way.
TEST(ServerSession, ServesFilesThenEndsWhenTheHostCloses)
{
    testChild::TempDirectory folder;
    const std::wstring data = folder.file(L"data with space \u00E9");
    HostSockets sockets;
    ASSERT_TRUE(sockets.create()) << WSAGetLastError();
    const std::uint16_t port = portOf(sockets.listener);
    // A short client time limit, so that a stalled client is seen out quickly.
    Strings arguments{"server", "--data-dir=" + toUtf8(data), "--client-timeout=1000"};
    for (const std::string& option : sockets.serverModeOptions())
        arguments.push_back(option);
    Process server;
    ASSERT_TRUE(startServer(server, arguments, &sockets));

    std::string binary(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 7919) >> 3);
    const struct {
        const char* method;
        const char* target;
        std::string body;
        int status;
        std::optional<std::string> answer; // the body expected back, if any
    } steps[]{
        {"PUT", "/files/a.txt", "hello world", 201, ""},
        {"GET", "/files/a.txt", "", 200, "hello world"},
        {"PUT", "/files/a.txt", "replaced", 204, ""},
        {"PUT", "/files/big.bin", binary, 201, ""},
        {"GET", "/files/big.bin", "", 200, binary},
        {"HEAD", "/files/big.bin", "", 200, ""},
        {"GET", "/files/", "", 200, "a.txt\nbig.bin\n"},
        {"DELETE", "/files/a.txt", "", 204, ""},
        {"GET", "/files/a.txt", "", 404, std::nullopt},
        {"DELETE", "/files/a.txt", "", 404, std::nullopt},
        {"POST", "/files/x", "", 405, std::nullopt},
        {"GET", "/files/", "", 200, "big.bin\n"},
    };
    for (const auto& step : steps) {
        const std::string what = std::string(step.method) + " " + step.target;
        const std::optional<HttpResponse> r = request(port, step.method, step.target, step.body);
        ASSERT_TRUE(r) << what;
        EXPECT_EQ(step.status, r->status) << what;
        EXPECT_TRUE(!step.answer || *step.answer == r->body) << what << ": " << r->body.size() << " bytes differ";
        const std::map<int, std::pair<std::string, std::string>> header{
            {201, {"location", step.target}}, {204, {"content-length", ""}}, {405, {"allow", "DELETE, GET, HEAD, PUT"}}};
        if (header.count(step.status) != 0) {
            const auto& [name, value] = header.at(step.status);
            EXPECT_EQ(value, r->header(name)) << what << ": " << name;
        }
        if (std::string(step.method) == "HEAD") {
            EXPECT_EQ(std::to_string(binary.size()), r->header("content-length")) << what;
        }
    }
    EXPECT_TRUE(testChild::readFile(data + L"\\big.bin") == binary) << "stored files are plain files";

    // Two requests in one write on a kept-alive connection: the second must
    // not be lost in the buffer that held the first one's body.
    HttpClient pipelined(port);
    ASSERT_TRUE(pipelined.send("PUT /files/p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /files/p HTTP/1.1\r\n\r\n"));
    const std::optional<HttpResponse> put = pipelined.receive();
    const std::optional<HttpResponse> get = pipelined.receive();
    ASSERT_TRUE(put && get);
    EXPECT_EQ("keep-alive", put->header("connection"));
    EXPECT_EQ("abc", get->body);

    // An upload cut short by its client never reaches its name.
    {
        HttpClient cut(port);
        ASSERT_TRUE(cut.send("PUT /files/cut HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'c')));
    }
    // A client that stops in the middle of its request head is answered 408
    // and let go, instead of holding a server thread for ever.
    {
        HttpClient stalled(port);
        ASSERT_TRUE(stalled.send("GET /files/p HTTP/1.1\r\nHost: x\r\n"));
        const std::optional<HttpResponse> timedOut = stalled.receive();
        ASSERT_TRUE(timedOut) << "no answer to a stalled request head";
        EXPECT_EQ(408, timedOut->status);
    }
    // The server saw the command line as the host built it.
    const std::optional<HttpResponse> echoed = request(port, "GET", "/arguments");
    ASSERT_TRUE(echoed);
    std::string expected = percentEncode(toUtf8(serverPath)) + "\n";
    for (const std::string& argument : arguments)
        expected += percentEncode(argument) + "\n";
    EXPECT_EQ(expected, echoed->body);
    for (int i = 0; i < 40 && !temporaryFiles(data) == 0; ++i)
        Sleep(50);
    EXPECT_TRUE(temporaryFiles(data) == 0) << "a cut upload left its temporary file";
    EXPECT_EQ("big.bin\np\n", request(port, "GET", "/files/").value_or(HttpResponse{}).body);

    closeSocket(sockets.hostEnd);
    EXPECT_EQ(0u, exitCodeWithin(server, 5000)) << "a server still running (or failing) after the host closed its end";
}

enum class Host { none, loopback, anyAddress, staleData };

TEST(ServerExitCodes, MeanWhatTheHostReportsForThem)
{
    testChild::TempDirectory folder;
    const std::string data = "--data-dir=" + toUtf8(folder.file(L"data"));
    ASSERT_TRUE(testChild::writeFile(folder.file(L"plain"), "x"));
    const struct {
        const char* why;
        Strings arguments;
        Host host; // the server-mode options follow the arguments unless none
        DWORD code;
    } cases[]{
        {"unknown option", {"server", data, "--verbose"}, Host::loopback, 1},
        {"exit at once", {"server", data, "--exit-at-once=5"}, Host::loopback, 5},
        {"exit at once, hex", {"server", data, "--exit-at-once=0xC0000005"}, Host::loopback, 0xC0000005},
        {"crash", {"server", data, "--crash"}, Host::loopback, 0xC0000005},
        {"no arguments", {}, Host::none, 1},
        {"unknown mode", {"serve"}, Host::none, 1},
        {"handle not a number", {"server", "--pre-established-listener", "abc", "--pre-established-connection", "1"},
         Host::none, 1},
        {"no connection", {"server", "--pre-established-listener", "1"}, Host::none, 1},
        // Sockets it cannot trust, or nowhere to keep files.
        {"unread data on the connection", {"server", data}, Host::staleData, 7},
        {"listener on all interfaces", {"server", data}, Host::anyAddress, 7},
        {"handles that name no socket",
         {"server", data, "--pre-established-listener", "4000", "--pre-established-connection", "4004"}, Host::none, 7},
        {"data folder below a file", {"server", "--data-dir=" + toUtf8(folder.file(L"plain\\data"))}, Host::loopback, 7},
    };
    for (const auto& c : cases) {
        HostSockets sockets;
        Strings arguments = c.arguments;
        if (c.host != Host::none) {
            ASSERT_TRUE(sockets.create(c.host == Host::anyAddress ? INADDR_ANY : INADDR_LOOPBACK)) << c.why;
            for (const std::string& option : sockets.serverModeOptions())
                arguments.push_back(option);
        }
        if (c.host == Host::staleData) {
            ASSERT_EQ(1, send(sockets.hostEnd, "x", 1, 0));
            u_long pending = 0;
            for (int i = 0; i < 100 && pending == 0; ++i) {
                ioctlsocket(sockets.serverEnd, FIONREAD, &pending);
                Sleep(pending == 0 ? 10 : 0);
            }
            ASSERT_EQ(1u, pending) << c.why;
        }
        Process server;
        startServer(server, arguments, c.host == Host::none ? nullptr : &sockets);
        EXPECT_EQ(c.code, exitCodeWithin(server, 10000)) << c.why;
    }
}

} // namespace
