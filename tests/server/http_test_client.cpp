#include "http_test_client.h"

#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

DWORD remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

bool HttpTestClient::connect(std::uint16_t port)
{
    close();
    mSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (mSocket == INVALID_SOCKET)
        return false;
    // The server under test must not inherit the test's connections.
    SetHandleInformation(reinterpret_cast<HANDLE>(mSocket), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool HttpTestClient::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const int sent = ::send(mSocket, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool HttpTestClient::fill(DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(mSocket, &readable);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1)
        return false;
    char buffer[65536];
    const int received = recv(mSocket, buffer, sizeof buffer, 0);
    if (received <= 0)
        return false;
    mPending.append(buffer, static_cast<std::size_t>(received));
    return true;
}

std::optional<HttpResponse> HttpTestClient::receive(DWORD timeoutMs, bool toHead)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t end;
    while ((end = mPending.find("\r\n\r\n")) == std::string::npos)
        if (!fill(remainingMs(deadline)))
            return std::nullopt;

    HttpResponse response;
    const std::string head = mPending.substr(0, end + 2);
    mPending.erase(0, end + 4);
    if (head.compare(0, 9, "HTTP/1.1 ") != 0)
        return std::nullopt;
    response.status = std::atoi(head.c_str() + 9);
    std::size_t line = head.find("\r\n") + 2;
    while (line < head.size()) {
        const std::size_t next = head.find("\r\n", line);
        const std::size_t colon = head.find(':', line);
        if (colon == std::string::npos || colon > next)
            return std::nullopt;
        std::string value = head.substr(colon + 1, next - colon - 1);
        while (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        response.headers[lower(head.substr(line, colon - line))] = value;
        line = next + 2;
    }
    const std::string length = response.header("content-length");
    if (toHead || length.empty())
        return response;
    const std::size_t size = static_cast<std::size_t>(std::strtoull(length.c_str(), nullptr, 10));
    while (mPending.size() < size)
        if (!fill(remainingMs(deadline)))
            return std::nullopt;
    response.body = mPending.substr(0, size);
    mPending.erase(0, size);
    return response;
}

bool HttpTestClient::closedByServer(DWORD timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(mSocket, &readable);
        const DWORD left = remainingMs(deadline);
        timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &limit) != 1)
            return false;
        char buffer[4096];
        if (recv(mSocket, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
}

void HttpTestClient::close()
{
    if (mSocket != INVALID_SOCKET)
        closesocket(mSocket);
    mSocket = INVALID_SOCKET;
    mPending.clear();
}

std::optional<HttpResponse> httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
    std::string_view body, std::string_view extraHeaders)
{
    HttpTestClient client;
    if (!client.connect(port))
        return std::nullopt;
    std::string request = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        + "Connection: close\r\n" + std::string(extraHeaders);
    if (method == "PUT" || !body.empty())
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    if (!client.send(request))
        return std::nullopt;
    return client.receive(10000, method == "HEAD");
}
