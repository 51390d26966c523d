#include "http_request.h"

#include "file_names.h"

#include <cstdio>
#include <limits>

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

bool isToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Controls other than tab have no place in a request line or a field value;
// a bare CR in particular lets a request mean different things to different
// parsers.
bool hasControl(std::string_view text)
{
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return true;
    }
    return false;
}

bool parseLength(std::string_view text, std::uint64_t& value)
{
    if (text.empty())
        return false;
    std::uint64_t result = 0;
    constexpr std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (result > (maximum - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

ParseResult failure(int status)
{
    ParseResult result;
    result.state = ParseState::failed;
    result.failureStatus = status;
    return result;
}

// "HTTP/1.1": 0 and the minor version; other majors are 505, junk is 400.
int parseVersion(std::string_view text, int& minor)
{
    if (text.size() != 8 || text.substr(0, 5) != "HTTP/" || text[6] != '.' || text[5] < '0' || text[5] > '9'
        || text[7] < '0' || text[7] > '9')
        return 400;
    if (text[5] != '1')
        return 505;
    minor = text[7] - '0';
    return 0;
}

int parseRequestLine(std::string_view line, HttpRequest& request)
{
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos)
        return 400;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return 400;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!isToken(method) || target.empty() || target.front() != '/' || hasControl(target))
        return 400;
    if (const int status = parseVersion(version, request.minorVersion))
        return status;
    request.method = method;
    request.target = target;
    return 0;
}

struct HeaderState {
    bool sawClose = false;
    bool sawKeepAlive = false;
};

int parseHeaderLine(std::string_view line, HttpRequest& request, HeaderState& state)
{
    // Folded continuation lines are obsolete and ambiguous.
    if (isBlank(line.front()))
        return 400;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return 400;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimBlanks(line.substr(colon + 1));
    if (!isToken(name) || hasControl(value))
        return 400;

    if (equalsIgnoringCase(name, "Content-Length")) {
        std::uint64_t length = 0;
        if (!parseLength(value, length))
            return 400;
        // Two different lengths leave the end of the body open to dispute.
        if (request.contentLength && *request.contentLength != length)
            return 400;
        request.contentLength = length;
    } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
        request.hasTransferEncoding = true;
    } else if (equalsIgnoringCase(name, "Connection")) {
        std::string_view rest = value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view option = trimBlanks(rest.substr(0, comma));
            if (equalsIgnoringCase(option, "close"))
                state.sawClose = true;
            else if (equalsIgnoringCase(option, "keep-alive"))
                state.sawKeepAlive = true;
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        }
    } else if (equalsIgnoringCase(name, "Expect")) {
        if (equalsIgnoringCase(value, "100-continue"))
            request.expectContinue = true;
        else
            request.unsupportedExpectation = true;
    }
    return 0;
}

Route reject(int status, std::string_view allow = {})
{
    Route route;
    route.status = status;
    route.allow = allow;
    return route;
}

Route accept(Action action, bool headOnly, std::string_view name = {})
{
    Route route;
    route.action = action;
    route.headOnly = headOnly;
    route.name = name;
    return route;
}

} // namespace

ParseResult parseRequestHead(std::string_view received, std::size_t limit)
{
    // Blank lines before a request are tolerated, as the protocol asks.
    std::size_t begin = 0;
    while (begin < received.size() && (received[begin] == '\r' || received[begin] == '\n'))
        ++begin;

    ParseResult result;
    HeaderState state;
    bool haveRequestLine = false;
    std::size_t lineStart = begin;
    for (;;) {
        const std::size_t newline = received.find('\n', lineStart);
        if (newline == std::string_view::npos)
            return received.size() - begin > limit ? failure(431) : result;
        if (newline + 1 - begin > limit)
            return failure(431);

        std::string_view line = received.substr(lineStart, newline - lineStart);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lineStart = newline + 1;

        if (line.empty())
            break;
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
            return failure(400);
        const int status = haveRequestLine ? parseHeaderLine(line, result.request, state)
                                           : parseRequestLine(line, result.request);
        if (status != 0)
            return failure(status);
        haveRequestLine = true;
    }

    HttpRequest& request = result.request;
    request.keepAlive = !state.sawClose && (request.minorVersion >= 1 || state.sawKeepAlive);
    result.state = ParseState::complete;
    result.headLength = lineStart;
    return result;
}

Route routeRequest(const HttpRequest& request, std::uint64_t maxBodySize)
{
    // Without a length the end of the body cannot be found; with both, the
    // two could disagree about it.
    if (request.hasTransferEncoding)
        return reject(request.contentLength ? 400 : 411);
    if (request.unsupportedExpectation)
        return reject(417);

    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string_view method = request.method;
    const bool isGet = method == "GET";
    const bool isHead = method == "HEAD";

    constexpr std::string_view filesPrefix = "/files/";
    if (path == "/arguments") {
        if (isGet || isHead)
            return accept(Action::showArguments, isHead);
        return reject(405, "GET, HEAD");
    }
    if (path == filesPrefix || path == "/files") {
        if (isGet || isHead)
            return accept(Action::listFiles, isHead);
        return reject(405, "GET, HEAD");
    }
    if (!path.starts_with(filesPrefix))
        return reject(404);

    const std::string_view name = path.substr(filesPrefix.size());
    if (!isValidFileName(name))
        return reject(400);
    if (isGet || isHead)
        return accept(Action::getFile, isHead, name);
    if (method == "DELETE")
        return accept(Action::deleteFile, false, name);
    if (method == "PUT") {
        if (!request.contentLength)
            return reject(411);
        if (*request.contentLength > maxBodySize)
            return reject(413);
        return accept(Action::putFile, false, name);
    }
    return reject(405, "DELETE, GET, HEAD, PUT");
}

const char* reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

std::string responseHead(int status, std::uint64_t contentLength, bool keepAlive, std::string_view extraHeaders)
{
    char line[128];
    std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", status, reasonPhrase(status));
    std::string head = line;
    // A 204 carries no body and must not claim one.
    if (status != 204) {
        std::snprintf(line, sizeof line, "Content-Length: %llu\r\n", static_cast<unsigned long long>(contentLength));
        head += line;
    }
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += extraHeaders;
    head += "\r\n";
    return head;
}

std::string percentEncode(std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[u >> 4];
            encoded += hex[u & 0xF];
        }
    }
    return encoded;
}
