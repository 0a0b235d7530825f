// HttpRequest: the head of one HTTP/1.x request, as quayd's metrics endpoint
// reads it from any client that connects. Every byte may be hostile: the
// request line and the head are bounded, the grammar is checked strictly
// (no bare CR, no folded or nameless header lines, no space before a
// colon, one Host), and anything the endpoint does not need is refused with
// a status rather than guessed at. Bodies are never read.
//
// Pure functions and a value type: thread-safe, no I/O.
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace Http {

// Bytes of the request line, and of the whole head with its blank line.
constexpr size_t kMaxRequestLine = 1024;
constexpr size_t kMaxHead = 8192;
constexpr size_t kMaxHeaders = 64;

struct Request {
    std::string method;
    std::string target;  // as sent
    std::string path;    // the target without its query
    int minorVersion = 1;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, values trimmed

    // The value of the first header of name (lower case); false when absent.
    bool Header(const std::string& name, std::string& value) const;
};

// Takes a request's bytes as they arrive, until its head is complete or
// refused; what follows the head is ignored.
class RequestReader {
public:
    enum class State { kMore, kDone };

    // Adds received bytes; kDone once the head is complete or refused.
    State Add(const char* data, size_t size);
    // After kDone: 0 with the request parsed, or the status that refuses it
    // (400, 414, 431, 505).
    int Status() const { return status_; }
    const Request& Parsed() const { return request_; }

private:
    std::string head_;
    bool done_ = false;
    int status_ = 0;
    Request request_;
};

// Parses a complete head (ending in its blank line): 0, or the status that
// refuses it.
int ParseHead(const std::string& head, Request& request);

// What the metrics endpoint answers a parsed request, served at path: 200
// for GET of path, 404 for any other path, 405 for another method there,
// 400 for a GET that comes with a body.
int Route(const Request& request, const std::string& path);

// A whole response: status line, Content-Type, Content-Length, Connection:
// close, Allow: GET with 405, then body.
std::string Response(int status, const std::string& contentType, const std::string& body);
// The reason phrase of the statuses this endpoint sends.
const char* Reason(int status);

}  // namespace Http
