// The reference server as its clients and the host see it: its answers, the data folder, the connection rules, the
// stop, and its exit codes. Most cases share one standalone server; those that need a fresh folder, other options or
// the host's sockets start their own.
#include "Process.h"
#include "test_child.h"
#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/process/child.hpp>
#include <boost/process/io.hpp>
#include <chrono>
#include <gtest/gtest.h>
#include <random>

namespace {
namespace http = boost::beast::http;
using boost::asio::buffer;
using boost::asio::ip::address_v4;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Response = http::response<http::string_body>;
using namespace std::chrono_literals;

boost::asio::io_context io;
const std::string serverExe = toUtf8(testChild::windowsPath(QUORVANTA_SERVER_EXE));
// For a server that gives a silent client only 1 s. The shared one waits 10 s, so that a loaded machine does not
// fail its big transfers.
const std::wstring impatient = L"--client-timeout=1000";

// Lets one socket call move all that is left: Asio's own completion conditions stop at 64 KiB a call, and every call
// is slow under Wine.
std::size_t everything(const boost::system::error_code& error, std::size_t)
{
    return error ? 0 : std::numeric_limits<std::size_t>::max();
}

// One client connection. A send or receive that takes longer than its limit (10 s) fails the case.
class Client : public tcp::socket {
public:
    explicit Client(std::uint16_t port) : tcp::socket(io, tcp::v4())
    {
        setLimit(SO_SNDTIMEO, 10s);
        setLimit(SO_RCVTIMEO, 10s);
        connect({address_v4::loopback(), port});
    }
    void send(const std::string& bytes) { boost::asio::write(*this, buffer(bytes), everything); }
    // The head through Beast's parser, the body (of Content-Length bytes) straight from the socket.
    Response receive(bool headOnly = false)
    {
        http::response_parser<http::string_body> parser;
        parser.body_limit(boost::none);
        parser.skip(headOnly);
        http::read_header(*this, mReceived, parser);
        const auto length = static_cast<std::size_t>(parser.content_length().value_or(0));
        Response response = parser.release();
        if (headOnly)
            return response;
        std::string& body = response.body();
        body.resize(length);
        const std::size_t buffered = std::min(length, mReceived.size());
        boost::asio::buffer_copy(buffer(body), mReceived.data(), buffered);
        mReceived.consume(buffered);
        boost::asio::read(*this, buffer(body.data() + buffered, length - buffered), everything);
        return response;
    }
    // Sends an upload's head and waits for "100 Continue": from then on the server is serving this request (and
    // the upload's temporary file exists).
    void startUpload(const std::string& name, std::size_t length)
    {
        send("PUT /files/" + name + " HTTP/1.1\r\nContent-Length: " + std::to_string(length)
             + "\r\nExpect: 100-continue\r\n\r\n");
        http::response_parser<http::empty_body> interim;
        http::read_header(*this, mReceived, interim);
        EXPECT_EQ(http::status::continue_, interim.get().result()) << "for " << name;
    }
    Response ask(const std::string& bytes)
    {
        send(bytes);
        return receive(bytes.starts_with("HEAD"));
    }
    // How long until the server ends the connection (whatever it still sends is read away), or nothing when it has
    // not within the limit.
    std::optional<Clock::duration> timeToClose(std::chrono::milliseconds limit)
    {
        const auto start = Clock::now();
        setLimit(SO_RCVTIMEO, limit);
        boost::system::error_code error;
        char discarded[4096];
        while (!error)
            read_some(buffer(discarded), error);
        if (error == boost::asio::error::timed_out || error == boost::asio::error::would_block)
            return std::nullopt;
        return Clock::now() - start;
    }

    void setLimit(int option, std::chrono::milliseconds limit)
    {
        const auto milliseconds = static_cast<DWORD>(limit.count());
        setsockopt(native_handle(), SOL_SOCKET, option, reinterpret_cast<const char*>(&milliseconds),
                   sizeof milliseconds);
    }

private:
    boost::beast::flat_buffer mReceived;
};

// A request that asks for the connection to be closed after its answer.
std::string request(const std::string& line, const std::string& body = "", const std::string& headers = "")
{
    std::string length;
    if (!body.empty())
        length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return line + " HTTP/1.1\r\nConnection: close\r\n" + length + headers + "\r\n" + body;
}

std::string randomBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), std::mt19937()); // no repeating pattern: a misplaced block shows
    return bytes;
}

