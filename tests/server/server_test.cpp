// The real quorvanta-embedded-server.exe, standalone on a port it picks and
// in server mode on sockets handed over as the host hands them.
#include "Process.h"
#include "UniqueHandle.h"
#include "test_child.h"

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

namespace {
namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Strings = std::vector<std::string>;
asio::io_context io;
const std::string serverExe = toUtf8(testChild::windowsPath(QUORVANTA_SERVER_EXE));
const auto loopback = asio::ip::address_v4::loopback();

DWORD exitCode(Process& server, DWORD timeoutMs = 10000) // 12345: still running
{
    const bool ended = WaitForSingleObject(server.processHandle(), timeoutMs) == WAIT_OBJECT_0 && !server.isRunning();
    return ended ? server.exitCode() : 12345;
}

struct Client { // raw bytes out, whole responses back; each wait at most 10 s
    tcp::socket socket{io, tcp::v4()};
    boost::beast::flat_buffer buffer;
    explicit Client(std::uint16_t port)
    {
        const DWORD timeoutMs = 10000;
        setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), 4);
        socket.connect({loopback, port});
    }
    void send(const std::string& bytes) { asio::write(socket, asio::buffer(bytes)); }
    http::response<http::string_body> receive(bool head = false)
    {
        http::response_parser<http::string_body> parser;
        parser.body_limit(boost::none);
        parser.skip(head);
        http::read(socket, buffer, parser);
        return parser.release();
    }
};

std::string request(const std::string& line, const std::string& body = "", const std::string& headers = "")
{
    const std::string length = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return line + " HTTP/1.1\r\nConnection: close\r\n" + length + headers + "\r\n" + body;
}

http::response<http::string_body> ask(std::uint16_t port, const std::string& bytes)
{
    Client client(port);
    client.send(bytes);
    return client.receive(bytes.starts_with("HEAD"));
}

std::string percentEncoded(const std::string& text)
{
    std::string encoded;
    for (const unsigned char c : text) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        encoded += std::isalnum(c) || std::strchr("-._~", c) ? std::string(1, static_cast<char>(c)) : escape;
    }
    return encoded;
}

// Standalone with --port=0: the port comes from its first line of output.
std::uint16_t startStandalone(ScopedHandle& process, const Strings& arguments)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output[2] = {};
    EXPECT_TRUE(CreatePipe(&output[0], &output[1], &inheritable, 0));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES; // else the console made for the child would take over
    startup.hStdOutput = startup.hStdError = output[1];
    std::wstring commandLine = buildCommandLine(std::string_view(), arguments);
    PROCESS_INFORMATION information{};
    EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &information));
    process.reset(information.hProcess);
    CloseHandle(information.hThread);
    CloseHandle(output[1]);
    char line[64] = {};
    DWORD size = 0;
    for (int i = 0; i < 200 && PeekNamedPipe(output[0], nullptr, 0, nullptr, &size, nullptr) && size == 0; ++i)
        Sleep(50);
    EXPECT_TRUE(size > 0 && ReadFile(output[0], line, sizeof line - 1, &size, nullptr));
    CloseHandle(output[0]);
    EXPECT_TRUE(std::string(line).starts_with("listening on 127.0.0.1:")) << line;
    return static_cast<std::uint16_t>(std::atoi(line + std::strlen("listening on 127.0.0.1:")));
}

