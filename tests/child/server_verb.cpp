// server ...: stands in for the real server when the service host launches
// test_child in server mode. The host's command line is then
//   test_child server <behaviour> <arguments...>
//     --pre-established-listener <L> --pre-established-connection <C>
//     --max-file-write-cache-size <N>
// Behaviours:
//   until-close <code> <reportfile>  writes the report, reads the connection
//                                    until the host closes its end, then exits
//                                    with code (99 when no close came in 60 s)
//   ignore-close <reportfile>        writes the report, then sleeps 60 s
//                                    whatever the host does; exits 0
// The report (UTF-8 lines) appears whole, so a test may read it as soon as
// the file exists:
//   arg <argument>                         every argument after the verb
//   listener <ip>:<port> listening=<0|1>   getsockname and SO_ACCEPTCONN of L
//   connection <ip>:<port> listening=<0|1> the same for C
//   sockets <v> <v>...                     every handle value below 0x4000
//                                          that is a socket in this process
// A command line without the two socket options exits with 90.
#include "verbs.h"

#include "WinApi.h"

#include <string>

namespace {

constexpr int usageError = 90;
constexpr int noCloseSeen = 99;
constexpr DWORD patienceMs = 60000;

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

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
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "error " + std::to_string(WSAGetLastError());
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    BOOL listening = FALSE;
    int optionLength = sizeof listening;
    if (getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &optionLength) != 0)
        return std::string(host) + ":" + std::to_string(ntohs(address.sin_port)) + " listening=error";
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port)) + " listening=" + (listening ? "1" : "0");
}

// What this process holds, not what it was told: a handle the host leaked
// into the child shows up here even though no option names it.
std::string socketsHeld()
{
    std::string line = "sockets";
    for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
        sockaddr_storage address{};
        int length = sizeof address;
        if (getsockname(static_cast<SOCKET>(value), reinterpret_cast<sockaddr*>(&address), &length) == 0)
            line += " " + std::to_string(value);
    }
    return line;
}

bool writeReport(const std::vector<std::wstring>& arguments, const ServerOptions& options, const std::wstring& file)
{
    std::string report;
    for (const std::wstring& argument : arguments)
        report += "arg " + narrow(argument) + "\n";
    report += "listener " + describeSocket(options.listener) + "\n";
    report += "connection " + describeSocket(options.connection) + "\n";
    report += socketsHeld() + "\n";
    const std::wstring part = file + L".part";
    return writeChildFile(part, report) && MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Returns once the host has closed its end (or reset it), or after the patience runs out.
bool waitForClose(SOCKET connection)
{
    const DWORD timeout = patienceMs;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    char buffer[256];
    for (;;) {
        const int received = recv(connection, buffer, sizeof buffer, 0);
        if (received == 0)
            return true;
        if (received < 0)
            return WSAGetLastError() != WSAETIMEDOUT;
    }
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
    if (behaviour == L"until-close" && arguments.size() >= 3) {
        std::uint64_t code = 0;
        if (!parseChildNumber(arguments[1], code) || code > 0xFFFFFFFFull || !writeReport(arguments, options, arguments[2]))
            return usageError;
        const bool closed = waitForClose(options.connection);
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
