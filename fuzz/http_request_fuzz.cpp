// libFuzzer target: the bytes a client sends to quayd's metrics endpoint
// (HttpRequest), taken as the endpoint takes them: in pieces of the sizes the
// first input byte picks, until the head is complete or refused. Checks what
// the endpoint relies on: a refusal is one of the statuses it sends; an
// accepted head parses again to the same request on its own; its method is a
// token, its path has no control characters or spaces, its header count and
// lengths stay within their bounds; routing answers 200, 400, 404 or 405;
// and the response is one status line, its headers and the body, with the
// length it names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daemon/metrics/HttpRequest.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

void CheckResponse(int status, const std::string& body) {
    const std::string response = Http::Response(status, "text/plain", body);
    const size_t end = response.find("\r\n\r\n");
    Check(end != std::string::npos);
    Check(response.compare(0, 9, "HTTP/1.1 ") == 0);
    Check(response.substr(end + 4) == body);
    Check(response.find("Content-Length: " + std::to_string(body.size()) + "\r\n") < end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Pieces of 1 to 256 bytes: line ends and the blank line straddle them.
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    Http::RequestReader reader;
    Http::RequestReader::State state = Http::RequestReader::State::kMore;
    size_t fed = 0;
    while (fed < length && state == Http::RequestReader::State::kMore) {
        const size_t now = std::min(piece, length - fed);
        state = reader.Add(bytes + fed, now);
        fed += now;
    }
    // Whatever follows a finished head changes nothing.
    if (state == Http::RequestReader::State::kDone) {
        const int before = reader.Status();
        Check(reader.Add(bytes, length) == Http::RequestReader::State::kDone);
        Check(reader.Status() == before);
    }

    // The whole input as one complete head, parsed directly.
    Http::Request direct;
    const int directStatus = Http::ParseHead(std::string(bytes, length), direct);
    Check(directStatus == 0 || directStatus == 400 || directStatus == 414 || directStatus == 431 ||
          directStatus == 505);

    if (state != Http::RequestReader::State::kDone) return 0;
    const int status = reader.Status();
    Check(status == 0 || status == 400 || status == 414 || status == 431 || status == 505);
    CheckResponse(status == 0 ? 200 : status, "body");
    if (status != 0) return 0;

    const Http::Request& request = reader.Parsed();
    Check(!request.method.empty() && request.target.compare(0, request.path.size(), request.path) == 0);
    for (unsigned char c : request.method) Check(c > 0x20 && c < 0x7f);
    for (unsigned char c : request.target) Check(c > 0x20 && c < 0x7f);
    Check(request.target.size() <= Http::kMaxRequestLine);
    Check(request.headers.size() <= Http::kMaxHeaders);
    Check(request.minorVersion >= 0 && request.minorVersion <= 9);
    for (const auto& header : request.headers) {
        Check(!header.first.empty());
        for (char c : header.first) Check(c < 'A' || c > 'Z');
        Check(header.second.find('\n') == std::string::npos && header.second.find('\r') == std::string::npos);
    }
    const int routed = Http::Route(request, "/metrics");
    Check(routed == 200 || routed == 400 || routed == 404 || routed == 405);
    if (routed == 200) Check(request.method == "GET" && request.path == "/metrics");
    CheckResponse(routed, "");
    return 0;
}