// The names of the upload's temporary files in a folder.
std::vector<std::wstring> temporaryFiles(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().wstring().starts_with(L".upload-"))
            names.push_back(entry.path().filename().wstring());
    }
    return names;
}

// A standalone server on a free port with a data folder of its own, which a case may fill before start().
class StandaloneServer {
public:
    explicit StandaloneServer(const std::wstring& folderName = L"data") : mData(mFolder.file(folderName))
    {
        std::filesystem::create_directory(mData);
    }
    void start(std::vector<std::wstring> options = {})
    {
        options.insert(options.begin(), {L"standalone", L"--port=0", L"--data-dir=" + mData});
        mChild = boost::process::child(toWide(serverExe), options, boost::process::std_out > mOutput);
        // Its first line names the port.
        DWORD waiting = 0;
        for (int i = 0; i < 200 && waiting == 0; ++i) {
            if (!PeekNamedPipe(mOutput.native_source(), nullptr, 0, nullptr, &waiting, nullptr))
                break;
            Sleep(50);
        }
        char line[64] = {};
        constexpr std::string_view prefix = "listening on 127.0.0.1:";
        if (waiting > 0 && mOutput.read(line, sizeof line - 1) > 0 && std::string_view(line).starts_with(prefix))
            mPort = static_cast<std::uint16_t>(std::atoi(line + prefix.size()));
        ASSERT_NE(0, mPort) << "no port announced: " << line;
    }
    std::uint16_t port() const { return mPort; }
    std::wstring data() const { return mData; }
    std::wstring file(const std::wstring& name) const { return mData + L"\\" + name; }
    std::string listing() { return Client(mPort).ask(request("GET /files/")).body(); }

private:
    testChild::TempDirectory mFolder;
    std::wstring mData;
    boost::process::pipe mOutput;
    boost::process::child mChild;
    std::uint16_t mPort = 0;
};

// The server most cases share: a folder name that needs encoding in /arguments, and two stored files.
StandaloneServer& sharedServer()
{
    static StandaloneServer server(L"data with space \u00E9~");
    if (server.port() == 0) {
        server.start({L"--client-timeout=10000"});
        for (const char* name : {"kept", "replaced"})
            Client(server.port()).ask(request(std::string("PUT /files/") + name, "abc"));
    }
    return server;
}

struct AnswerRow {
    const char* name;
    std::string request;
    unsigned status;
    http::field header = http::field::unknown; // checked when given
    std::string value = {};
    friend void PrintTo(const AnswerRow& row, std::ostream* out) { *out << row.name; }
};

class Answers : public testing::TestWithParam<AnswerRow> {};

TEST_P(Answers, StatusAndHeader)
{
    const AnswerRow& row = GetParam();
    const Response answer = Client(sharedServer().port()).ask(row.request);
    EXPECT_EQ(row.status, answer.result_int());
    if (row.header != http::field::unknown) {
        EXPECT_EQ(row.value, answer[row.header]) << "header " << row.header;
    }
}

const std::string longestName(128, 'n');

