// MetricsServer: quayd's metrics endpoint, a minimal HTTP/1.1 server that
// answers GET of one path with a rendered text and refuses everything else
// (HttpRequest: 400, 404, 405, 414, 431, 505). Built for a scraper on a
// trusted network, and still safe to expose to anyone who can connect:
// each connection carries one request and is closed after its answer; the
// whole request head must arrive within kRequestMilliseconds and the answer
// leave within kResponseMilliseconds; at most kMaxConnections are served at
// once, each in its own thread, and further ones get 503 at once. A slow
// client holds up only its own connection.
//
// Thread safety: Start and Stop from one thread; render is called from
// connection threads, several at once.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/LogRateLimiter.h"

class MetricsServer {
public:
    static constexpr size_t kMaxConnections = 8;
    static constexpr int kRequestMilliseconds = 5000;
    static constexpr int kResponseMilliseconds = 10000;

    using Render = std::function<std::string()>;

    // path: the one path served ("/metrics"); contentType of what render
    // returns.
    MetricsServer(std::string path, std::string contentType, Render render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on a numeric IPv4 or IPv6 address (port 0: any free port).
    // 0, or the errno with a readable reason in error; EBUSY while running.
    int Start(const std::string& address, uint16_t port, std::string& error);
    // Closes the listener and every connection and joins their threads.
    // Idempotent.
    void Stop();
    // The port listened on; 0 when not running.
    uint16_t Port() const { return port_; }

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void AcceptLoop();
    void Serve(Connection& connection, const std::string& peer);
    // The answer to the request read from fd, and its status; empty with
    // status 0 when the client went away before a whole request.
    std::string Answer(int fd, const std::string& peer, int& status);
    void Reap();

    const std::string path_;
    const std::string contentType_;
    const Render render_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};  // a pipe: Stop writes, the accept loop wakes
    uint16_t port_ = 0;
    std::thread acceptThread_;

    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
    LogRateLimiter busy_{1, 1};      // connections over the limit: one line a second
    LogRateLimiter refusals_{1, 1};  // requests refused
};
