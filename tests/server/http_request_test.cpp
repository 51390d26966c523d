#include "http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

ParseResult parse(std::string_view text, std::size_t limit = maxHeadSize)
{
    return parseRequestHead(text, limit);
}

TEST(HttpRequestHead, ParsesARequestAndStopsAtItsEnd)
{
    const std::string first = "PUT /files/a.txt HTTP/1.1\r\nHost: x\r\ncontent-length: 11\r\nExpect: 100-continue\r\n\r\n";
    const ParseResult result = parse(first + "hello world" + "GET /files/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(ParseState::complete, result.state);
    EXPECT_EQ(first.size(), result.headLength);
    EXPECT_EQ("PUT", result.request.method);
    EXPECT_EQ("/files/a.txt", result.request.target);
    EXPECT_EQ(1, result.request.minorVersion);
    EXPECT_EQ(11u, result.request.contentLength.value_or(0));
    EXPECT_TRUE(result.request.keepAlive && result.request.expectContinue);
    EXPECT_FALSE(result.request.hasTransferEncoding);
    for (std::size_t n = 0; n < first.size(); ++n)
        EXPECT_EQ(ParseState::incomplete, parse(first.substr(0, n)).state) << "prefix of " << n << " bytes";

    // Bare line feeds and leading blank lines are accepted.
    const std::string bare = "\r\n\nGET /arguments HTTP/1.0\nConnection: keep-alive\n\n";
    const ParseResult lenient = parse(bare);
    ASSERT_EQ(ParseState::complete, lenient.state);
    EXPECT_EQ(bare.size(), lenient.headLength);
    EXPECT_EQ("/arguments", lenient.request.target);
    EXPECT_EQ(0, lenient.request.minorVersion);
    EXPECT_TRUE(lenient.request.keepAlive);
}

TEST(HttpRequestHead, ConnectionPersistenceFollowsVersionAndHeader)
{
    const struct {
        const char* head;
        bool keepAlive;
    } cases[]{
        {"GET / HTTP/1.1\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nconnection: Upgrade, CLOSE\r\n\r\n", false},
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
        {"GET / HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", false},
        {"GET / HTTP/1.9\r\n\r\n", true},
    };
    for (const auto& c : cases) {
        const ParseResult result = parse(c.head);
        ASSERT_EQ(ParseState::complete, result.state) << c.head;
        EXPECT_EQ(c.keepAlive, result.request.keepAlive) << c.head;
    }
}

TEST(HttpRequestHead, RefusesOversizedHeads)
{
    // No end in sight and already past the bound: no point in waiting.
    const std::string endless = "GET / HTTP/1.1\r\nX-Filler: " + std::string(maxHeadSize, 'a');
    ParseResult result = parse(endless);
    EXPECT_EQ(ParseState::failed, result.state);
    EXPECT_EQ(431, result.failureStatus);

    const std::string complete = endless + "\r\n\r\n";
    result = parse(complete);
    EXPECT_EQ(ParseState::failed, result.state);
    EXPECT_EQ(431, result.failureStatus);

    // The bound itself is allowed.
    const std::string exact = "GET / HTTP/1.1\r\n\r\n";
    EXPECT_EQ(ParseState::complete, parse(exact, exact.size()).state);
    EXPECT_EQ(431, parse(exact, exact.size() - 1).failureStatus);
    EXPECT_EQ(ParseState::incomplete, parse(exact.substr(0, exact.size() - 1), exact.size()).state);
}

TEST(HttpRequestHead, RefusesMalformedRequests)
{
    const struct {
        const char* why;
        std::string head;
        int status;
    } cases[]{
        {"two parts", "GET /x\r\n\r\n", 400},
        {"four parts", "GET /x HTTP/1.1 extra\r\n\r\n", 400},
        {"double blank", "GET  /x HTTP/1.1\r\n\r\n", 400},
        {"relative target", "GET x HTTP/1.1\r\n\r\n", 400},
        {"method not a token", "G(T /x HTTP/1.1\r\n\r\n", 400},
        {"bad version", "GET /x HTTP/1.1x\r\n\r\n", 400},
        {"not http", "GET /x FTP/1.1\r\n\r\n", 400},
        {"other major version", "GET /x HTTP/2.0\r\n\r\n", 505},
        {"header without colon", "GET /x HTTP/1.1\r\nNoColon\r\n\r\n", 400},
        {"folded header", "GET /x HTTP/1.1\r\nA: b\r\n c\r\n\r\n", 400},
        {"blank before colon", "GET /x HTTP/1.1\r\nContent-Length : 5\r\n\r\n", 400},
        {"blank in name", "GET /x HTTP/1.1\r\nContent Length: 5\r\n\r\n", 400},
        {"bare CR in value", "GET /x HTTP/1.1\r\nA: b\rc\r\n\r\n", 400},
        {"NUL in value", "GET /x HTTP/1.1\r\nA: b\0c\r\n\r\n"s, 400},
        {"control in target", "GET /x\x01y HTTP/1.1\r\n\r\n", 400},
        {"length not a number", "PUT /files/a HTTP/1.1\r\nContent-Length: 12a\r\n\r\n", 400},
        {"negative length", "PUT /files/a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"length list", "PUT /files/a HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\n", 400},
        {"length overflow", "PUT /files/a HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", 400},
        {"two lengths", "PUT /files/a HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        const ParseResult result = parse(c.head);
        EXPECT_EQ(ParseState::failed, result.state) << c.why;
        EXPECT_EQ(c.status, result.failureStatus) << c.why;
    }

    const ParseResult same = parse("PUT /files/a HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n");
    ASSERT_EQ(ParseState::complete, same.state) << "a repeated equal length is harmless";
    EXPECT_EQ(5u, *same.request.contentLength);
}

HttpRequest request(const char* method, const char* target, std::optional<std::uint64_t> length = std::nullopt)
{
    HttpRequest r;
    r.method = method;
    r.target = target;
    r.contentLength = length;
    return r;
}

TEST(HttpRouting, MapsResourcesAndMethods)
{
    constexpr std::uint64_t limit = 1000;
    const struct {
        HttpRequest request;
        Action action;
        const char* name;
        bool headOnly;
    } accepted[]{
        {request("GET", "/files/"), Action::listFiles, "", false},
        {request("GET", "/files"), Action::listFiles, "", false},
        {request("HEAD", "/files/"), Action::listFiles, "", true},
        {request("GET", "/files/a.txt"), Action::getFile, "a.txt", false},
        {request("GET", "/files/a.txt?version=2"), Action::getFile, "a.txt", false},
        {request("HEAD", "/files/a.txt"), Action::getFile, "a.txt", true},
        {request("PUT", "/files/a.txt", 0), Action::putFile, "a.txt", false},
        {request("PUT", "/files/a.txt", limit), Action::putFile, "a.txt", false},
        {request("DELETE", "/files/a.txt"), Action::deleteFile, "a.txt", false},
        {request("GET", "/arguments"), Action::showArguments, "", false},
        {request("HEAD", "/arguments"), Action::showArguments, "", true},
    };
    for (const auto& c : accepted) {
        const Route route = routeRequest(c.request, limit);
        const std::string what = c.request.method + " " + c.request.target;
        EXPECT_EQ(c.action, route.action) << what;
        EXPECT_EQ(c.name, route.name) << what;
        EXPECT_EQ(c.headOnly, route.headOnly) << what;
    }
}

TEST(HttpRouting, RefusesWithTheRightStatus)
{
    constexpr std::uint64_t limit = 1000;
    HttpRequest chunked = request("PUT", "/files/a");
    chunked.hasTransferEncoding = true;
    HttpRequest chunkedWithLength = request("PUT", "/files/a", 5);
    chunkedWithLength.hasTransferEncoding = true;
    HttpRequest oddExpectation = request("PUT", "/files/a", 5);
    oddExpectation.unsupportedExpectation = true;

    const struct {
        const char* why;
        HttpRequest request;
        int status;
        std::string_view allow;
    } refused[]{
        {"no length", request("PUT", "/files/a"), 411, {}},
        {"too large", request("PUT", "/files/a", limit + 1), 413, {}},
        {"chunked", chunked, 411, {}},
        {"chunked and a length", chunkedWithLength, 400, {}},
        {"expectation", oddExpectation, 417, {}},
        {"parent", request("GET", "/files/../x"), 400, {}},
        {"sub folder", request("GET", "/files/a/b"), 400, {}},
        {"hidden", request("PUT", "/files/.x", 1), 400, {}},
        {"encoded dots", request("DELETE", "/files/%2e%2e"), 400, {}},
        {"backslash", request("GET", "/files/..\\x"), 400, {}},
        {"device", request("PUT", "/files/nul", 1), 400, {}},
        {"POST on a file", request("POST", "/files/a"), 405, "DELETE, GET, HEAD, PUT"},
        {"lower-case method", request("get", "/files/a"), 405, "DELETE, GET, HEAD, PUT"},
        {"PUT on the list", request("PUT", "/files/", 1), 405, "GET, HEAD"},
        {"DELETE on arguments", request("DELETE", "/arguments"), 405, "GET, HEAD"},
        {"root", request("GET", "/"), 404, {}},
        {"other", request("GET", "/filesx"), 404, {}},
        {"arguments below", request("GET", "/arguments/x"), 404, {}},
    };
    for (const auto& c : refused) {
        const Route route = routeRequest(c.request, limit);
        EXPECT_EQ(Action::reject, route.action) << c.why;
        EXPECT_EQ(c.status, route.status) << c.why;
        EXPECT_EQ(c.allow, route.allow) << c.why;
    }
}

TEST(HttpResponse, HeadsCarryLengthAndPersistence)
{
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\nX-A: b\r\n\r\n",
        responseHead(200, 5, true, "X-A: b\r\n"));
    EXPECT_EQ("HTTP/1.1 413 Content Too Large\r\nContent-Length: 18446744073709551615\r\nConnection: close\r\n\r\n",
        responseHead(413, 18446744073709551615u, false));
    // A 204 must not announce a body at all.
    EXPECT_EQ("HTTP/1.1 204 No Content\r\nConnection: keep-alive\r\n\r\n", responseHead(204, 0, true));
}

std::string percentDecode(std::string_view text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += text[i] == '%' ? 3 : 1)
        bytes += text[i] == '%' ? static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)) : text[i];
    return bytes;
}

TEST(ArgumentEncoding, KeepsEveryArgumentOnOneUnambiguousLine)
{
    EXPECT_EQ("server", percentEncode("server"));
    EXPECT_EQ("a%20b%0Ac%0D%0A", percentEncode("a b\nc\r\n"));
    EXPECT_EQ("--data-dir%3DC%3A%5Cd%C3%A9", percentEncode("--data-dir=C:\\d\xC3\xA9"));
    EXPECT_EQ("%25", percentEncode("%"));
    EXPECT_EQ("A-Z.a_z~09", percentEncode("A-Z.a_z~09"));
    EXPECT_EQ("", percentEncode(""));

    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    const std::string encoded = percentEncode(every);
    for (char c : encoded) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u > 0x20 && u < 0x7F) << "byte " << int(u) << " left unencoded";
    }
    EXPECT_EQ(every, percentDecode(encoded));
}

} // namespace