INSTANTIATE_TEST_SUITE_P(
    Server, Answers,
    testing::Values(
        AnswerRow{"NewFileIsCreatedWithItsLocation", request("PUT /files/new.txt", "hi"), 201, http::field::location,
                  "/files/new.txt"},
        AnswerRow{"ReplacedFileIsNoContent", request("PUT /files/replaced", "new"), 204},
        AnswerRow{"HeadGivesTheLength", request("HEAD /files/kept"), 200, http::field::content_length, "3"},
        AnswerRow{"DeleteOfAnAbsentFileIs404", request("DELETE /files/absent"), 404},
        AnswerRow{"GetOfAnAbsentFileIs404", request("GET /files/absent"), 404},
        AnswerRow{"OtherPathIs404", request("GET /other"), 404},
        AnswerRow{"OtherMethodOnAFileIs405", request("POST /files/kept"), 405, http::field::allow,
                  "DELETE, GET, HEAD, PUT"},
        AnswerRow{"ArgumentsAreReadOnly", request("PUT /arguments", "x"), 405, http::field::allow, "GET, HEAD"},
        AnswerRow{"LongestNameIsAccepted", request("PUT /files/" + longestName, "x"), 201},
        AnswerRow{"LongerNameIs400", request("GET /files/" + longestName + "n"), 400},
        AnswerRow{"DeviceNameWithExtensionIs400", request("GET /files/nul.txt"), 400},
        AnswerRow{"LeadingDotIs400", request("GET /files/.x"), 400},
        AnswerRow{"TrailingDotIs400", request("GET /files/kept."), 400},
        AnswerRow{"EncodedSlashIs400", request("GET /files/a%2Fb"), 400},
        AnswerRow{"UploadWithoutLengthIs411", request("PUT /files/x"), 411},
        AnswerRow{"ChunkedUploadIs411",
                  request("PUT /files/x", "", "Transfer-Encoding: chunked\r\n") + "1\r\nx\r\n0\r\n\r\n", 411},
        AnswerRow{"UploadOver1GiBIs413", request("PUT /files/x", "", "Content-Length: 1073741825\r\n"), 413},
        AnswerRow{"HeadOver16KiBIs431", request("GET /files/", "", "X: " + std::string(16 * 1024, 'x') + "\r\n"), 431},
        AnswerRow{"UnknownExpectationIs417", request("PUT /files/x", "x", "Expect: 200-ok\r\n"), 417},
        AnswerRow{"BareLineFeedsAre400", "GET /files/kept HTTP/1.1\nHost: x\n\n", 400},
        AnswerRow{"Http11IsKeptAlive", "GET /files/kept HTTP/1.1\r\n\r\n", 200, http::field::connection, "keep-alive"},
        AnswerRow{"Http10IsKeptAliveWhenAsked", "GET /files/kept HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 200,
                  http::field::connection, "keep-alive"},
        AnswerRow{"BodyOfAGetClosesTheConnection", "GET /files/kept HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", 200,
                  http::field::connection, "close"}),
    [](const testing::TestParamInfo<AnswerRow>& info) { return std::string(info.param.name); });

TEST(Uploads, AreStoredByteExact)
{
    const std::string big = randomBytes(64 * 1024 * 1024 + 1);
    EXPECT_EQ(201u, Client(sharedServer().port()).ask(request("PUT /files/big.bin", big)).result_int());
    EXPECT_TRUE(Client(sharedServer().port()).ask(request("GET /files/big.bin")).body() == big)
        << "64 MiB and 1 byte do not come back as they were sent";
}

TEST(Uploads, ContinueIsSentBeforeTheBody)
{
    Client client(sharedServer().port());
    client.startUpload("continued", 2);
    EXPECT_EQ(201u, client.ask("ok").result_int());
}

TEST(Timeouts, StalledHeadIs408)
{
    StandaloneServer server;
    server.start({impatient});
    EXPECT_EQ(408u, Client(server.port()).ask("GET /files/kept HTTP/1.1\r\nHost: x\r\n").result_int());
}

TEST(Timeouts, StalledBodyIs408AndLeavesNoTemporaryFile)
{
    StandaloneServer server;
    server.start({impatient});
    Client client(server.port());
    client.startUpload("stalled", 10);
    client.send("part");
    EXPECT_EQ(408u, client.receive().result_int());
    EXPECT_EQ(std::vector<std::wstring>{}, temporaryFiles(server.data()));
    EXPECT_EQ(404u, Client(server.port()).ask(request("GET /files/stalled")).result_int());
}

TEST(Uploads, BodyCutShortLeavesNoFileAndNoTemporaryFile)
{
    {
        Client client(sharedServer().port());
        client.startUpload("cut", 10);
        client.send("part");
    }
    Sleep(500); // the server sees the close
    EXPECT_EQ(std::vector<std::wstring>{}, temporaryFiles(sharedServer().data()));
    EXPECT_EQ(404u, Client(sharedServer().port()).ask(request("GET /files/cut")).result_int());
}

TEST(Uploads, ReplaceWaitsForAReaderToClose)
{
    Client(sharedServer().port()).ask(request("PUT /files/read", "old"));
    auto reader = std::make_unique<std::ifstream>(std::filesystem::path(sharedServer().file(L"read")));
    Client writer(sharedServer().port());
    writer.send(request("PUT /files/read", "new"));
    Sleep(500);
    reader.reset();
    EXPECT_EQ(204u, writer.receive().result_int());
    EXPECT_EQ("new", Client(sharedServer().port()).ask(request("GET /files/read")).body());
}

