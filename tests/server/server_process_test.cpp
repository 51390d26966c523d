// The real quorvanta-embedded-server.exe, started the way the host starts it:
// with an inherited listener and one inherited end of a loopback pair. Only
// ephemeral ports are used.
#include "http_request.h"
#include "http_test_client.h"
#include "test_child.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

class WinsockEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    }
    void TearDown() override { WSACleanup(); }
};
testing::Environment* const winsock = testing::AddGlobalTestEnvironment(new WinsockEnvironment);

const std::wstring serverPath = testChild::windowsPath(QUORVANTA_SERVER_EXE);

void setInheritable(SOCKET socket, bool inheritable)
{
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, inheritable ? HANDLE_FLAG_INHERIT : 0);
}

std::string decimal(SOCKET socket)
{
    return std::to_string(static_cast<std::uint64_t>(socket));
}

SOCKET listenOn(std::uint32_t address)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = 0;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0
        || listen(listener, SOMAXCONN) != 0) {
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        return INVALID_SOCKET;
    }
    setInheritable(listener, false);
    return listener;
}

std::uint16_t portOf(SOCKET socket)
{
    sockaddr_in address{};
    int length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// What the host hands the server: a listener and the accepted end of a
// loopback pair whose other end the host keeps.
struct HostSockets {
    SOCKET listener = INVALID_SOCKET;
    SOCKET serverEnd = INVALID_SOCKET;
    SOCKET hostEnd = INVALID_SOCKET;
    std::uint16_t port = 0;

    bool create(std::uint32_t listenerAddress = INADDR_LOOPBACK)
    {
        listener = listenOn(listenerAddress);
        SOCKET pairListener = listenOn(INADDR_LOOPBACK);
        if (listener == INVALID_SOCKET || pairListener == INVALID_SOCKET)
            return false;
        port = portOf(listener);
        hostEnd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        setInheritable(hostEnd, false);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(portOf(pairListener));
        const bool connected = connect(hostEnd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
        if (connected)
            serverEnd = accept(pairListener, nullptr, nullptr);
        closesocket(pairListener);
        return connected && serverEnd != INVALID_SOCKET;
    }

    // After the launch the host keeps only its own end.
    void dropServersCopies()
    {
        for (SOCKET* s : {&listener, &serverEnd}) {
            if (*s != INVALID_SOCKET)
                closesocket(*s);
            *s = INVALID_SOCKET;
        }
    }

    void closeHostEnd()
    {
        if (hostEnd != INVALID_SOCKET)
            closesocket(hostEnd);
        hostEnd = INVALID_SOCKET;
    }

    ~HostSockets()
    {
        dropServersCopies();
        closeHostEnd();
    }

    std::vector<std::string> serverModeOptions() const
    {
        return {"--pre-established-listener", decimal(listener), "--pre-established-connection", decimal(serverEnd),
            "--max-file-write-cache-size", "1073741824"};
    }
};

class ServerProcess {
public:
    ~ServerProcess()
    {
        if (mProcess) {
            TerminateProcess(mProcess.get(), 1);
            WaitForSingleObject(mProcess.get(), 5000);
        }
    }

    // Inherits whatever is inheritable: the test makes only the two sockets so.
    bool start(const std::vector<std::string>& arguments, HostSockets* sockets = nullptr)
    {
        if (sockets) {
            setInheritable(sockets->listener, true);
            setInheritable(sockets->serverEnd, true);
        }
        mCommandLine = buildCommandLine(toUtf8(serverPath), arguments);
        std::wstring writable = mCommandLine;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        const bool started = CreateProcessW(serverPath.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
            nullptr, &startup, &process);
        mError = GetLastError();
        if (sockets)
            sockets->dropServersCopies();
        if (!started)
            return false;
        CloseHandle(process.hThread);
        mProcess.reset(process.hProcess);
        return true;
    }

    // The exit code, or nothing if it is still running after timeoutMs.
    std::optional<DWORD> waitForExit(DWORD timeoutMs)
    {
        if (WaitForSingleObject(mProcess.get(), timeoutMs) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(mProcess.get(), &code);
        return code;
    }

    DWORD startError() const { return mError; }

private:
    ScopedHandle mProcess;
    std::wstring mCommandLine;
    DWORD mError = 0;
};

// How long the host gives the server to end after closing its end.
constexpr DWORD hostGraceMs = 5000;

class ServerSession : public testing::Test {
protected:
    void startServer(std::vector<std::string> extra = {})
    {
        ASSERT_FALSE(mFolder.path().empty());
        ASSERT_TRUE(mSockets.create()) << WSAGetLastError();
        mArguments = {"server", "--data-dir=" + toUtf8(dataFolder())};
        mArguments.insert(mArguments.end(), extra.begin(), extra.end());
        const std::vector<std::string> options = mSockets.serverModeOptions();
        mArguments.insert(mArguments.end(), options.begin(), options.end());
        ASSERT_TRUE(mServer.start(mArguments, &mSockets)) << mServer.startError();
        mPort = mSockets.port;
    }

    virtual std::wstring dataFolder() const { return mFolder.file(L"data"); }

    void expectCleanEndWhenHostCloses()
    {
        mSockets.closeHostEnd();
        const std::optional<DWORD> code = mServer.waitForExit(hostGraceMs);
        ASSERT_TRUE(code.has_value()) << "still running " << hostGraceMs << " ms after the host closed its end";
        EXPECT_EQ(0u, *code);
    }

    std::optional<HttpResponse> request(std::string_view method, std::string_view target, std::string_view body = {},
        std::string_view extraHeaders = {})
    {
        return httpRequest(mPort, method, target, body, extraHeaders);
    }

    std::vector<std::wstring> temporaryFiles() const
    {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((dataFolder() + L"\\.upload-*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return found;
        do
            found.push_back(entry.cFileName);
        while (FindNextFileW(search, &entry));
        FindClose(search);
        return found;
    }

    testChild::TempDirectory mFolder;
    HostSockets mSockets;
    ServerProcess mServer;
    std::vector<std::string> mArguments;
    std::uint16_t mPort = 0;
};

TEST_F(ServerSession, StoresListsAndRemovesFilesThenEndsWhenTheHostCloses)
{
    startServer();
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
        {"GET", "/files/", "", 200, "a.txt\nbig.bin\n"},
        {"DELETE", "/files/a.txt", "", 204, ""},
        {"GET", "/files/a.txt", "", 404, std::nullopt},
        {"DELETE", "/files/a.txt", "", 404, std::nullopt},
        {"GET", "/files/", "", 200, "big.bin\n"},
    };
    for (const auto& step : steps) {
        const std::string what = std::string(step.method) + " " + step.target;
        const std::optional<HttpResponse> r = request(step.method, step.target, step.body);
        ASSERT_TRUE(r) << what;
        EXPECT_EQ(step.status, r->status) << what;
        if (step.answer) {
            EXPECT_TRUE(*step.answer == r->body) << what << ": " << r->body.size() << " bytes differ";
        }
        if (step.status == 201) {
            EXPECT_EQ(std::string(step.target), r->header("location"));
        }
        if (step.status == 204) {
            EXPECT_EQ("", r->header("content-length")) << what << ": a 204 announces no body";
        }
    }
    const std::optional<HttpResponse> head = request("HEAD", "/files/big.bin");
    ASSERT_TRUE(head);
    EXPECT_EQ(std::to_string(binary.size()), head->header("content-length"));

    // The files are plain files in the data folder.
    EXPECT_TRUE(testChild::readFile(dataFolder() + L"\\big.bin").value_or("") == binary);
    EXPECT_TRUE(temporaryFiles().empty());
    expectCleanEndWhenHostCloses();
}

TEST_F(ServerSession, KeepsConnectionsAliveAndLetsTheClientCloseFirst)
{
    startServer();
    HttpTestClient client;
    ASSERT_TRUE(client.connect(mPort));
    // Two requests in one write: the second must not be lost in the buffer
    // that held the first one's body.
    ASSERT_TRUE(client.send("PUT /files/p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
                            "GET /files/p HTTP/1.1\r\n\r\n"));
    std::optional<HttpResponse> r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(201, r->status);
    EXPECT_EQ("keep-alive", r->header("connection"));
    r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("abc", r->body);

    // A GET with a small body: the body is skipped, the connection goes on.
    ASSERT_TRUE(client.send("GET /files/p HTTP/1.1\r\nContent-Length: 4\r\n\r\nxxxxHEAD /files/p HTTP/1.1\r\n\r\n"));
    r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ("abc", r->body);
    r = client.receive(5000, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("3", r->header("content-length"));

    ASSERT_TRUE(client.send("GET /files/ HTTP/1.1\r\nConnection: close\r\n\r\n"));
    r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ("p\n", r->body);
    EXPECT_EQ("close", r->header("connection"));
    // The server waits for our FIN rather than closing first.
    EXPECT_FALSE(client.closedByServer(300));
    client.close();

    HttpTestClient old;
    ASSERT_TRUE(old.connect(mPort));
    ASSERT_TRUE(old.send("GET /arguments HTTP/1.0\r\n\r\n"));
    r = old.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ("close", r->header("connection")) << "HTTP/1.0 closes unless asked not to";
    old.close();
    expectCleanEndWhenHostCloses();
}

TEST_F(ServerSession, RefusesWhatItCannotServeWithTheRightStatus)
{
    startServer();
    HttpTestClient client;
    ASSERT_TRUE(client.connect(mPort));
    // A client that asks first gets "100 Continue" before it sends the body.
    ASSERT_TRUE(client.send("PUT /files/asked HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
    std::optional<HttpResponse> r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(100, r->status);
    ASSERT_TRUE(client.send("12345"));
    r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(201, r->status);
    client.close();

    const struct {
        const char* why;
        std::string request;
        int status;
        bool closes;
    } refused[]{
        {"no length", "PUT /files/x HTTP/1.1\r\n\r\n", 411, false},
        {"chunked", "PUT /files/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411, true},
        {"too large", "PUT /files/x HTTP/1.1\r\nContent-Length: 1099511627776\r\nExpect: 100-continue\r\n\r\n", 413,
            true},
        {"hidden name", "DELETE /files/.x HTTP/1.1\r\n\r\n", 400, false},
        {"method", "POST /files/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405, false},
        {"oversized head", "GET /files/ HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431, true},
        {"not HTTP", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n"s, 400, true},
    };
    for (const auto& c : refused) {
        HttpTestClient one;
        ASSERT_TRUE(one.connect(mPort)) << c.why;
        ASSERT_TRUE(one.send(c.request)) << c.why;
        r = one.receive();
        ASSERT_TRUE(r) << c.why;
        EXPECT_EQ(c.status, r->status) << c.why;
        if (c.status == 405) {
            EXPECT_EQ("DELETE, GET, HEAD, PUT", r->header("allow"));
        }
        if (c.closes) {
            EXPECT_EQ("close", r->header("connection")) << c.why << ": the rest of the stream cannot be framed";
        } else {
            EXPECT_EQ("keep-alive", r->header("connection")) << c.why;
        }
    }
    r = request("GET", "/files/");
    ASSERT_TRUE(r);
    EXPECT_EQ("asked\n", r->body) << "no refused request stored anything";
    expectCleanEndWhenHostCloses();
}

TEST_F(ServerSession, CutUploadsAndSilentClientsLeaveNoTrace)
{
    startServer({"--client-timeout=500"});
    {
        HttpTestClient cut;
        ASSERT_TRUE(cut.connect(mPort));
        ASSERT_TRUE(cut.send("PUT /files/cut HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'c')));
    } // closed with 60 bytes missing

    HttpTestClient stalled;
    ASSERT_TRUE(stalled.connect(mPort));
    ASSERT_TRUE(stalled.send("PUT /files/stalled HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(40, 's')));
    HttpTestClient partialHead;
    ASSERT_TRUE(partialHead.connect(mPort));
    ASSERT_TRUE(partialHead.send("GET /fil"));
    HttpTestClient silent;
    ASSERT_TRUE(silent.connect(mPort));

    std::optional<HttpResponse> r = stalled.receive(3000);
    ASSERT_TRUE(r) << "a stalled upload is answered once the client timeout passes";
    EXPECT_EQ(408, r->status);
    r = partialHead.receive(3000);
    ASSERT_TRUE(r);
    EXPECT_EQ(408, r->status);
    EXPECT_TRUE(silent.closedByServer(3000)) << "an idle connection is closed after the client timeout";

    r = request("GET", "/files/");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("", r->body) << "neither cut upload reached its name";
    for (int i = 0; i < 40 && !temporaryFiles().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(temporaryFiles().empty()) << "cut uploads remove their temporary files";
    // stalled and partialHead are still open: the end must not wait for them.
    expectCleanEndWhenHostCloses();
}

class ServerWithAwkwardDataFolder : public ServerSession {
protected:
    std::wstring dataFolder() const override { return mFolder.file(L"data with space \u00E9"); }
};

TEST_F(ServerWithAwkwardDataFolder, ServesItsArgumentsAsItReceivedThem)
{
    startServer({"--client-timeout=20000"});
    const std::optional<HttpResponse> r = request("GET", "/arguments");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    std::string expected = percentEncode(toUtf8(serverPath)) + "\n";
    for (const std::string& argument : mArguments)
        expected += percentEncode(argument) + "\n";
    EXPECT_EQ(expected, r->body);
    EXPECT_NE(std::string::npos, r->body.find("%20with%20space%20%C3%A9")) << r->body;

    // The folder was created with its real name.
    const std::optional<HttpResponse> put = request("PUT", "/files/f", "x");
    ASSERT_TRUE(put);
    EXPECT_EQ(201, put->status);
    EXPECT_EQ("x", testChild::readFile(dataFolder() + L"\\f").value_or(""));
    expectCleanEndWhenHostCloses();
}

TEST_F(ServerSession, IgnoreCloseKeepsServingAfterTheHostClosed)
{
    startServer({"--ignore-close"});
    mSockets.closeHostEnd();
    EXPECT_FALSE(mServer.waitForExit(1000).has_value()) << "ended although told to ignore the close";
    const std::optional<HttpResponse> r = request("GET", "/files/");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    // The fixture's ServerProcess terminates it, as the host would.
}

struct ExitCase {
    const char* why;
    std::vector<std::string> extra; // after "server"
    DWORD code;
};

std::optional<DWORD> runToExit(const std::vector<std::string>& arguments, HostSockets* sockets)
{
    ServerProcess server;
    if (!server.start(arguments, sockets))
        return std::nullopt;
    return server.waitForExit(10000);
}

TEST(ServerExitCodes, MeanWhatTheHostReportsForThem)
{
    testChild::TempDirectory folder;
    const std::string data = "--data-dir=" + toUtf8(folder.file(L"data"));
    const ExitCase cases[]{
        {"unknown option", {"--verbose"}, 1},
        {"exit at once", {"--exit-at-once=5"}, 5},
        {"exit at once, hex", {"--exit-at-once=0xC0000005"}, 0xC0000005},
        {"crash", {"--crash"}, 0xC0000005},
    };
    for (const ExitCase& c : cases) {
        HostSockets sockets;
        ASSERT_TRUE(sockets.create());
        std::vector<std::string> arguments{"server", data};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        const std::vector<std::string> options = sockets.serverModeOptions();
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::optional<DWORD> code = runToExit(arguments, &sockets);
        ASSERT_TRUE(code.has_value()) << c.why;
        EXPECT_EQ(c.code, *code) << c.why;
    }

    const std::vector<std::vector<std::string>> invalid{
        {},
        {"serve"},
        {"server", "--pre-established-listener", "abc", "--pre-established-connection", "1"},
        {"server", "--pre-established-listener", "1"},
    };
    for (const auto& arguments : invalid) {
        const std::optional<DWORD> code = runToExit(arguments, nullptr);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(1u, *code) << (arguments.empty() ? std::string("(none)") : arguments[0]);
    }
}

TEST(ServerExitCodes, RefusesSocketsItCannotTrust)
{
    testChild::TempDirectory folder;
    const std::string data = "--data-dir=" + toUtf8(folder.file(L"data"));

    // Data already waiting on the connection: it is not a fresh host end.
    {
        HostSockets sockets;
        ASSERT_TRUE(sockets.create());
        ASSERT_EQ(1, send(sockets.hostEnd, "x", 1, 0));
        u_long pending = 0;
        for (int i = 0; i < 100 && pending == 0; ++i) {
            ioctlsocket(sockets.serverEnd, FIONREAD, &pending);
            if (pending == 0)
                Sleep(10);
        }
        ASSERT_EQ(1u, pending);
        std::vector<std::string> arguments{"server", data};
        const std::vector<std::string> options = sockets.serverModeOptions();
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(7u, runToExit(arguments, &sockets).value_or(12345)) << "unread data";
    }
    // A listener open to other machines.
    {
        HostSockets sockets;
        ASSERT_TRUE(sockets.create(INADDR_ANY));
        std::vector<std::string> arguments{"server", data};
        const std::vector<std::string> options = sockets.serverModeOptions();
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(7u, runToExit(arguments, &sockets).value_or(12345)) << "listener on all interfaces";
    }
    // Handle values that name no socket in the server.
    {
        const std::vector<std::string> arguments{"server", data, "--pre-established-listener", "4000",
            "--pre-established-connection", "4004"};
        EXPECT_EQ(7u, runToExit(arguments, nullptr).value_or(12345)) << "no sockets";
    }
    // A data folder that cannot be created.
    {
        HostSockets sockets;
        ASSERT_TRUE(sockets.create());
        ASSERT_TRUE(ScopedHandle(
            CreateFileW(folder.file(L"plain").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)));
        std::vector<std::string> arguments{"server", "--data-dir=" + toUtf8(folder.file(L"plain\\data"))};
        const std::vector<std::string> options = sockets.serverModeOptions();
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(7u, runToExit(arguments, &sockets).value_or(12345)) << "data folder below a file";
    }
}

} // namespace