TEST(Server, ServesFilesStandalone)
{
    testChild::TempDirectory folder;
    const std::wstring data = folder.file(L"data with space \u00E9");
    const std::wstring live = L"\\.upload-" + std::to_wstring(GetCurrentProcessId()) + L"-1.tmp";
    std::filesystem::create_directory(data);
    for (const std::wstring& leftover : {live, std::wstring(L"\\.upload-4294967292-1.tmp")})
        ASSERT_TRUE(testChild::writeFile(data + leftover, "partial"));
    ScopedHandle server;
    const Strings arguments{serverExe, "standalone", "--port=0", "--client-timeout=3000", "--data-dir=" + toUtf8(data)};
    const std::uint16_t port = startStandalone(server, arguments);
    std::string big(64 * 1024 * 1024 + 1, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 7919) >> 3);
    const struct {
        std::string request;
        unsigned status;
        std::string header = "", value = "";
        std::optional<std::string> body = std::nullopt;
    } steps[]{
        {request("PUT /files/a.txt", "hello"), 201, "Location", "/files/a.txt"},
        {request("PUT /files/a.txt", "replaced"), 204, "Content-Length", ""},
        {request("HEAD /files/a.txt"), 200, "Content-Length", "8", ""},
        {request("PUT /files/big.bin", big), 201},
        {request("GET /files/big.bin"), 200, "Content-Type", "application/octet-stream", big},
        {request("GET /files/"), 200, "", "", "a.txt\nbig.bin\n"},
        {request("DELETE /files/a.txt"), 204}, {request("DELETE /files/a.txt"), 404}, {request("GET /files/a.txt"), 404},
        {request("POST /files/a.txt"), 405, "Allow", "DELETE, GET, HEAD, PUT"},
        {request("PUT /arguments", "x"), 405, "Allow", "GET, HEAD"}, {request("GET /other"), 404},
        {request("GET /files/nul.txt"), 400}, {request("GET /files/.x"), 400}, {request("GET /files/a%2Fb"), 400},
        {request("PUT /files/x"), 411}, {request("PUT /files/x", "", "Content-Length: 1073741825\r\n"), 413},
        {request("GET /files/", "", "X: " + std::string(16 * 1024, 'x') + "\r\n"), 431},
        {"GET /files/a.txt HTTP/1.1\r\nHost: x\r\n", 408}, // a stalled head: --client-timeout
    };
    for (const auto& step : steps) {
        const auto response = ask(port, step.request);
        const std::string what = step.request.substr(0, 30);
        EXPECT_EQ(step.status, response.result_int()) << what;
        EXPECT_EQ(step.value, step.header.empty() ? step.value : std::string(response[step.header])) << what;
        EXPECT_TRUE(!step.body || *step.body == response.body()) << what << ": " << response.body().size() << " bytes";
    }
    EXPECT_TRUE(testChild::readFile(data + L"\\big.bin") == big) << "stored files are plain files";
    Client reader(port); // stalls 3 s with big.bin open, longer than a replace waits
    reader.send(request("GET /files/big.bin"));
    char head[1000];
    asio::read(reader.socket, asio::buffer(head));
    const auto replace = ask(port, request("PUT /files/big.bin", "new"));
    EXPECT_EQ(503u, replace.result_int());
    EXPECT_EQ("1", replace[http::field::retry_after]);
    Client pipelined(port); // a second request behind an upload's body in one write
    pipelined.send("PUT /files/p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /files/p HTTP/1.1\r\n\r\n");
    EXPECT_EQ("keep-alive", pipelined.receive()[http::field::connection]);
    EXPECT_EQ("abc", pipelined.receive().body());
    Client(port).send(request("PUT /files/cut", std::string(100, 'c')).substr(0, 90)); // cut short
    std::vector<std::unique_ptr<Client>> clients; // 32 at once, each in the middle of an upload
    for (int i = 0; i < 32; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->send("PUT /files/c" + std::to_string(i) + " HTTP/1.1\r\nContent-Length: 2\r\n\r\n");
    }
    for (auto& client : clients)
        client->send("ok");
    for (auto& client : clients)
        EXPECT_EQ(201u, client->receive().result_int());
    std::string expected;
    for (const std::string& argument : Strings(arguments.begin(), arguments.end()))
        expected += percentEncoded(argument) + "\n";
    EXPECT_EQ(expected, ask(port, request("GET /arguments")).body());
    Sleep(200); // the cut upload's end may still be on its way
    std::vector<std::wstring> uploads; // only the live run's is kept
    for (const auto& entry : std::filesystem::directory_iterator(data)) {
        if (entry.path().filename().wstring().starts_with(L".upload-") || entry.path().filename() == L"cut")
            uploads.push_back(entry.path().filename().wstring());
    }
    EXPECT_EQ(std::vector<std::wstring>{live.substr(1)}, uploads);
    TerminateProcess(server.get(), 0);
}