TEST(Uploads, ReplaceGivesUpAfterTwoSecondsWith503)
{
    Client(sharedServer().port()).ask(request("PUT /files/held", "old"));
    std::ifstream reader(std::filesystem::path(sharedServer().file(L"held")));
    const auto start = Clock::now();
    const Response answer = Client(sharedServer().port()).ask(request("PUT /files/held", "new"));
    EXPECT_GE(Clock::now() - start, 1500ms);
    EXPECT_LE(Clock::now() - start, 3000ms);
    EXPECT_EQ(503u, answer.result_int());
    EXPECT_EQ("1", answer[http::field::retry_after]);
    EXPECT_EQ("old", testChild::readFile(sharedServer().file(L"held")));
}

TEST(Downloads, ADeletedFileIsGone)
{
    Client(sharedServer().port()).ask(request("PUT /files/doomed", "x"));
    EXPECT_EQ(204u, Client(sharedServer().port()).ask(request("DELETE /files/doomed")).result_int());
    EXPECT_EQ(404u, Client(sharedServer().port()).ask(request("GET /files/doomed")).result_int());
}

TEST(Downloads, DeleteSucceedsWhileTheFileIsBeingSent)
{
    const std::string contents = randomBytes(16 * 1024 * 1024); // more than the sockets' buffers hold
    Client(sharedServer().port()).ask(request("PUT /files/sent", contents));
    Client reader(sharedServer().port());
    reader.send(request("GET /files/sent"));
    Sleep(300); // the server has begun sending and waits for the reader to take more
    EXPECT_EQ(204u, Client(sharedServer().port()).ask(request("DELETE /files/sent")).result_int());
    EXPECT_TRUE(reader.receive().body() == contents) << "the reader did not get the whole file as it was";
}

TEST(Connections, RequestBehindAnUploadInTheSameWriteIsServed)
{
    Client client(sharedServer().port());
    const Response stored
        = client.ask("PUT /files/p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /files/p HTTP/1.1\r\n\r\n");
    EXPECT_EQ(201u, stored.result_int());
    EXPECT_EQ("abc", client.receive().body());
}

// The body is longer than the head's read takes in: the reads of the rest must stop where the body ends.
TEST(Connections, RequestBehindALongUploadInTheSameWriteIsServed)
{
    const std::string body = randomBytes(200 * 1024);
    Client client(sharedServer().port());
    const Response stored = client.ask("PUT /files/q HTTP/1.1\r\nContent-Length: " + std::to_string(body.size())
                                       + "\r\n\r\n" + body + "GET /files/q HTTP/1.1\r\n\r\n");
    EXPECT_EQ(201u, stored.result_int());
    EXPECT_TRUE(client.receive().body() == body) << "the upload did not come back as it was sent";
}

// After an answer with "Connection: close" the server leaves the close to the client for a while, so that TIME_WAIT
// stays on the client's side.
TEST(Connections, ClientGetsTwoSecondsToCloseFirst)
{
    Client client(sharedServer().port());
    EXPECT_EQ("close", client.ask(request("GET /files/kept"))[http::field::connection]);
    const auto closedAfter = client.timeToClose(4s);
    ASSERT_TRUE(closedAfter.has_value()) << "the server never closed";
    EXPECT_GE(*closedAfter, 1500ms);
    EXPECT_LE(*closedAfter, 3000ms);
}

// Run by hand, a server that cannot listen must say why: here, another socket holds the port.
TEST(Standalone, APortInUseEndsWith7NamingTheCause)
{
    tcp::acceptor holder(io, tcp::v4());
    holder.bind({address_v4::loopback(), 0});
    holder.listen();
    const std::string port = std::to_string(holder.local_endpoint().port());
    boost::process::ipstream errors;
    boost::process::child server(serverExe, "standalone", "--port=" + port, boost::process::std_err > errors);
    ASSERT_TRUE(server.wait_for(10s)) << "the server did not end";
    const std::string said(std::istreambuf_iterator<char>(errors), {});
    EXPECT_EQ(7, server.exit_code());
    const std::string cause = boost::system::error_code(WSAEADDRINUSE, boost::system::system_category()).message();
    EXPECT_NE(std::string::npos, said.find("cannot listen on 127.0.0.1:" + port + ": " + cause)) << said;
}

