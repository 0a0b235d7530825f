// ServerRequestQueue: admin requests between servers that share one
// configuration database (table admin_requests). A sender posts a request
// addressed to a server, with a deadline on the database's clock; that
// server's quayd takes it (at most once, and never after its deadline), runs
// it and writes the response; the sender reads the response and removes the
// row. A request not taken by its deadline is withdrawn by its sender and
// never runs. Senders and servers are woken by notifications (PostgreSQL
// LISTEN/NOTIFY); polling covers notifications lost with a connection.
//
// Server names compare ignoring ASCII case, as elsewhere.
//
// Thread safety: none; each thread that needs the queue opens its own (one
// connection each, so that waiting for a notification blocks nobody else).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "configclient/ConfigBackend.h"
#include "platform/CPelError.h"

class ServerRequestQueue {
public:
    // Channels of the notifications: a request was posted, a response written.
    static constexpr char kRequestChannel[] = "quay_admin_requests";
    static constexpr char kResponseChannel[] = "quay_admin_responses";

    enum class State { kWaiting = 0, kTaken = 1, kAnswered = 2, kGone = 3 };

    struct Request {
        int64_t id = 0;
        std::string sender;
        std::string payload;
    };

    ServerRequestQueue() = default;
    ServerRequestQueue(const ServerRequestQueue&) = delete;
    ServerRequestQueue& operator=(const ServerRequestQueue&) = delete;

    // Connects to the configuration database at location; the schema must
    // be this build's (quayd creates it). Errors as ConfigDatabase::Open.
    CPelError Open(const std::string& location);
    void Close() { backend_.reset(); }

    // Posts payload for server; it may be taken until timeoutMs from now.
    // Errors: EINVAL empty server or timeout below 1; EIO.
    CPelError Post(const std::string& server, const std::string& sender, const std::string& payload,
                   int64_t timeoutMs, int64_t& id);
    // Takes the oldest waiting request of server whose deadline has not
    // passed; found false when there is none. EIO on a database failure.
    CPelError TakeNext(const std::string& server, Request& request, bool& found);
    // Stores the response of a taken request and wakes its sender.
    CPelError Answer(int64_t id, const std::string& response);
    // Where the request stands; the response once answered.
    CPelError Check(int64_t id, State& state, std::string& response);
    // Removes the request when nobody has taken it: withdrawn true then, and
    // it will never run. A taken or answered request stays.
    CPelError Withdraw(int64_t id, bool& withdrawn);
    // Removes the request whatever its state (the sender read the answer).
    CPelError Remove(int64_t id);
    // Removes requests whose deadline passed more than keepMs ago (their
    // senders are gone or gave up). The number removed in *removed.
    CPelError Purge(int64_t keepMs, int64_t* removed = nullptr);

    // From now on WaitForNotification ends on notifications of channel.
    CPelError Listen(const char* channel);
    // Waits up to timeoutMs for a notification or for wakeFd (-1: none):
    // true when one came. Without a connection (not open, or lost) it still
    // waits for the time or the wake, so that a caller that polls in a loop
    // never spins while the database is away.
    bool Wait(int timeoutMs, int wakeFd);
    bool IsOpen() const { return backend_ != nullptr; }

    // The backend, for tests' statement hooks.
    ConfigBackend* backend() { return backend_.get(); }

private:
    // Runs unit once the queue is open; EIO with what when it fails.
    CPelError Run(const std::string& what, const std::function<SqlResult()>& unit);

    std::unique_ptr<ConfigBackend> backend_;
};
