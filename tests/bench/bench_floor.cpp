// The floor that scripts/bench --data measures the reference server against: the same file work (an upload
// received into a temporary file with WriteFile, flushed, then renamed over its name; a download read with
// ReadFile in 1 MiB chunks) over blocking Winsock with nothing else: one thread and one request per connection,
// no time limits, no keep-alive, just enough HTTP/1.1 for the bench's client.
//
// Usage: bench_floor <data folder>. Prints "listening on 127.0.0.1:<port>" and serves until its standard input
// closes, so it ends with the bench that started it.
#include "UniqueHandle.h"
#include "test_sockets.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Socket = UniqueHandle<SocketTraits>;
constexpr std::size_t chunkSize = 1 << 20;
constexpr std::size_t maxHeadSize = 16 * 1024;

std::wstring folder;
std::atomic<unsigned> uploadCount{0};

bool sendAll(SOCKET socket, const char* data, std::size_t size)
{
    while (size > 0) {
        const int sent = send(socket, data, static_cast<int>(std::min(size, chunkSize)), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool answer(SOCKET socket, const std::string& statusAndHeaders)
{
    const std::string head = "HTTP/1.1 " + statusAndHeaders + "\r\nConnection: close\r\n\r\n";
    return sendAll(socket, head.data(), head.size());
}

// The bench stores only names like "large" and "concurrent-7": anything else is refused rather than made safe.
bool isPlainName(std::string_view name)
{
    return !name.empty() && name.size() <= 128 && name.front() != '.'
        && std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; });
}

bool contentLength(std::string head, std::uint64_t& length)
{
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    constexpr std::string_view field = "\r\ncontent-length:";
    std::size_t at = head.find(field);
    if (at == std::string::npos)
        return false;
    at = head.find_first_not_of(' ', at + field.size());
    return at != std::string::npos
        && std::from_chars(head.data() + at, head.data() + head.size(), length).ec == std::errc();
}

// start: the body's first bytes, received with the head.
bool putFile(SOCKET client, const std::wstring& path, std::string_view start, std::uint64_t length)
{
    const std::wstring temporary = folder + L"\\.upload-" + std::to_wstring(++uploadCount) + L".tmp";
    ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    bool stored = file && start.size() <= length
        && WriteFile(file.get(), start.data(), static_cast<DWORD>(start.size()), &written, nullptr);
    std::vector<char> chunk(chunkSize);
    for (std::uint64_t left = length - start.size(); stored && left > 0;) {
        const int received = recv(client, chunk.data(), static_cast<int>(std::min<std::uint64_t>(left, chunkSize)), 0);
        stored = received > 0 && WriteFile(file.get(), chunk.data(), static_cast<DWORD>(received), &written, nullptr);
        if (stored)
            left -= static_cast<std::uint64_t>(received);
    }
    stored = stored && FlushFileBuffers(file.get());
    file.reset();
    stored = stored && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!stored)
        DeleteFileW(temporary.c_str());
    return answer(client,
                  stored ? "201 Created\r\nContent-Length: 0" : "500 Internal Server Error\r\nContent-Length: 0");
}

bool getFile(SOCKET client, const std::wstring& path)
{
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return answer(client, "404 Not Found\r\nContent-Length: 0");
    if (!answer(client, "200 OK\r\nContent-Length: " + std::to_string(size.QuadPart)))
        return false;
    std::vector<char> chunk(chunkSize);
    DWORD read = 0;
    for (auto left = static_cast<std::uint64_t>(size.QuadPart); left > 0; left -= read) {
        const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>(left, chunkSize));
        if (!ReadFile(file.get(), chunk.data(), wanted, &read, nullptr) || read == 0
            || !sendAll(client, chunk.data(), read))
            return false;
    }
    return true;
}

void serve(Socket client)
{
    std::string received;
    std::vector<char> chunk(maxHeadSize);
    std::size_t headEnd = 0;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const int count = recv(client.get(), chunk.data(), static_cast<int>(chunk.size()), 0);
        if (count <= 0 || received.size() > maxHeadSize)
            return;
        received.append(chunk.data(), static_cast<std::size_t>(count));
    }
    const std::string head = received.substr(0, headEnd + 2);
    const std::size_t methodEnd = head.find(' ');
    const std::size_t targetEnd = head.find(' ', methodEnd + 1);
    const std::string method = head.substr(0, methodEnd);
    const std::string target = head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    constexpr std::string_view prefix = "/files/";
    std::uint64_t length = 0;
    if (targetEnd == std::string::npos || !target.starts_with(prefix) || !isPlainName(target.substr(prefix.size())))
        answer(client.get(), "404 Not Found\r\nContent-Length: 0");
    else if (method == "PUT" && contentLength(head, length))
        putFile(client.get(), folder + L"\\" + std::wstring(target.begin() + prefix.size(), target.end()),
                std::string_view(received).substr(headEnd + 4), length);
    else if (method == "GET")
        getFile(client.get(), folder + L"\\" + std::wstring(target.begin() + prefix.size(), target.end()));
    else
        answer(client.get(), "400 Bad Request\r\nContent-Length: 0");
    shutdown(client.get(), SD_SEND);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2 || !testSockets::winsockStarted) {
        std::fputs("usage: bench_floor <data folder>\n", stderr);
        return 1;
    }
    folder = argv[1];
    const Socket listener(testSockets::listenOn(0));
    const std::string name = testSockets::name(listener.get());
    if (!listener || name.empty()) {
        std::fprintf(stderr, "bench_floor: cannot listen (%d)\n", WSAGetLastError());
        return 1;
    }
    std::printf("listening on %s\n", name.c_str());
    std::fflush(stdout);
    std::thread([] {
        char ignored[64];
        DWORD read = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &read, nullptr) && read > 0) {}
        ExitProcess(0);
    }).detach();
    for (;;) {
        Socket client(accept(listener.get(), nullptr, nullptr));
        if (!client)
            return 1;
        std::thread(serve, std::move(client)).detach();
    }
}