TEST(Arguments, ArePercentEncodedOnePerLine)
{
    const std::string arguments = Client(sharedServer().port()).ask(request("GET /arguments")).body();
    EXPECT_NE(std::string::npos, arguments.find("\nstandalone\n--port%3D0\n--data-dir%3D")) << arguments;
    EXPECT_TRUE(arguments.ends_with("%5Cdata%20with%20space%20%C3%A9~\n--client-timeout%3D10000\n")) << arguments;
    EXPECT_EQ(5, std::ranges::count(arguments, '\n')) << "argv[0] and four arguments: " << arguments;
}

TEST(Listing, NamesEachStoredFileSortedOnALine)
{
    StandaloneServer server;
    std::filesystem::create_directory(server.file(L"folder"));
    ASSERT_TRUE(testChild::writeFile(server.file(L"not valid"), "x"));
    server.start();
    for (const char* name : {"c", "a.txt", "B"})
        Client(server.port()).ask(request(std::string("PUT /files/") + name, "x"));
    EXPECT_EQ("B\na.txt\nc\n", server.listing());
}

TEST(Listing, NeverShowsATemporaryFile)
{
    Client uploader(sharedServer().port());
    uploader.startUpload("in-progress", 10);
    ASSERT_EQ(1u, temporaryFiles(sharedServer().data()).size()) << "the upload's temporary file is not there";
    EXPECT_EQ(std::string::npos, sharedServer().listing().find(".upload-"));
}

TEST(DataFolder, StartRemovesTemporaryFilesOfEndedRunsOnly)
{
    StandaloneServer server;
    const std::wstring ofAnEndedRun = L".upload-4294967292-1.tmp";
    const std::wstring ofARunningOne = L".upload-" + std::to_wstring(GetCurrentProcessId()) + L"-1.tmp";
    ASSERT_TRUE(testChild::writeFile(server.file(ofAnEndedRun), "x"));
    ASSERT_TRUE(testChild::writeFile(server.file(ofARunningOne), "x"));
    server.start();
    EXPECT_EQ(std::vector<std::wstring>{ofARunningOne}, temporaryFiles(server.data()));
}

// Each of 32 clients gets "100 Continue", the server's word that it is serving that request, before any of them sends
// its body: all are served at the same moment, none waits in the backlog.
TEST(Load, ThirtyTwoClientsAreServedAtOnce)
{
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 32; ++i) {
        clients.push_back(std::make_unique<Client>(sharedServer().port()));
        clients.back()->startUpload("at-once-" + std::to_string(i), 65536);
    }
    const std::string body = randomBytes(65536);
    for (const auto& client : clients)
        client->send(body);
    for (const auto& client : clients)
        EXPECT_EQ(201u, client->receive().result_int());
}

// 64 clients trickle their uploads a byte every 200 ms: often enough for a client timeout of 2 s, far below the
// minimum rate. They fill the cap, so the next client is refused while they hold their places; the rate cuts them
// about 2 s after they began (the bound allows for a loaded machine), and then the server takes clients again.
TEST(Load, TricklersAreCutAndAClientBeyondTheCapIsRefusedAtOnce)
{
    StandaloneServer server;
    server.start({L"--client-timeout=2000"});
    std::vector<std::unique_ptr<Client>> tricklers;
    for (int i = 0; i < 64; ++i) {
        tricklers.push_back(std::make_unique<Client>(server.port()));
        tricklers.back()->send(request("PUT /files/t" + std::to_string(i), "", "Content-Length: 1000\r\n"));
    }
    Client beyondTheCap(server.port());
    beyondTheCap.send(request("GET /files/"));
    const auto start = Clock::now();
    const auto answered = [](const auto& trickler) { return trickler->available() > 0; };
    while (Clock::now() - start < 6s && !std::ranges::all_of(tricklers, answered)) {
        boost::system::error_code cut;
        for (const auto& trickler : tricklers)
            trickler->write_some(buffer("x", 1), cut);
        Sleep(200);
    }
    const Response refused = beyondTheCap.receive();
    EXPECT_EQ(503u, refused.result_int());
    EXPECT_EQ("1", refused[http::field::retry_after]);
    for (const auto& trickler : tricklers) {
        trickler->setLimit(SO_RCVTIMEO, 100ms); // the answer is there already, or the trickler was not cut in time
        EXPECT_EQ(408u, trickler->receive().result_int());
    }
    tricklers.clear();
    unsigned status = 503;
    for (int attempt = 0; attempt < 20 && status == 503; ++attempt) {
        Sleep(100);
        status = Client(server.port()).ask(request("GET /files/")).result_int();
    }
    EXPECT_EQ(200u, status) << "the tricklers' places were not freed";
}

