// The real quorvanta-embedded-server.exe, standalone and on sockets handed over as the host hands them.
#include "Process.h"
#include "test_child.h"
#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/process/child.hpp>
#include <boost/process/io.hpp>
#include <gtest/gtest.h>
#include <random>
namespace {
namespace http = boost::beast::http;
using boost::asio::buffer;
using boost::asio::ip::address_v4;
using tcp = boost::asio::ip::tcp;
boost::asio::io_context io;
const std::string serverExe = toUtf8(testChild::windowsPath(QUORVANTA_SERVER_EXE));
struct Client : tcp::socket { // each wait at most 10 s
    boost::beast::flat_buffer received;
    explicit Client(std::uint16_t port) : tcp::socket(io, tcp::v4())
    {
        const DWORD timeoutMs = 10000;
        setsockopt(native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), 4);
        connect({address_v4::loopback(), port});
    }
    http::response<http::string_body> ask(const std::string& bytes)
    {
        boost::asio::write(*this, buffer(bytes));
        http::response_parser<http::string_body> parser;
        parser.body_limit(boost::none);
        parser.skip(bytes.starts_with("HEAD"));
        http::read(*this, received, parser);
        return parser.release();
    }
};
std::string request(const std::string& line, const std::string& body = "", const std::string& headers = "")
{
    return line + " HTTP/1.1\r\nConnection: close\r\n"
        + (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + headers + "\r\n" + body;
}
enum Sockets { loopbackOnes, anyAddress, unreadData, none };
struct Host : Process { // what the host hands over: a listener and one end of a loopback pair, the other end kept
    tcp::acceptor listener, pair{io, {address_v4::loopback(), 0}};
    tcp::socket serverEnd{io}, hostEnd{io};
    explicit Host(std::vector<std::string> arguments, Sockets sockets = loopbackOnes)
        : listener(io, {sockets == anyAddress ? address_v4::any() : address_v4::loopback(), 0})
    {
        hostEnd.connect(pair.local_endpoint());
        pair.accept(serverEnd);
        hostEnd.send(buffer("x", sockets == unreadData ? 1 : 0)); // then not the host's own fresh end
        if (sockets != none)
            arguments.insert(arguments.end(),
                             {"--pre-established-listener", std::to_string(listener.native_handle()),
                              "--pre-established-connection", std::to_string(serverEnd.native_handle()),
                              "--max-file-write-cache-size", "1073741824"});
        arguments.insert(arguments.begin(), serverExe);
        EXPECT_TRUE(launch(
            arguments, sockets == none ? HandleSet{} : HandleSet{listener.native_handle(), serverEnd.native_handle()}));
    }
    DWORD exitCode(DWORD ms = 10000)
    {
        return WaitForSingleObject(processHandle(), ms) || isRunning() ? 12345 : Process::exitCode();
    }
};
TEST(Server, ServesStandaloneAndAsTheHostsChild)
{
    testChild::TempDirectory folder;
    const std::wstring data = folder.file(L"data with space \u00E9"), ended = L"\\.upload-4294967292-1.tmp";
    ASSERT_TRUE(std::filesystem::create_directory(data)
                && testChild::writeFile(data + ended, "")); // of a run that ended
    boost::process::pipe output; // its first line names the port
    boost::process::child server(
        toWide(serverExe),
        std::vector<std::wstring>{L"standalone", L"--port=0", L"--client-timeout=1000", L"--data-dir=" + data},
        boost::process::std_out > output);
    char line[64] = {};
    DWORD size = 0;
    for (int i = 0; i < 200 && PeekNamedPipe(output.native_source(), nullptr, 0, nullptr, &size, nullptr) && size == 0;
         ++i)
        Sleep(50);
    ASSERT_TRUE(size > 0 && output.read(line, sizeof line - 1) > 0
                && std::strstr(line, "listening on 127.0.0.1:") == line);
    const auto port = static_cast<std::uint16_t>(std::atoi(line + 23));
    std::string big(64 * 1024 * 1024 + 1, '\0');
    std::generate(big.begin(), big.end(), std::mt19937()); // no repeating pattern: a misplaced block shows
    const std::pair<std::string, std::string> steps[]{
        // the status, then "Name: value" of a header (empty: absent)
        {request("PUT /files/a.txt", "hi"), "201 Location: /files/a.txt"},
        {request("PUT /files/a", "new"), "201"},
        {request("PUT /files/a", "abc"), "204 Content-Length: "},
        {request("HEAD /files/a"), "200 Content-Length: 3"},
        {request("PUT /files/big.bin", big), "201"},
        {request("DELETE /files/a.txt"), "204"},
        {request("DELETE /files/a.txt"), "404"},
        {request("GET /files/a.txt"), "404"},
        {request("GET /other"), "404"},
        {request("POST /files/a"), "405 Allow: DELETE, GET, HEAD, PUT"},
        {request("PUT /arguments", "x"), "405 Allow: GET, HEAD"},
        {request("GET /files/nul.txt"), "400"},
        {request("GET /files/.x"), "400"},
        {request("GET /files/a%2Fb"), "400"},
        {request("PUT /files/x"), "411"},
        {request("PUT /files/x", "", "Content-Length: 1073741825\r\n"), "413"},
        {request("GET /files/", "", "X: " + std::string(16 * 1024, 'x') + "\r\n"), "431"},
        {"GET /files/a HTTP/1.1\r\nHost: x\r\n", "408"}, // a stalled head: --client-timeout
    };
    for (const auto& [bytes, expected] : steps) {
        const auto answer = Client(port).ask(bytes);
        const std::string name = expected.size() > 4 ? expected.substr(4, expected.find(':') - 4) : "";
        EXPECT_EQ(expected,
                  std::to_string(answer.result_int()) + (name.empty() ? "" : " " + name + ": ")
                      + std::string(answer[name]))
            << bytes.substr(0, 30);
    }
    EXPECT_TRUE(Client(port).ask(request("GET /files/big.bin")).body() == big) << "64 MiB and 1 byte, byte-exact";
    EXPECT_EQ("a\nbig.bin\n", Client(port).ask(request("GET /files/")).body());
    std::ifstream reader(std::filesystem::path(data + L"\\big.bin")); // the replace waits 2 s for it, then gives up
    const auto replace = Client(port).ask(request("PUT /files/big.bin", "new"));
    EXPECT_TRUE(replace.result_int() == 503 && replace[http::field::retry_after] == "1") << replace.base();
    Client pipelined(port); // a second request behind an upload's body in one write, on the connection kept alive
    EXPECT_EQ(201u,
              pipelined.ask("PUT /files/p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /files/p HTTP/1.1\r\n\r\n")
                  .result_int());
    EXPECT_EQ("abc", pipelined.ask("").body());
    Client(port).write_some(buffer(request("PUT /files/cut", std::string(99, 'c')).substr(0, 90))); // then cut off
    std::vector<std::unique_ptr<Client>> clients; // 32 at once, each in the middle of an upload
    for (int i = 0; i < 32; ++i)
        clients.emplace_back(new Client(port))
            ->write_some(buffer(request("PUT /files/c" + std::to_string(i), "", "Content-Length: 2\r\n")));
    for (auto& client : clients)
        EXPECT_EQ(201u, client->ask("ok").result_int());
    const std::string arguments = Client(port).ask(request("GET /arguments")).body(); // argv[0] on the first line
    EXPECT_TRUE(arguments.find("\nstandalone\n--port%3D0\n--client-timeout%3D1000\n--data-dir%3D") != std::string::npos
                && arguments.ends_with("%5Cdata%20with%20space%20%C3%A9\n") && std::ranges::count(arguments, '\n') == 5)
        << arguments;
    const auto isUpload = [](const auto& entry) { return entry.path().filename().wstring().starts_with(L".upload-"); };
    EXPECT_TRUE(std::ranges::none_of(std::filesystem::directory_iterator(data), isUpload))
        << "an ended run's or cut upload";
    const std::string served = "--data-dir=" + folder.fileUtf8(L"served");
    Host host({"server", served}); // ends with 0 once the host closes its end, and with its code otherwise
    Client idle(host.listener.local_endpoint().port()); // kept alive, waiting for its next request
    EXPECT_EQ(201u, idle.ask("PUT /files/x HTTP/1.1\r\nContent-Length: 1\r\n\r\nx").result_int());
    host.hostEnd.close();
    EXPECT_EQ(0u, host.exitCode(5000)) << "still running (or failing; 12345: running) after the host closed its end";
    ASSERT_TRUE(testChild::writeFile(folder.file(L"plain"), "x")); // no folder can be made below it
    const std::tuple<std::vector<std::string>, DWORD, Sockets> cases[]{
        {{"server", "--exit-at-once=5"}, 5, loopbackOnes},
        {{"server", "--exit-at-once=-1"}, 0xFFFFFFFF, loopbackOnes},
        {{"server", "--exit-at-once=0xC0000005"}, 0xC0000005, loopbackOnes},
        {{"server", "--crash"}, 0xC0000005, loopbackOnes},
        {{}, 1, none},
        {{"serve"}, 1, loopbackOnes},
        {{"server", "--verbose"}, 1, loopbackOnes},
        {{"server", served}, 1, none},
        {{"server", "--exit-at-once=4294967296"}, 1, loopbackOnes},
        {{"server", "--crash", "--crash"}, 1, loopbackOnes},
        {{"server", served, "--pre-established-listener", "4000", "--pre-established-connection", "4004"}, 7, none},
        {{"server", served}, 7, anyAddress},
        {{"server", served}, 7, unreadData},
        {{"server", "--data-dir=" + folder.fileUtf8(L"plain\\data")}, 7, loopbackOnes},
    };
    for (const auto& [arguments, code, sockets] : cases)
        EXPECT_EQ(code, Host(arguments, sockets).exitCode()) << testing::PrintToString(arguments);
}

TEST(MessageFile, FormatsEachEventAsExactlyItsInsertionString)
{
    const HMODULE dll
        = LoadLibraryExW(testChild::windowsPath(QUORVANTA_MESSAGE_FILE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD_PTR insertion[] = {reinterpret_cast<DWORD_PTR>(L"failed with 5: 100% \u00E9 %2")};
    // Neighbours, and the right codes under the wrong severity or facility, are not found: all 32 bits matter.
    for (DWORD id :
         {0xC0020100u, 0xC0020101u, 0x40020102u, 0xC00200FFu, 0xC0020102u, 0x40020100u, 0x80020101u, 0xC0010100u}) {
        wchar_t text[64] = {};
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, dll, id, 0,
                                            text, 64, reinterpret_cast<va_list*>(insertion));
        const DWORD error = GetLastError();
        const bool event = id == 0xC0020100u || id == 0xC0020101u || id == 0x40020102u;
        EXPECT_EQ(event ? L"failed with 5: 100% \u00E9 %2" : L"error 317",
                  length ? text : L"error " + std::to_wstring(error))
            << std::hex << id;
    }
    FreeLibrary(dll);
}
} // namespace
