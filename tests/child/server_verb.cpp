// server ...: stands in for the real server when the service host launches
// test_child in server mode. The host's command line is then
//   test_child server <behaviour> <arguments...>
//     --pre-established-listener <L> --pre-established-connection <C>
//     --max-file-write-cache-size <N>
// Behaviours:
//   until-close <code> <reportfile>  writes the report, then serves the
//                                    listener (each client gets the line
//                                    "accepted by test_child" and is closed)
//                                    until the host closes its end of the
//                                    connection; exits with code (99 when no
//                                    close came in 60 s)
//   exit <code>                      exits at once with code
//   ignore-close <reportfile>        writes the report, then sleeps 60 s
//                                    whatever the host does; exits 0
// The report (UTF-8 lines) appears whole, so a test may read it as soon as
// the file exists:
//   arg <argument>                         every argument after the verb
//   listener <ip>:<port>                   getsockname of L (or "error <code>")
//   connection <ip>:<port>                 the same for C
//   sockets <v> <v>...                     every handle value below 0x4000
//                                          that is a socket in this process
// A command line without the two socket options exits with 90.
#include "verbs.h"

#include "WinApi.h"
#include "test_sockets.h"

#include <string>

namespace {

constexpr int usageError = 90;
constexpr int noCloseSeen = 99;
constexpr DWORD patienceMs = 60000;

struct ServerOptions {
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
};

bool parseOptions(const std::vector<std::wstring>& arguments, ServerOptions& options)
{
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        std::uint64_t value = 0;
        if (arguments[i] == L"--pre-established-listener" && parseChildNumber(arguments[i + 1], value))
            options.listener = static_cast<SOCKET>(value);
        else if (arguments[i] == L"--pre-established-connection" && parseChildNumber(arguments[i + 1], value))
            options.connection = static_cast<SOCKET>(value);
    }
    return options.listener != INVALID_SOCKET && options.connection != INVALID_SOCKET;
}

std::string describeSocket(SOCKET socket)
{
    const std::string name = testSockets::name(socket);
    return name.empty() ? "error " + std::to_string(WSAGetLastError()) : name;
}

// What this process holds, not what it was told: a handle the host leaked
// into the child shows up here even though no option names it.
std::string socketsHeld()
{
    std::string line = "sockets";
    for (SOCKET socket : testSockets::heldSockets())
        line.append(1, ' ').append(std::to_string(socket));
    return line;
}

bool writeReport(const std::vector<std::wstring>& arguments, const ServerOptions& options, const std::wstring& file)
{
    std::string report;
    for (const std::wstring& argument : arguments)
        report += "arg " + childUtf8(argument) + "\n";
    report += "listener " + describeSocket(options.listener) + "\n";
    report += "connection " + describeSocket(options.connection) + "\n";
    report += socketsHeld() + "\n";
    const std::wstring part = file + L".part";
    return writeChildFile(part, report) && MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void answerClient(SOCKET listener)
{
    const SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET)
        return;
    static const char greeting[] = "accepted by test_child\n";
    send(client, greeting, sizeof greeting - 1, 0);
    closesocket(client);
}

// Serves the listener until the host closes its end of the connection (or
// resets it): true then, false when the patience ran out. select(), because
// Wine's poll does not know sockets a process inherited.
bool serveUntilClose(const ServerOptions& options)
{
    const ULONGLONG deadline = GetTickCount64() + patienceMs;
    char buffer[256];
    while (GetTickCount64() < deadline) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(options.listener, &readable);
        FD_SET(options.connection, &readable);
        timeval wait{0, 100000};
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR)
            return false;
        if (FD_ISSET(options.listener, &readable))
            answerClient(options.listener);
        if (FD_ISSET(options.connection, &readable) && recv(options.connection, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

int server(const std::vector<std::wstring>& arguments)
{
    ServerOptions options;
    if (arguments.empty() || !parseOptions(arguments, options))
        return usageError;
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return usageError;

    const std::wstring& behaviour = arguments[0];
    std::uint64_t code = 0;
    if (behaviour == L"exit" && arguments.size() >= 2 && parseChildNumber(arguments[1], code) && code <= 0xFFFFFFFFull)
        ExitProcess(static_cast<UINT>(code));
    if (behaviour == L"until-close" && arguments.size() >= 3) {
        if (!parseChildNumber(arguments[1], code) || code > 0xFFFFFFFFull || !writeReport(arguments, options, arguments[2]))
            return usageError;
        const bool closed = serveUntilClose(options);
        ExitProcess(closed ? static_cast<UINT>(code) : noCloseSeen);
    }
    if (behaviour == L"ignore-close" && arguments.size() >= 2) {
        if (!writeReport(arguments, options, arguments[1]))
            return usageError;
        Sleep(patienceMs);
        return 0;
    }
    return usageError;
}

const ChildVerb serverVerb(L"server", server);

} // namespace
