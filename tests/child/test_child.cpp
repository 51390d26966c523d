// test_child: the one program tests launch when they need a real child. The
// first argument names the verb (tests/common/test_child.h lists them); verbs
// ignore arguments beyond their own, so the host's server-mode options may follow.
#include "Debug.h"
#include "TextConversion.h"
#include "WinApi.h"
#include "test_sockets.h"

#include <cstdio>
#include <cwchar>
#include <string>

// The runtime must hand over the arguments as its parser split them, without
// expanding wildcards: the quoting tests compare against exactly that.
extern "C" int _dowildcard;
int _dowildcard = 0;

namespace {

unsigned long long number(const wchar_t* text) { return std::wcstoull(text, nullptr, 0); }

bool writeFile(const wchar_t* path, const std::string& bytes)
{
    std::FILE* file = _wfopen(path, L"wb");
    const bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return file != nullptr && std::fclose(file) == 0 && written;
}

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* exception)
{
    // Ended before any frame handler runs, so that Wine starts no debugger and
    // the exit code is the exception code, as for an unattended crash.
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Callback and stream write to one file, so it shows their order.
void recordCallback(void* file, DebugMessageType type, const char* text)
{
    std::fprintf(static_cast<std::FILE*>(file), "callback %d: %s", type, text);
    std::fflush(static_cast<std::FILE*>(file));
}

// debug <fatal|error|error-abort|assert> <file>: "boom 7" from dir/raise.cpp
// line 42, or a failing debugAssert whose line the file names first.
int debug(const std::wstring& kind, const wchar_t* path)
{
    std::FILE* file = _wfopen(path, L"wb");
    if (file == nullptr)
        return 2;
    Debug::setConfig(DebugConfig{kind == L"error-abort", recordCallback, file, file});
    if (kind == L"assert") {
        std::fprintf(file, "line %d\n", __LINE__ + 2);
        const int* volatile held = nullptr;
        debugAssert(nullptr != held);
    }
    return Debug::report(kind == L"fatal" ? Debug::Fatal : Debug::Error, "dir/raise.cpp", 42, file, nullptr,
                         "boom %d", 7) ? 1 : 0;
}

std::string describe(SOCKET socket)
{
    const std::string name = testSockets::name(socket);
    return name.empty() ? "error " + std::to_string(WSAGetLastError()) : name;
}

// server <until-close <code> <report> | exit <code> | ignore-close <report>>
// with --pre-established-listener L --pre-established-connection C. The
// report ("arg" lines, listener, connection, sockets held) appears whole.
int server(int argc, wchar_t** argv)
{
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    std::string report;
    for (int i = 2; i < argc; ++i) {
        report += "arg " + toUtf8(std::wstring_view(argv[i])) + "\n";
        if (i + 1 < argc && std::wcscmp(argv[i], L"--pre-established-listener") == 0)
            listener = static_cast<SOCKET>(number(argv[i + 1]));
        if (i + 1 < argc && std::wcscmp(argv[i], L"--pre-established-connection") == 0)
            connection = static_cast<SOCKET>(number(argv[i + 1]));
    }
    WSADATA data{};
    const std::wstring behaviour = argc > 2 ? argv[2] : L"";
    if (argc < 4 || listener == INVALID_SOCKET || connection == INVALID_SOCKET || WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 90;
    if (behaviour == L"exit")
        ExitProcess(static_cast<UINT>(number(argv[3])));
    // What this process holds, not what it was told: a leaked handle shows.
    report += "listener " + describe(listener) + "\nconnection " + describe(connection) + "\nsockets";
    for (SOCKET socket : testSockets::heldSockets())
        report.append(1, ' ').append(std::to_string(socket));
    if (behaviour == L"until-close" && argc < 5)
        return 90;
    const std::wstring file = argv[behaviour == L"until-close" ? 4 : 3];
    if (!writeFile((file + L".part").c_str(), report + "\n") || !MoveFileExW((file + L".part").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 90;
    if (behaviour != L"until-close") {
        Sleep(60000);
        return 0;
    }
    // select(): Wine's poll does not know inherited sockets. Each client gets
    // a greeting; the host's close (or 60 s) ends the run, 99 for the latter.
    for (const ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        FD_SET(connection, &readable);
        timeval wait{0, 100000};
        if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR)
            break;
        char buffer[256];
        if (FD_ISSET(connection, &readable) && recv(connection, buffer, sizeof buffer, 0) <= 0)
            ExitProcess(static_cast<UINT>(number(argv[3])));
        const SOCKET client = FD_ISSET(listener, &readable) ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
        if (client != INVALID_SOCKET) {
            send(client, "accepted by test_child\n", 23, 0);
            closesocket(client);
        }
    }
    return 99;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"echo-args" && argc > 2) {
        std::string out;
        for (int i = 0; i < argc; ++i)
            out += toUtf8(std::wstring_view(argv[i])) + '\0';
        return writeFile(argv[2], out) ? 0 : 3;
    }
    if (verb == L"exit" && argc > 2)
        ExitProcess(static_cast<UINT>(number(argv[2]))); // not return: the runtime would narrow it to int
    if (verb == L"sleep" && argc > 2) {
        Sleep(static_cast<DWORD>(number(argv[2])));
        return 0;
    }
    if (verb == L"crash") {
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        AddVectoredExceptionHandler(1, endWithExceptionCode);
        volatile int* volatile target = nullptr; // neither the store nor the pointer may be optimised away
        *target = 1;
    }
    if (verb == L"check-handles") {
        int missing = 0;
        for (int i = 2; i < argc; ++i) {
            DWORD flags = 0;
            const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number(argv[i])));
            missing += std::wcsncmp(argv[i], L"--", 2) != 0 && !GetHandleInformation(handle, &flags);
        }
        return missing;
    }
    if (verb == L"debug" && argc > 3)
        return debug(argv[2], argv[3]);
    if (verb == L"server")
        return server(argc, argv);
    std::fputs("usage: test_child echo-args|exit|sleep|crash|check-handles|debug|server ...\n", stderr);
    return 100;
}