// What the host hands the server: a listener and one end of a loopback pair.
struct Host {
    tcp::acceptor listener;
    tcp::socket serverEnd{io}, hostEnd{io};
    explicit Host(asio::ip::address_v4 address = loopback) : listener(io, {address, 0})
    {
        tcp::acceptor pair(io, {loopback, 0});
        hostEnd.connect(pair.local_endpoint());
        pair.accept(serverEnd);
    }
    bool launch(Process& server, Strings arguments)
    {
        arguments.insert(arguments.end(), {"--pre-established-listener", std::to_string(listener.native_handle()),
            "--pre-established-connection", std::to_string(serverEnd.native_handle()),
            "--max-file-write-cache-size", "1073741824"});
        const bool launched = server.launch(arguments, {listener.native_handle(), serverEnd.native_handle()});
        listener.close(); // the host keeps only its own end
        serverEnd.close();
        return launched;
    }
};

TEST(Server, EndsWithZeroOnceTheHostClosesAndWithItsCodeOtherwise)
{
    testChild::TempDirectory folder;
    const std::string data = "--data-dir=" + folder.fileUtf8(L"data");
    Host host;
    Process server;
    const std::uint16_t port = host.listener.local_endpoint().port();
    ASSERT_TRUE(host.launch(server, {serverExe, "server", data}));
    Client idle(port); // kept alive, waiting for its next request when the host closes
    idle.send("PUT /files/x HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(201u, idle.receive().result_int());
    const auto closed = std::chrono::steady_clock::now();
    host.hostEnd.close();
    EXPECT_EQ(0u, exitCode(server, 5000)) << "still running (or failing) after the host closed its end";
    std::printf("the server ended %lld ms after the host's close\n", static_cast<long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closed).count()));

    ASSERT_TRUE(testChild::writeFile(folder.file(L"plain"), "x"));
    enum Sockets { none, loopbackOnes, anyAddress, unreadData };
    const struct {
        Strings arguments;
        Sockets sockets;
        DWORD code;
    } cases[]{
        {{"server", "--exit-at-once=5"}, loopbackOnes, 5}, {{"server", "--exit-at-once=-1"}, loopbackOnes, 0xFFFFFFFF},
        {{"server", "--exit-at-once=0xC0000005"}, loopbackOnes, 0xC0000005}, {{"server", "--crash"}, loopbackOnes, 0xC0000005},
        {{}, none, 1}, {{"serve"}, none, 1}, {{"server", "--verbose"}, loopbackOnes, 1},
        {{"server", "--exit-at-once=4294967296"}, loopbackOnes, 1}, {{"server", "--crash", "--crash"}, loopbackOnes, 1},
        {{"server", "--pre-established-listener", "12a", "--pre-established-connection", "1"}, none, 1},
        {{"server", data}, anyAddress, 7}, {{"server", data}, unreadData, 7},
        {{"server", data, "--pre-established-listener", "4000", "--pre-established-connection", "4004"}, none, 7},
        {{"server", "--data-dir=" + folder.fileUtf8(L"plain\\data")}, loopbackOnes, 7},
    };
    for (const auto& c : cases) {
        Strings arguments{serverExe};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        Host sockets(c.sockets == anyAddress ? asio::ip::address_v4::any() : loopback);
        if (c.sockets == unreadData) {
            sockets.hostEnd.send(asio::buffer("x", 1));
            for (int i = 0; i < 100 && sockets.serverEnd.available() == 0; ++i)
                Sleep(10);
        }
        Process child;
        ASSERT_TRUE(c.sockets == none ? child.launch(arguments, {}) : sockets.launch(child, arguments));
        EXPECT_EQ(c.code, exitCode(child)) << testing::PrintToString(c.arguments);
    }
}

} // namespace