enum class Sockets { loopbackOnes, anyAddress, unreadData, none };

// What the host hands over: a listener and one end of a loopback pair, whose other end it keeps.
class Host : public Process {
public:
    explicit Host(std::vector<std::string> arguments, Sockets sockets = Sockets::loopbackOnes)
        : listener(io, {sockets == Sockets::anyAddress ? address_v4::any() : address_v4::loopback(), 0})
    {
        tcp::acceptor pair(io, {address_v4::loopback(), 0});
        hostEnd.connect(pair.local_endpoint());
        pair.accept(mServerEnd);
        if (sockets == Sockets::unreadData)
            hostEnd.send(buffer("x", 1)); // then the server's end is not the host's own fresh one
        HandleSet inherited;
        if (sockets != Sockets::none) {
            arguments.insert(arguments.end(),
                             {"--pre-established-listener", std::to_string(listener.native_handle()),
                              "--pre-established-connection", std::to_string(mServerEnd.native_handle()),
                              "--max-file-write-cache-size", "1073741824"});
            inherited = {listener.native_handle(), mServerEnd.native_handle()};
        }
        arguments.insert(arguments.begin(), serverExe);
        EXPECT_TRUE(launch(arguments, inherited));
    }
    std::uint16_t port() const { return listener.local_endpoint().port(); }
    // The server's exit code once it has ended, or nothing while it runs on past the limit.
    std::optional<DWORD> exitCodeWithin(std::chrono::milliseconds limit)
    {
        if (WaitForSingleObject(processHandle(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0 || isRunning())
            return std::nullopt;
        return exitCode();
    }

    tcp::acceptor listener;
    tcp::socket hostEnd{io};

private:
    tcp::socket mServerEnd{io};
};

// A server run by the host, storing into a fresh folder.
class Stop : public testing::Test {
protected:
    testChild::TempDirectory mFolder;
    Host mHost{{"server", "--data-dir=" + mFolder.fileUtf8(L"data")}};
};

TEST_F(Stop, IdleConnectionsEndAtOnceAndTheServerExitsWithZero)
{
    Client idle(mHost.port());
    EXPECT_EQ(201u, idle.ask("PUT /files/x HTTP/1.1\r\nContent-Length: 1\r\n\r\nx").result_int());
    mHost.hostEnd.close();
    const auto closedAfter = idle.timeToClose(1s);
    ASSERT_TRUE(closedAfter.has_value()) << "the idle connection was kept";
    EXPECT_LE(*closedAfter, 500ms);
    EXPECT_EQ(0u, mHost.exitCodeWithin(1s));
}

TEST_F(Stop, RequestInProgressIsServedToItsEnd)
{
    Client uploader(mHost.port());
    uploader.startUpload("late", 8);
    uploader.send("half");
    mHost.hostEnd.close();
    Sleep(500);
    const Response answer = uploader.ask("done");
    EXPECT_EQ(201u, answer.result_int());
    EXPECT_EQ("close", answer[http::field::connection]);
    EXPECT_EQ("halfdone", testChild::readFile(mFolder.file(L"data\\late")));
    uploader.close();
    EXPECT_EQ(0u, mHost.exitCodeWithin(1s));
}

// The host terminates the server 5 s after closing its end; the server must be gone before that, with 0, and the
// upload it abandoned must never appear under its name.
TEST_F(Stop, StalledClientDoesNotKeepTheServerPastItsDrainTime)
{
    Client uploader(mHost.port());
    uploader.startUpload("stalled", 8);
    uploader.send("half");
    const auto start = Clock::now();
    mHost.hostEnd.close();
    EXPECT_EQ(0u, mHost.exitCodeWithin(4s));
    EXPECT_GE(Clock::now() - start, 1500ms) << "the request in progress got no time to finish";
    EXPECT_LE(Clock::now() - start, 3000ms);
    EXPECT_EQ(std::vector<std::wstring>{}, temporaryFiles(mFolder.file(L"data")));
    EXPECT_FALSE(std::filesystem::exists(mFolder.file(L"data\\stalled")));
}

// The host's close is acted on at once even while a worker spends 10 s in a flush, and the server is gone within its
// drain time; the upload it abandoned appears neither under its name nor as a temporary file.
TEST(SlowFlush, DelaysNeitherTheStopNorTheExit)
{
    testChild::TempDirectory folder;
    const std::wstring data = folder.file(L"data");
    Host host({"server", "--data-dir=" + toUtf8(data), "--slow-flush=10000"});
    Client idle(host.port());
    EXPECT_EQ(200u, idle.ask("GET /files/ HTTP/1.1\r\n\r\n").result_int());
    Client uploader(host.port());
    uploader.startUpload("flushed", 1);
    uploader.send("x");
    Sleep(300); // the flush has begun
    const auto start = Clock::now();
    host.hostEnd.close();
    const auto closedAfter = idle.timeToClose(1s);
    ASSERT_TRUE(closedAfter.has_value()) << "the idle connection was kept";
    EXPECT_LE(*closedAfter, 100ms);
    EXPECT_EQ(0u, host.exitCodeWithin(4s));
    EXPECT_LE(Clock::now() - start, 3000ms);
    EXPECT_EQ(std::vector<std::wstring>{}, temporaryFiles(data));
    EXPECT_FALSE(std::filesystem::exists(data + L"\\flushed"));
}

struct ExitRow {
    const char* name;
    std::vector<std::string> arguments;
    Sockets sockets;
    DWORD code;
    friend void PrintTo(const ExitRow& row, std::ostream* out) { *out << row.name; }
};

class ExitCodes : public testing::TestWithParam<ExitRow> {};

TEST_P(ExitCodes, Launch)
{
    Host host(GetParam().arguments, GetParam().sockets);
    EXPECT_EQ(GetParam().code, host.exitCodeWithin(10s));
}

// A data folder below a plain file: it can never be made.
std::string unmakeableFolder()
{
    static testChild::TempDirectory folder;
    testChild::writeFile(folder.file(L"plain"), "x");
    return folder.fileUtf8(L"plain\\data");
}

INSTANTIATE_TEST_SUITE_P(
    Server, ExitCodes,
    testing::Values(
        ExitRow{"ExitAtOnceDecimal", {"server", "--exit-at-once=5"}, Sockets::loopbackOnes, 5},
        ExitRow{"ExitAtOnceNegative", {"server", "--exit-at-once=-1"}, Sockets::loopbackOnes, 0xFFFFFFFF},
        ExitRow{"ExitAtOnceHex", {"server", "--exit-at-once=0xC0000005"}, Sockets::loopbackOnes, 0xC0000005},
        ExitRow{"CrashIsAnAccessViolation", {"server", "--crash"}, Sockets::loopbackOnes, 0xC0000005},
        ExitRow{"NoArgumentsIs1", {}, Sockets::none, 1}, ExitRow{"UnknownModeIs1", {"serve"}, Sockets::loopbackOnes, 1},
        ExitRow{"UnknownOptionIs1", {"server", "--verbose"}, Sockets::loopbackOnes, 1},
        ExitRow{"ServerWithoutSocketsIs1", {"server"}, Sockets::none, 1},
        ExitRow{"ExitCodeOver32BitsIs1", {"server", "--exit-at-once=4294967296"}, Sockets::loopbackOnes, 1},
        ExitRow{"RepeatedOptionIs1", {"server", "--crash", "--crash"}, Sockets::loopbackOnes, 1},
        ExitRow{"HandlesThatAreNotSocketsAre7",
                {"server", "--pre-established-listener", "4000", "--pre-established-connection", "4004"},
                Sockets::none,
                7},
        ExitRow{"ListenerOffLoopbackIs7", {"server"}, Sockets::anyAddress, 7},
        ExitRow{"ConnectionWithUnreadDataIs7", {"server"}, Sockets::unreadData, 7},
        ExitRow{
            "DataFolderThatCannotBeMadeIs7", {"server", "--data-dir=" + unmakeableFolder()}, Sockets::loopbackOnes, 7}),
    [](const testing::TestParamInfo<ExitRow>& info) { return std::string(info.param.name); });

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
