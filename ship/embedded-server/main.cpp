// quorvanta-embedded-server: the stand-in for the server child that the
// service host runs. README.md describes its command line and what it serves.
#include "server.h"

#include "TextConversion.h"

#include <cstdio>
#include <cstdlib>

using boost::system::error_code;
using namespace std::chrono_literals;

namespace {

constexpr const char* usage
    = "usage: quorvanta-embedded-server server --pre-established-listener <handle>\n"
      "           --pre-established-connection <handle> [--max-file-write-cache-size <bytes>] [options]\n"
      "       quorvanta-embedded-server standalone [--port=<n>] [options]\n"
      "options: --data-dir=<path> --client-timeout=<ms> --exit-at-once=<code> --ignore-close --crash\n";

constexpr std::size_t maxClients = 64;
// A listener that fails this many times in a row is broken, not busy.
constexpr int maxAcceptFailures = 100;
// The host terminates us 5 s after closing its end: clients in progress get
// less than that to finish.
constexpr auto drainTime = 2000ms;

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

[[noreturn]] void crashNow()
{
    // No error box and no debugger (Wine would start one and take seconds):
    // the process just ends with the exception's code, 0xC0000005.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(endWithExceptionCode);
    // Volatile, so the compiler cannot see the null and turn the store into
    // a trap instruction, which would end with a different code.
    volatile std::uintptr_t address = 0;
    *reinterpret_cast<volatile int*>(address) = 1;
    std::abort();
}

fs::path defaultDataFolder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return fs::path(path).parent_path() / L"data";
}

// The file store has no authentication: it must not be reachable from other
// machines.
template <typename Socket>
bool onLoopback(const Socket& socket, const std::string& what)
{
    error_code error;
    const tcp::endpoint local = socket.local_endpoint(error);
    if (error)
        logLine(what + " is not a socket (" + error.message() + ")");
    else if (!local.address().is_loopback())
        logLine(what + " is not on the loopback interface");
    return !error && local.address().is_loopback();
}

struct Server {
    // First, so that it goes last: the sessions it may still hold own sockets.
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    tcp::socket host{io};
    asio::steady_timer timer{io};
    ServerState state;
    bool ignoreClose = false;
    bool failed = false;
    int acceptFailures = 0;
    char hostByte = 0;

    // The inherited sockets must be what the host promised: a loopback
    // listener, and a loopback connection nobody has written to yet (data on
    // it would mean it is not the host's own end).
    bool takeOver(const Options& options)
    {
        error_code error;
        acceptor.assign(tcp::v4(), static_cast<SOCKET>(options.listener), error);
        if (!error)
            host.assign(tcp::v4(), static_cast<SOCKET>(options.connection), error);
        if (error) {
            logLine("cannot take over the inherited sockets: " + error.message());
            return false;
        }
        if (!onLoopback(acceptor, "the listener") || !onLoopback(host, "the connection"))
            return false;
        const std::size_t unread = host.available(error);
        if (error)
            logLine("cannot look for unread data on the connection: " + error.message());
        else if (unread != 0)
            logLine("the connection holds " + std::to_string(unread) + " unread bytes");
        return !error && unread == 0;
    }

    bool listen(std::uint16_t port)
    {
        error_code error;
        acceptor.open(tcp::v4(), error);
        // No other socket may share the port while we listen on it.
        BOOL exclusive = TRUE;
        if (!error
            && setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                          reinterpret_cast<const char*>(&exclusive), sizeof exclusive)
                != 0)
            error.assign(WSAGetLastError(), asio::error::get_system_category());
        if (!error)
            acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port), error);
        if (!error)
            acceptor.listen(asio::socket_base::max_listen_connections, error);
        tcp::endpoint bound;
        if (!error)
            bound = acceptor.local_endpoint(error);
        if (error) {
            logLine("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + error.message());
            return false;
        }
        // Port 0 picks a free one: say which.
        std::printf("listening on 127.0.0.1:%u\n", bound.port());
        std::fflush(stdout);
        return true;
    }

    void accept()
    {
        acceptor.async_accept([this](error_code error, tcp::socket client) {
            if (state.stopping)
                return;
            if (!error) {
                acceptFailures = 0;
                // Beyond the cap a client is answered at once rather than
                // left in the backlog for as long as the others take.
                if (state.liveSessions() < maxClients)
                    startSession(std::move(client), state);
                else
                    refuseClient(std::move(client), state);
            } else if (error != asio::error::connection_aborted && error != asio::error::connection_reset
                       && ++acceptFailures >= maxAcceptFailures) {
                logLine("accepting clients failed: " + error.message());
                failed = true;
                return stop();
            }
            accept();
        });
    }

    void watchHost()
    {
        host.async_read_some(asio::buffer(&hostByte, 1), [this](error_code error, std::size_t) {
            // The host never writes: anything it sends is ignored. Its end
            // closing, or the connection breaking, means the host is done.
            if (!error)
                return watchHost();
            if (!ignoreClose)
                return stop();
            logLine("the host closed its end; serving on as asked");
        });
    }

    // Once, whether the host closed its end or the listener broke first.
    void stop()
    {
        if (state.stopping)
            return;
        state.stopping = true;
        error_code ignored;
        acceptor.close(ignored);
        stopSessions(state);
        drain(std::chrono::steady_clock::now() + drainTime);
    }

    // Polls until the last client is done or the time is up.
    void drain(std::chrono::steady_clock::time_point deadline)
    {
        if (state.liveSessions() == 0)
            return io.stop();
        if (std::chrono::steady_clock::now() >= deadline) {
            logLine("ending with clients still connected");
            return io.stop();
        }
        timer.expires_after(50ms);
        timer.async_wait([this, deadline](error_code) { drain(deadline); });
    }
};

int serve(const Options& options, std::string argumentsBody)
{
    Server server;
    if (options.standalone ? !server.listen(options.port) : !server.takeOver(options))
        return exitServerError;
    server.state.folder = options.dataDirectory.empty() ? defaultDataFolder() : options.dataDirectory;
    std::string problem;
    if (!openDataFolder(server.state.folder, problem)) {
        logLine(problem);
        return exitServerError;
    }
    server.state.argumentsBody = std::move(argumentsBody);
    server.state.clientTimeout = options.clientTimeout;
    server.state.flushDelay = options.flushDelay;
    server.ignoreClose = options.ignoreClose;
    server.accept();
    if (!options.standalone)
        server.watchHost();
    server.io.run();
    abandonSessions(server.state);
    const int code = server.failed ? exitServerError : exitSuccess;
    // A worker may still be inside a slow write or flush, and ending the
    // usual way would wait for it (and the host's patience is limited): the
    // process ends here, without unwinding or library shutdown.
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}

} // namespace

void logLine(const std::string& text)
{
    // Under the host nobody reads these; run by hand or by a test they say
    // why the server did what it did.
    std::fprintf(stderr, "quorvanta-embedded-server: %s\n", text.c_str());
    std::fflush(stderr);
}

int wmain(int argc, wchar_t** argv)
{
    Options options;
    std::string problem;
    if (!parseOptions(std::vector<std::wstring>(argv + 1, argv + argc), options, problem)) {
        logLine(problem);
        std::fputs(usage, stderr);
        return exitInvalidArgument;
    }
    if (options.exitAtOnce)
        return static_cast<int>(*options.exitAtOnce);
    if (options.crash)
        crashNow();
    std::string arguments;
    for (int i = 0; i < argc; ++i)
        arguments += percentEncode(toUtf8(argv[i])) + "\n";
    return serve(options, std::move(arguments));
}
