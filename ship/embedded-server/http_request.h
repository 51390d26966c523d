// HTTP/1.1 for the file store: parsing a request head, deciding what a
// request asks for, and writing a response head. No I/O here.
//
// Resources:
//   GET|HEAD /files/         the stored names, one per line ("\n" after each)
//   GET|HEAD /files/<name>   a file's contents
//   PUT /files/<name>        store a file (Content-Length required)
//   DELETE /files/<name>     remove a file
//   GET|HEAD /arguments      the server's own argv, one argument per line,
//                            each percent-encoded (see percentEncode)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Request line plus headers; a client that needs more is refused with 431.
constexpr std::size_t maxHeadSize = 16 * 1024;

struct HttpRequest {
    std::string method;
    std::string target;
    int minorVersion = 1;
    bool keepAlive = true;
    std::optional<std::uint64_t> contentLength;
    bool hasTransferEncoding = false;
    bool expectContinue = false;
    bool unsupportedExpectation = false;
};

enum class ParseState { incomplete, complete, failed };

struct ParseResult {
    ParseState state = ParseState::incomplete;
    std::size_t headLength = 0; // bytes up to and including the blank line
    int failureStatus = 0;      // the status to answer with when failed
    HttpRequest request;
};

// received: everything read so far on the connection since the previous
// request ended. Lines may end in CR LF or LF alone.
ParseResult parseRequestHead(std::string_view received, std::size_t limit = maxHeadSize);

enum class Action { reject, listFiles, getFile, putFile, deleteFile, showArguments };

struct Route {
    Action action = Action::reject;
    std::string name;             // for the file actions
    bool headOnly = false;        // HEAD: the GET response without its body
    int status = 0;               // for reject
    std::string_view allow;       // for 405: the methods the resource takes
};

Route routeRequest(const HttpRequest& request, std::uint64_t maxBodySize);

const char* reasonPhrase(int status);

// Status line, Content-Length, Connection and any extra header lines (each
// ending in CR LF), then the blank line.
std::string responseHead(int status, std::uint64_t contentLength, bool keepAlive, std::string_view extraHeaders = {});

// Every byte except A-Z a-z 0-9 - . _ ~ becomes %XX (upper-case hex), so an
// argument holding line breaks or controls still reads back unambiguously.
std::string percentEncode(std::string_view bytes);
