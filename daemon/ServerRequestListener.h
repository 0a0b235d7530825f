// ServerRequestListener: serves the admin requests that quayadm on another
// server sends to this one through the shared configuration database
// (ServerRequestQueue). One thread takes each request addressed to this
// server while its deadline has not passed, runs it through the same handler
// as the admin socket, and writes the response. It wakes on the database's
// notifications and also polls every kPollMs, since a notification sent
// while the connection was down is lost. Now and then it removes requests
// whose deadline passed long ago (their senders gave up or died).
//
// Thread safety: Start and Stop from one thread; the handler runs on the
// listener's thread (the caller serialises it with the admin socket's).
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "configclient/ServerRequestQueue.h"
#include "daemon/admin/KeyValueList.h"

class ServerRequestListener {
public:
    typedef std::function<KeyValueList(const KeyValueList& request, const std::string& caller)> Handler;

    static constexpr int kPollMs = 2000;
    static constexpr int64_t kPurgeEveryMs = 60 * 1000;
    static constexpr int64_t kKeepExpiredMs = 3600 * 1000;
    // Longest sender name that goes into the log.
    static constexpr size_t kMaxSenderText = 100;

    // location: the configuration database; serverName: this server's name.
    ServerRequestListener(std::string location, std::string serverName, Handler handler)
        : location_(std::move(location)), serverName_(std::move(serverName)), handler_(std::move(handler)) {}
    ~ServerRequestListener() { Stop(); }
    ServerRequestListener(const ServerRequestListener&) = delete;
    ServerRequestListener& operator=(const ServerRequestListener&) = delete;

    // Starts the thread, which connects to the database (again and again,
    // every kPollMs, while it cannot: quayd runs on without the requests of
    // other servers meanwhile, and the log says so). False with a message
    // when the thread cannot start.
    bool Start(std::string& error);
    // Ends the thread; a request being served is finished and answered first.
    void Stop();

    // Takes and serves every request of this server waiting now; the number
    // served. The thread's work, public for tests (on an opened listener).
    int ServeWaiting();
    // Connects without starting the thread (tests).
    bool Open(std::string& error);

private:
    void Loop();
    // The response to one request's payload.
    std::string Serve(const ServerRequestQueue::Request& request);

    const std::string location_;
    const std::string serverName_;
    const Handler handler_;
    ServerRequestQueue queue_;  // the thread's once started
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wakeFds_[2] = {-1, -1};
};
