#include "daemon/metrics/MetricsServer.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "daemon/QuaydLog.h"
#include "daemon/metrics/HttpRequest.h"

namespace {

using Clock = std::chrono::steady_clock;

// After its answer, a connection's leftover input is read for at most this
// long and this much, so that closing with unread bytes (which resets the
// connection) does not destroy the answer before the client reads it.
constexpr int kLingerMilliseconds = 1000;
constexpr size_t kLingerBytes = 64 * 1024;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; false on timeout or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    while (true) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

bool SendAll(int fd, const std::string& data, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!WaitFor(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

void Linger(int fd) {
    shutdown(fd, SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kLingerMilliseconds);
    char buffer[4096];
    size_t drained = 0;
    while (drained < kLingerBytes && WaitFor(fd, POLLIN, deadline)) {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (n > 0) drained += static_cast<size_t>(n);
    }
}

std::string PeerOf(const sockaddr_storage& peer, socklen_t length) {
    char host[NI_MAXHOST] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST);
    return host;
}

std::string Plain(int status) { return std::to_string(status) + " " + Http::Reason(status) + "\n"; }

}  // namespace

MetricsServer::MetricsServer(std::string path, std::string contentType, Render render)
    : path_(std::move(path)), contentType_(std::move(contentType)), render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

int MetricsServer::Start(const std::string& address, uint16_t port, std::string& error) {
    if (listenFd_ >= 0) {
        error = "the metrics endpoint is already running";
        return EBUSY;
    }
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "not a numeric address: " + address;
        return EINVAL;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int result = fd < 0 ? errno : 0;
    if (result == 0) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 16) != 0) result = errno;
    }
    freeaddrinfo(found);
    if (result == 0 && pipe2(wake_, O_CLOEXEC) != 0) result = errno;
    if (result != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(result);
        if (fd >= 0) close(fd);
        return result;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listenFd_ = fd;
    acceptThread_ = std::thread(&MetricsServer::AcceptLoop, this);
    QUAYD_LOG(-1, "INFO: Metrics served on [%s] port [%u] at [%s]", address.c_str(), port_, path_.c_str());
    return 0;
}

void MetricsServer::Stop() {
    if (listenFd_ < 0) return;
    const char wake = 1;
    if (write(wake_[1], &wake, 1) < 0) {
        // The pipe is new and empty: a write cannot fail; shutting the
        // listener down would wake the loop as well.
        shutdown(listenFd_, SHUT_RDWR);
    }
    acceptThread_.join();
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& connection : connections_) shutdown(connection->fd, SHUT_RDWR);
        all.swap(connections_);
    }
    for (auto& connection : all) connection->thread.join();
    close(listenFd_);
    close(wake_[0]);
    close(wake_[1]);
    listenFd_ = -1;
    wake_[0] = wake_[1] = -1;
    port_ = 0;
}

void MetricsServer::AcceptLoop() {
    while (true) {
        pollfd entries[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            QUAYD_LOG(-1, "ERROR: Metrics: poll failed, errno [%d]", errno);
            return;
        }
        if (entries[1].revents != 0) return;
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors: the pending connection stays queued, so
            // wait a little instead of spinning on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        const std::string peerText = PeerOf(peer, length);
        Reap();
        std::lock_guard<std::mutex> lock(mutex_);
        if (connections_.size() >= kMaxConnections) {
            uint64_t heldBack = 0;
            if (busy_.Admit(heldBack)) {
                QUAYD_LOG(-1, "WARN: Metrics: connection from [%s] refused: [%zu] connections open, the limit; "
                          "[%llu] refused since the last such line", peerText.c_str(), connections_.size(),
                          static_cast<unsigned long long>(heldBack + 1));
            }
            // One try, without waiting: a full socket buffer loses the 503.
            const std::string busy = Http::Response(503, "text/plain; charset=utf-8", Plain(503));
            (void)!send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        connections_.push_back(std::make_unique<Connection>());
        Connection& connection = *connections_.back();
        connection.fd = fd;
        connection.thread = std::thread(&MetricsServer::Serve, this, std::ref(connection), peerText);
    }
}

void MetricsServer::Reap() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished.load()) {
                finished.splice(finished.end(), connections_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : finished) connection->thread.join();
}

std::string MetricsServer::Answer(int fd, const std::string& peer, int& status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestMilliseconds);
    Http::RequestReader reader;
    char buffer[2048];
    while (true) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            status = 408;
            return Http::Response(status, "text/plain; charset=utf-8", Plain(status));
        }
        const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            status = 0;  // gone before a whole request: nobody to answer
            return "";
        }
        if (n > 0 && reader.Add(buffer, static_cast<size_t>(n)) == Http::RequestReader::State::kDone) break;
    }
    status = reader.Status() != 0 ? reader.Status() : Http::Route(reader.Parsed(), path_);
    if (status == 200) {
        try {
            const std::string body = render_();
            QUAYD_LOG(3, "INFO: Metrics: [%s] answered [200], [%zu] bytes", peer.c_str(), body.size());
            return Http::Response(status, contentType_, body);
        } catch (const std::exception& e) {
            QUAYD_LOG(-1, "ERROR: Metrics: cannot render the metrics for [%s]: %s", peer.c_str(), e.what());
            status = 500;
        }
    }
    return Http::Response(status, "text/plain; charset=utf-8", Plain(status));
}

void MetricsServer::Serve(Connection& connection, const std::string& peer) {
    int status = 0;
    const std::string answer = Answer(connection.fd, peer, status);
    if (status != 0 && status != 200) {
        uint64_t heldBack = 0;
        if (refusals_.Admit(heldBack)) {
            QUAYD_LOG(2, "INFO: Metrics: request from [%s] refused with [%d] %s; [%llu] refused since the last such "
                      "line", peer.c_str(), status, Http::Reason(status), static_cast<unsigned long long>(heldBack + 1));
        }
    }
    if (!answer.empty()) {
        SendAll(connection.fd, answer, Clock::now() + std::chrono::milliseconds(kResponseMilliseconds));
        Linger(connection.fd);
    }
    {
        // Stop shuts the descriptor down under the lock: it must not be a
        // number reused by then.
        std::lock_guard<std::mutex> lock(mutex_);
        close(connection.fd);
        connection.fd = -1;
    }
    connection.finished = true;
}
