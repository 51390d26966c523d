// quorvanta-embedded-server: the file-transfer server that the service host
// runs. See server_options.h for its command line and http_request.h for
// what it serves.
#include "exit_codes.h"
#include "file_store.h"
#include "http_request.h"
#include "server_log.h"
#include "server_loop.h"
#include "server_options.h"
#include "TextConversion.h"
#include "WinApi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring defaultDataDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return L"data";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t cut = path.find_last_of(L"\\/");
    return (cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1)) + L"data";
}

std::string argumentsBody(int argc, wchar_t** argv)
{
    std::string body;
    for (int i = 0; i < argc; ++i)
        body += percentEncode(toUtf8(argv[i])) + "\n";
    return body;
}

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

int serve(const ServerOptions& options, int argc, wchar_t** argv)
{
    ScopedSocket ownListener;
    SOCKET listener = static_cast<SOCKET>(options.listenerHandle);
    SOCKET hostConnection = static_cast<SOCKET>(options.connectionHandle);
    if (options.mode == ServerMode::server) {
        std::string problem;
        if (!checkInheritedSockets(listener, hostConnection, problem)) {
            logLine("%s", problem.c_str());
            return exitServerError;
        }
    } else {
        ownListener = listenOnLoopback(options.port);
        if (!ownListener) {
            const int error = WSAGetLastError();
            logLine("cannot listen on 127.0.0.1:%u (%d)", options.port, error);
            return exitServerError;
        }
        listener = ownListener.get();
        hostConnection = INVALID_SOCKET;
        // Port 0 picks a free one: say which.
        sockaddr_in bound{};
        int length = sizeof bound;
        getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
        std::printf("listening on 127.0.0.1:%u\n", ntohs(bound.sin_port));
        std::fflush(stdout);
    }

    WriteCacheBudget budget(options.writeCacheSize);
    FileStore store(options.dataDirectory.empty() ? defaultDataDirectory() : options.dataDirectory, budget);
    if (!store.open()) {
        const DWORD error = GetLastError();
        logLine("cannot open the data folder %s (%lu)", toUtf8(store.directory()).c_str(), error);
        return exitServerError;
    }

    // Lives until the process ends: client threads that outlast the loop
    // still use it.
    auto* context = new ServerContext(store, argumentsBody(argc, argv), maxUploadSize, options.clientTimeoutMs);
    const LoopResult result = runServerLoop(listener, hostConnection, options.ignoreClose, *context);
    const int code = result.failed ? exitServerError : exitSuccess;
    if (!result.clientsFinished) {
        // A client still being served holds the store and the context; end
        // the process without running destructors under its feet.
        logLine("ending with clients still connected");
        std::fflush(nullptr);
        ExitProcess(static_cast<UINT>(code));
    }
    delete context;
    return code;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const OptionsResult parsed = parseServerOptions(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!parsed.ok()) {
        logLine("%s", parsed.error.c_str());
        std::fputs(usageText, stderr);
        return exitInvalidArgument;
    }
    const ServerOptions& options = parsed.options;
    if (options.exitAtOnce)
        return static_cast<int>(*options.exitAtOnce);
    if (options.crash)
        crashNow();

    WSADATA data;
    if (const int error = WSAStartup(MAKEWORD(2, 2), &data)) {
        logLine("cannot start Windows Sockets (%d)", error);
        return exitServerError;
    }
    const int code = serve(options, argc, argv);
    WSACleanup();
    return code;
}
