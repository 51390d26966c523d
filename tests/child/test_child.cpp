// test_child: the one program tests launch as a real child. Its verbs (argument 1) ignore arguments
// beyond their own, so the host's server-mode options may follow:
//   echo-args <file>: writes argv as UTF-8, each argument NUL-terminated;  exit <code> (0x hex too)
//   sleep <ms>;  crash: ends as an unattended access violation ends, with 0xC0000005 (a real one
//   would start Wine's debugger);  server ...: below
#include "test_child.h"
#include "test_sockets.h"
#include <cwchar>

extern "C" int _dowildcard; // no wildcard expansion: tests compare argv with what the parser split
int _dowildcard = 0;

namespace {

UINT number(const wchar_t* text)
{
    return static_cast<UINT>(std::wcstoull(text, nullptr, 0));
}

// server exit <code> | until-close <code> <report> | ignore-close <report>, with
// --pre-established-listener L --pre-established-connection C (else exit 90). The report
// ("arg" per argument, listener, connection, sockets held) appears whole. until-close serves
// the listener (each client gets a line) until the host closes C; 99 when no close came in 60 s.
int server(int argc, wchar_t** argv)
{
    SOCKET listener = INVALID_SOCKET, connection = INVALID_SOCKET;
    std::string report;
    for (int i = 2; i < argc; ++i) {
        report += "arg " + toUtf8(std::wstring_view(argv[i])) + "\n";
        listener = std::wcscmp(argv[i - 1], L"--pre-established-listener") ? listener : number(argv[i]);
        connection = std::wcscmp(argv[i - 1], L"--pre-established-connection") ? connection : number(argv[i]);
    }
    const std::wstring behaviour = argc > 3 ? argv[2] : L"";
    if (listener == INVALID_SOCKET || connection == INVALID_SOCKET || !testSockets::winsockStarted)
        return 90;
    if (behaviour == L"exit")
        ExitProcess(number(argv[3]));
    report += "listener " + testSockets::name(listener) + "\nconnection " + testSockets::name(connection) + "\nsockets";
    for (SOCKET socket : testSockets::heldSockets()) // what it holds, not what it was told
        report.append(1, ' ').append(std::to_string(socket));
    const std::wstring file = argv[behaviour == L"until-close" ? 4 : 3], part = file + L".part";
    if (!testChild::writeFile(part, report + "\n")
        || !MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 90;
    for (const ULONGLONG end = GetTickCount64() + 60000; behaviour == L"until-close" && GetTickCount64() < end;) {
        fd_set readable{2, {listener, connection}}; // select(): Wine's poll does not know inherited sockets
        timeval wait{0, 100000};
        char buffer[256];
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR
            || (FD_ISSET(connection, &readable) && recv(connection, buffer, sizeof buffer, 0) <= 0))
            ExitProcess(number(argv[3]));
        const SOCKET client = FD_ISSET(listener, &readable) ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
        send(client, "accepted by test_child\n", 23, 0);
        closesocket(client);
    }
    return behaviour == L"until-close" ? 99 : (Sleep(60000), 0);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring verb = argc > 2 || (argc > 1 && !std::wcscmp(argv[1], L"crash")) ? argv[1] : L"";
    std::string echoed;
    for (int i = 0; i < argc; ++i)
        echoed += toUtf8(std::wstring_view(argv[i])) + '\0';
    // ExitProcess, not return: the runtime would narrow the code to int.
    return verb == L"echo-args"               ? (testChild::writeFile(argv[2], echoed) ? 0 : 3)
        : verb == L"exit" || verb == L"crash" ? (ExitProcess(verb == L"crash" ? 0xC0000005 : number(argv[2])), 0)
        : verb == L"sleep"                    ? (Sleep(number(argv[2])), 0)
        : verb == L"server"                   ? server(argc, argv)
                                              : 100;
}
