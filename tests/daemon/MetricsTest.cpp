// quayd's service parts: the metrics endpoint's request parser and server,
// the Prometheus text it serves, the --metrics address, and the sd_notify
// messages to systemd.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "daemon/QuaydOptions.h"
#include "daemon/SystemdNotify.h"
#include "daemon/metrics/HttpRequest.h"
#include "daemon/metrics/MetricsServer.h"
#include "daemon/metrics/PrometheusText.h"
#include "daemon/metrics/ServerStatistics.h"
#include "tests/support/TempDir.h"

namespace {

int Parse(const std::string& head, Http::Request& request) { return Http::ParseHead(head, request); }

int Parse(const std::string& head) {
    Http::Request request;
    return Http::ParseHead(head, request);
}

TEST(HttpRequestTest, AcceptsARequestAndItsHeaders) {
    Http::Request request;
    ASSERT_EQ(Parse("GET /metrics?x=1 HTTP/1.1\r\nHost: h\r\nAccept:  text/plain \r\n\r\n", request), 0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/metrics?x=1");
    EXPECT_EQ(request.path, "/metrics");
    EXPECT_EQ(request.minorVersion, 1);
    std::string value;
    ASSERT_TRUE(request.Header("accept", value));
    EXPECT_EQ(value, "text/plain");
    // HTTP/1.0 needs no Host; bare LF line ends are taken.
    EXPECT_EQ(Parse("GET /metrics HTTP/1.0\n\n"), 0);
}

TEST(HttpRequestTest, RefusesWhatItDoesNotUnderstand) {
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\n\r\n"), 400);                               // no Host
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"), 400);         // two
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost: a\r\nX: a\rb\r\n\r\n"), 400);         // bare CR
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost: a\r\nX: a\r\n b\r\n\r\n"), 400);      // folded
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost : a\r\n\r\n"), 400);                   // space before colon
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost: a\r\nnocolon\r\n\r\n"), 400);
    EXPECT_EQ(Parse("GET  /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 400);                   // two spaces
    EXPECT_EQ(Parse("GET /metrics HTTP/2.0\r\nHost: a\r\n\r\n"), 505);
    EXPECT_EQ(Parse("GET /metrics HTTX/1.1\r\nHost: a\r\n\r\n"), 400);
    EXPECT_EQ(Parse("G(T /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 400);                   // not a token
    EXPECT_EQ(Parse("GET /" + std::string(Http::kMaxRequestLine, 'm') + " HTTP/1.1\r\nHost: a\r\n\r\n"), 414);
    std::string many = "GET /metrics HTTP/1.1\r\nHost: a\r\n";
    for (size_t i = 0; i < Http::kMaxHeaders; ++i) many += "X" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(Parse(many + "\r\n"), 431);
    EXPECT_EQ(Parse("GET /metrics HTTP/1.1\r\nHost: a\r\n\r\nmore"), 400);  // bytes after the head
}

TEST(HttpRequestTest, ReaderTakesAHeadByteByByteAndBoundsIt) {
    const std::string head = "\r\nGET /metrics HTTP/1.1\r\nHost: a\r\n\r\nignored body";
    Http::RequestReader reader;
    size_t i = 0;
    for (; i < head.size(); ++i) {
        if (reader.Add(&head[i], 1) == Http::RequestReader::State::kDone) break;
    }
    EXPECT_EQ(i, head.find("\r\n\r\n") + 3);
    EXPECT_EQ(reader.Status(), 0);
    EXPECT_EQ(reader.Parsed().path, "/metrics");

    // A request line that never ends is refused once past its bound; a head
    // that never ends once past its own.
    Http::RequestReader longLine;
    const std::string line(Http::kMaxRequestLine + 1, 'a');
    EXPECT_EQ(longLine.Add(line.data(), line.size()), Http::RequestReader::State::kDone);
    EXPECT_EQ(longLine.Status(), 414);
    Http::RequestReader longHead;
    const std::string start = "GET / HTTP/1.1\r\n";
    longHead.Add(start.data(), start.size());
    const std::string header = "X: " + std::string(100, 'v') + "\r\n";
    Http::RequestReader::State state = Http::RequestReader::State::kMore;
    for (size_t sent = 0; sent < 2 * Http::kMaxHead && state == Http::RequestReader::State::kMore; sent += header.size()) {
        state = longHead.Add(header.data(), header.size());
    }
    EXPECT_EQ(state, Http::RequestReader::State::kDone);
    EXPECT_EQ(longHead.Status(), 431);
}

TEST(HttpRequestTest, OnlyGetOfThePathIsServed) {
    auto route = [](const std::string& head) {
        Http::Request request;
        EXPECT_EQ(Http::ParseHead(head, request), 0) << head;
        return Http::Route(request, "/metrics");
    };
    EXPECT_EQ(route("GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 200);
    EXPECT_EQ(route("GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n"), 200);
    EXPECT_EQ(route("POST /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 405);
    EXPECT_EQ(route("HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 405);
    EXPECT_EQ(route("get /metrics HTTP/1.1\r\nHost: a\r\n\r\n"), 405);  // methods are case-sensitive
    EXPECT_EQ(route("GET /metrics/ HTTP/1.1\r\nHost: a\r\n\r\n"), 404);
    EXPECT_EQ(route("GET / HTTP/1.1\r\nHost: a\r\n\r\n"), 404);
    EXPECT_EQ(route("GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n"), 400);
    EXPECT_EQ(route("GET /metrics HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"), 400);
    const std::string refused = Http::Response(405, "text/plain", "no\n");
    EXPECT_EQ(refused, "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                       "Allow: GET\r\nConnection: close\r\n\r\nno\n");
}

TEST(PrometheusTextTest, EscapesLabelsAndAddsUpHistograms) {
    PrometheusText out;
    out.Family("quay_x_total", "counter", "a\\b\nc");
    out.Sample("quay_x_total", {{"share", "/a\"b\\c\nd"}}, uint64_t{7});
    out.Family("quay_t_seconds", "histogram", "t");
    out.Histogram("quay_t_seconds", {{"p", "GETATTR"}}, {0.001, 0.5}, {2, 0, 3}, 1.25);
    EXPECT_EQ(out.Text(),
              "# HELP quay_x_total a\\\\b\\nc\n# TYPE quay_x_total counter\n"
              "quay_x_total{share=\"/a\\\"b\\\\c\\nd\"} 7\n"
              "# HELP quay_t_seconds t\n# TYPE quay_t_seconds histogram\n"
              "quay_t_seconds_bucket{p=\"GETATTR\",le=\"0.001\"} 2\n"
              "quay_t_seconds_bucket{p=\"GETATTR\",le=\"0.5\"} 2\n"
              "quay_t_seconds_bucket{p=\"GETATTR\",le=\"+Inf\"} 5\n"
              "quay_t_seconds_sum{p=\"GETATTR\"} 1.25\n"
              "quay_t_seconds_count{p=\"GETATTR\"} 5\n");
}

TEST(ServerStatisticsTest, SharesAndStoresAppearWithTheirPaths) {
    StatisticsInput input;
    input.shares = {{3, "/store\"1"}};
    ServerMetrics::ShareCounts counts;
    counts.shareId = 3;
    counts.readBytes = 10;
    counts.reads = 1;
    input.nfs.shares = {counts};
    input.nfs.readBytes = 10;
    StoreFigures store;
    store.store = "/store\"1";
    store.files = 4;
    store.diskBytes = 4096;
    input.stores = {store};
    const std::string text = ServerStatistics::PrometheusFrom(input);
    EXPECT_NE(text.find("\nquay_share_read_bytes_total{share=\"/store\\\"1\",share_id=\"3\"} 10\n"), std::string::npos);
    EXPECT_NE(text.find("\nquay_store_objects{store=\"/store\\\"1\",type=\"file\"} 4\n"), std::string::npos);
    EXPECT_NE(text.find("\nquay_store_disk_bytes{store=\"/store\\\"1\"} 4096\n"), std::string::npos);
    EXPECT_NE(text.find("\nquay_shares 1\n"), std::string::npos);
    const AdminResult rows = ServerStatistics::RowsFrom(input);
    EXPECT_EQ(rows.code, 0);
}

TEST(QuaydOptionsTest, MetricsTakeANumericAddressAndAPort) {
    std::string address;
    uint16_t port = 0;
    std::string error;
    EXPECT_TRUE(QuaydOptions::ParseEndpoint("127.0.0.1:9469", address, port, error));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 9469);
    EXPECT_TRUE(QuaydOptions::ParseEndpoint("[::1]:80", address, port, error));
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(port, 80);
    for (const char* bad : {"localhost:9469", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "::1:80", "[127.0.0.1]:80",
                            "127.0.0.1:80x", ":80", "127.0.0.1:"}) {
        EXPECT_FALSE(QuaydOptions::ParseEndpoint(bad, address, port, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

// A datagram socket standing in for systemd's; path or abstract name.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& address) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        memcpy(local.sun_path, address.data(), address.size());
        if (address[0] == '@') local.sun_path[0] = '\0';
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), length), 0) << strerror(errno);
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~NotifyListener() { close(fd_); }
    std::string Receive() {
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
    }

private:
    int fd_ = -1;
};

TEST(SystemdNotifyTest, SendsToAPathAndToAnAbstractName) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/notify";
    NotifyListener byPath(path);
    EXPECT_EQ(SystemdNotify(path).Notify("READY=1\nSTATUS=up"), 0);
    EXPECT_EQ(byPath.Receive(), "READY=1\nSTATUS=up");

    const std::string name = "@quayd-test-" + std::to_string(getpid());
    NotifyListener abstract(name);
    EXPECT_EQ(SystemdNotify(name).Notify("STOPPING=1"), 0);
    EXPECT_EQ(abstract.Receive(), "STOPPING=1");
}

TEST(SystemdNotifyTest, WithoutASocketNothingIsSentAndBadAddressesAreRefused) {
    EXPECT_FALSE(SystemdNotify("").Enabled());
    EXPECT_EQ(SystemdNotify("").Notify("READY=1"), 0);
    EXPECT_EQ(SystemdNotify("vsock:2:1").Notify("READY=1"), EINVAL);
    EXPECT_EQ(SystemdNotify("/" + std::string(200, 'x')).Notify("READY=1"), EINVAL);
    EXPECT_EQ(SystemdNotify("/nonexistent/notify").Notify("READY=1"), ENOENT);

    setenv("NOTIFY_SOCKET", "@somewhere", 1);
    const SystemdNotify notify = SystemdNotify::FromEnvironment();
    EXPECT_EQ(notify.Address(), "@somewhere");
    EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);  // nothing quayd starts talks to systemd in its name
}

std::string Ask(uint16_t port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)), 0);
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    return answer;
}

TEST(MetricsServerTest, AnswersGetOfItsPathAndRefusesTheRest) {
    std::atomic<int> renders{0};  // counted in the server's thread
    MetricsServer server("/metrics", "text/plain; version=0.0.4", [&renders] {
        ++renders;
        return std::string("quay_up 1\n");
    });
    std::string error;
    ASSERT_EQ(server.Start("127.0.0.1", 0, error), 0) << error;
    const uint16_t port = server.Port();
    ASSERT_NE(port, 0);
    EXPECT_EQ(server.Start("127.0.0.1", 0, error), EBUSY);
    EXPECT_EQ(Ask(port, "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 10\r\n"
              "Connection: close\r\n\r\nquay_up 1\n");
    EXPECT_EQ(Ask(port, "POST /metrics HTTP/1.1\r\nHost: a\r\n\r\n").substr(0, 31), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(Ask(port, "GET /x HTTP/1.1\r\nHost: a\r\n\r\n").substr(0, 22), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(Ask(port, "nonsense\r\n\r\n").substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(renders, 1);
    server.Stop();
    EXPECT_EQ(server.Port(), 0);
    server.Stop();  // idempotent
    // Started again after a stop.
    ASSERT_EQ(server.Start("127.0.0.1", 0, error), 0) << error;
    EXPECT_EQ(Ask(server.Port(), "GET /metrics HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST(MetricsServerTest, RefusesAnAddressItCannotListenOn) {
    MetricsServer server("/metrics", "text/plain", [] { return std::string(); });
    std::string error;
    EXPECT_EQ(server.Start("not-an-address", 9469, error), EINVAL);
    EXPECT_NE(error.find("not-an-address"), std::string::npos);
    MetricsServer first("/metrics", "text/plain", [] { return std::string(); });
    ASSERT_EQ(first.Start("127.0.0.1", 0, error), 0);
    EXPECT_EQ(server.Start("127.0.0.1", first.Port(), error), EADDRINUSE);
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:"), std::string::npos) << error;
}

}  // namespace
