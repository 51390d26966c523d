// test_child: the one program tests launch as a real child. Its verbs (argument 1) ignore arguments
// beyond their own, so the host's server-mode options may follow:
//   echo-args <file>: writes argv as UTF-8, each argument NUL-terminated
//   exit <code> (0x hex too);  sleep <ms>
//   server exit <code> | until-close <code> <report> | ignore-close <report>: below
// Anything else ends it with 100.
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

// ExitProcess, not return: the runtime would narrow the code to int.
[[noreturn]] void exitWith(UINT code)
{
    ExitProcess(code);
}

int echoArguments(int argc, wchar_t** argv)
{
    std::string echoed;
    for (int i = 0; i < argc; ++i)
        echoed += toUtf8(std::wstring_view(argv[i])) + '\0';
    return testChild::writeFile(argv[2], echoed) ? 0 : 3;
}

// What the child holds, not what it was told: each argument, the names of the two sockets and
// every socket it has. Written to a side file and renamed, so that a reader sees it whole.
bool writeReport(const std::wstring& file, int argc, wchar_t** argv, SOCKET listener, SOCKET connection)
{
    std::string report;
    for (int i = 2; i < argc; ++i)
        report += "arg " + toUtf8(std::wstring_view(argv[i])) + "\n";
    report += "listener " + testSockets::name(listener) + "\nconnection " + testSockets::name(connection) + "\nsockets";
    for (SOCKET socket : testSockets::heldSockets())
        report.append(" ").append(std::to_string(socket));
    const std::wstring part = file + L".part";
    return testChild::writeFile(part, report + "\n")
        && MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// Waits until the host closes the connection, then ends with the code; 99 when no close came within
// 60 s. select(), not poll: Wine's poll does not know inherited sockets.
int waitForClose(SOCKET connection, UINT code)
{
    for (const ULONGLONG end = GetTickCount64() + 60000; GetTickCount64() < end;) {
        fd_set readable{1, {connection}};
        timeval wait{0, 100000};
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR)
            exitWith(code);
        char buffer[256];
        if (FD_ISSET(connection, &readable) && recv(connection, buffer, sizeof buffer, 0) <= 0)
            exitWith(code);
    }
    return 99;
}

// server exit <code> | until-close <code> <report> | ignore-close <report>, with
// --pre-established-listener L --pre-established-connection C anywhere after (else 90).
// ignore-close writes its report and sleeps for 60 s.
int server(int argc, wchar_t** argv)
{
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    for (int i = 3; i < argc; ++i) {
        if (std::wcscmp(argv[i - 1], L"--pre-established-listener") == 0)
            listener = number(argv[i]);
        if (std::wcscmp(argv[i - 1], L"--pre-established-connection") == 0)
            connection = number(argv[i]);
    }
    if (argc < 4 || listener == INVALID_SOCKET || connection == INVALID_SOCKET || !testSockets::winsockStarted)
        return 90;
    const std::wstring behaviour = argv[2];
    if (behaviour == L"exit")
        exitWith(number(argv[3]));
    const bool untilClose = behaviour == L"until-close";
    if (!writeReport(argv[untilClose ? 4 : 3], argc, argv, listener, connection))
        return 90;
    if (untilClose)
        return waitForClose(connection, number(argv[3]));
    Sleep(60000);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (argc < 3)
        return 100;
    if (verb == L"echo-args")
        return echoArguments(argc, argv);
    if (verb == L"exit")
        exitWith(number(argv[2]));
    if (verb == L"sleep") {
        Sleep(number(argv[2]));
        return 0;
    }
    if (verb == L"server")
        return server(argc, argv);
    return 100;
}
