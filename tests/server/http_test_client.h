// A deliberately small HTTP client on a raw socket, so tests can also send
// what a well-behaved client never would (partial requests, cut bodies).
#pragma once

#include "WinApi.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;

    std::string header(const std::string& lowerCaseName) const
    {
        const auto found = headers.find(lowerCaseName);
        return found == headers.end() ? std::string() : found->second;
    }
};

class HttpTestClient {
public:
    HttpTestClient() = default;
    ~HttpTestClient() { close(); }
    HttpTestClient(const HttpTestClient&) = delete;
    HttpTestClient& operator=(const HttpTestClient&) = delete;

    bool connect(std::uint16_t port);
    bool send(std::string_view bytes);
    // One response; a HEAD response has no body whatever its length says.
    std::optional<HttpResponse> receive(DWORD timeoutMs = 5000, bool toHead = false);
    // True when the server closed the connection within timeoutMs (data
    // still arriving meanwhile is dropped).
    bool closedByServer(DWORD timeoutMs);
    void close();

private:
    bool fill(DWORD timeoutMs);

    SOCKET mSocket = INVALID_SOCKET;
    std::string mPending;
};

// One request on a connection of its own ("Connection: close").
std::optional<HttpResponse> httpRequest(std::uint16_t port, std::string_view method, std::string_view target,
    std::string_view body = {}, std::string_view extraHeaders = {});
