#include "daemon/metrics/HttpRequest.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace Http {

namespace {

// RFC 9110 token characters.
bool IsTokenChar(unsigned char c) {
    if (isalnum(c)) return true;
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (!IsTokenChar(c)) return false;
    }
    return true;
}

// A field value's bytes: visible characters, obs-text, space and tab.
bool IsValueChar(unsigned char c) { return c == '\t' || c == ' ' || (c > 0x20 && c != 0x7f); }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

// The head's lines without their line ends. A line ends in LF, with or
// without CR before it; a CR anywhere else is refused.
bool SplitLines(const std::string& head, std::vector<std::string>& lines) {
    size_t start = 0;
    while (start < head.size()) {
        const size_t end = head.find('\n', start);
        if (end == std::string::npos) return false;
        size_t stop = end;
        if (stop > start && head[stop - 1] == '\r') --stop;
        std::string line = head.substr(start, stop - start);
        if (line.find('\r') != std::string::npos) return false;
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

int ParseRequestLine(const std::string& line, Request& request) {
    if (line.size() > kMaxRequestLine) return 414;
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) return 400;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    const std::string version = line.substr(second + 1);
    if (!IsToken(request.method) || request.target.empty()) return 400;
    for (unsigned char c : request.target) {
        if (c <= 0x20 || c >= 0x7f) return 400;
    }
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || !isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !isdigit(static_cast<unsigned char>(version[7]))) {
        return 400;
    }
    if (version[5] != '1') return 505;
    request.minorVersion = version[7] - '0';
    request.path = request.target.substr(0, request.target.find('?'));
    return 0;
}

int ParseHeader(const std::string& line, Request& request) {
    // A line that begins with white space continues the one before
    // (obsolete folding): refused, as RFC 9112 allows.
    if (line[0] == ' ' || line[0] == '\t') return 400;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return 400;
    const std::string name = line.substr(0, colon);
    if (!IsToken(name)) return 400;  // also white space before the colon
    const std::string value = line.substr(colon + 1);
    for (unsigned char c : value) {
        if (!IsValueChar(c)) return 400;
    }
    if (request.headers.size() >= kMaxHeaders) return 431;
    request.headers.emplace_back(Lower(name), Trim(value));
    return 0;
}

}  // namespace

bool Request::Header(const std::string& name, std::string& value) const {
    for (const auto& header : headers) {
        if (header.first == name) {
            value = header.second;
            return true;
        }
    }
    return false;
}

int ParseHead(const std::string& head, Request& request) {
    request = Request();
    std::vector<std::string> lines;
    if (!SplitLines(head, lines)) return 400;
    size_t index = 0;
    // Empty lines before the request line are tolerated (RFC 9112 2.2).
    while (index < lines.size() && lines[index].empty()) ++index;
    if (index == lines.size()) return 400;
    int status = ParseRequestLine(lines[index++], request);
    if (status != 0) return status;
    for (; index < lines.size() && !lines[index].empty(); ++index) {
        status = ParseHeader(lines[index], request);
        if (status != 0) return status;
    }
    // The head ends with its blank line and nothing after it.
    if (index + 1 != lines.size()) return 400;
    size_t hosts = 0;
    for (const auto& header : request.headers) hosts += header.first == "host" ? 1 : 0;
    if (hosts > 1 || (hosts == 0 && request.minorVersion >= 1)) return 400;
    return 0;
}

RequestReader::State RequestReader::Add(const char* data, size_t size) {
    if (done_) return State::kDone;
    const size_t oldSize = head_.size();
    head_.append(data, std::min(size, kMaxHead - head_.size()));
    // The head ends at the first empty line after the request line: look for
    // it from a little before the new bytes, as its line ends may straddle.
    size_t searchFrom = oldSize > 3 ? oldSize - 3 : 0;
    size_t end = std::string::npos;
    size_t requestLineStart = 0;
    while (requestLineStart < head_.size() && (head_[requestLineStart] == '\r' || head_[requestLineStart] == '\n')) {
        ++requestLineStart;
    }
    searchFrom = std::max(searchFrom, requestLineStart);
    for (size_t i = searchFrom; i < head_.size(); ++i) {
        if (head_[i] != '\n') continue;
        if (i >= 1 && head_[i - 1] == '\n' && i - 1 >= requestLineStart) end = i + 1;
        if (i >= 2 && head_[i - 1] == '\r' && head_[i - 2] == '\n' && i - 2 >= requestLineStart) end = i + 1;
        if (end != std::string::npos) break;
    }
    if (end != std::string::npos) {
        head_.resize(end);
        status_ = ParseHead(head_, request_);
        done_ = true;
        return State::kDone;
    }
    const size_t lineEnd = head_.find('\n', requestLineStart);
    const size_t lineLength = (lineEnd == std::string::npos ? head_.size() : lineEnd) - requestLineStart;
    if (lineLength > kMaxRequestLine) {
        status_ = 414;
    } else if (head_.size() >= kMaxHead) {
        status_ = 431;
    } else {
        return State::kMore;
    }
    done_ = true;
    return State::kDone;
}

int Route(const Request& request, const std::string& path) {
    if (request.path != path) return 404;
    if (request.method != "GET") return 405;
    // The endpoint reads no body: a GET that announces one is refused
    // rather than have its body taken for a next request.
    std::string length;
    std::string encoding;
    if (request.Header("transfer-encoding", encoding)) return 400;
    if (request.Header("content-length", length) && length != "0") return 400;
    return 200;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
    }
    return "Error";
}

std::string Response(int status, const std::string& contentType, const std::string& body) {
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    response += "Content-Type: " + contentType + "\r\n";
    response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (status == 405) response += "Allow: GET\r\n";
    response += "Connection: close\r\n\r\n";
    response += body;
    return response;
}

}  // namespace Http
