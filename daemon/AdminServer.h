// AdminServer: the admin socket of quayd. A Unix stream socket (mode 0600)
// on which one thread accepts connections and serves them one after
// another: one request frame in, one response frame out, then the
// connection is closed. Only root may use it: the peer's credentials
// (SO_PEERCRED) are checked on every connection, and any other uid gets a
// kNotPermitted answer and nothing else. Requests are bounded in size and
// time; a malformed request gets a kBadRequest answer.
//
// Thread safety: Open, Start and Stop are called by one thread (quayd's
// main thread); the handler runs on the accept thread only.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>

#include "daemon/admin/KeyValueList.h"

class AdminServer {
public:
    // Serves one well-formed request; caller names the peer.
    typedef std::function<KeyValueList(const KeyValueList& request, const std::string& caller)> Handler;

    // Seconds a peer may take to send its request or read the answer.
    static constexpr int kPeerTimeoutSeconds = 10;

    explicit AdminServer(Handler handler) : handler_(std::move(handler)) {}
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // Binds and listens at path. A socket file left by a quayd that is gone
    // is replaced. Errors: EADDRINUSE a server answers there already; EEXIST
    // path is something other than a socket; ENAMETOOLONG; others errno.
    int Open(const std::string& path);
    // Starts the accept thread. Connections made after Open wait until then.
    int Start();
    // Stops accepting, lets the request in progress finish, closes the
    // socket and removes its file (when it is still the one Open made).
    void Stop();

    // Serves one accepted connection and closes it (the accept thread's
    // work, public for tests).
    void ServeConnection(int fd);

    // Only this uid may talk to the server; root unless a test says otherwise.
    void SetAllowedUid(uid_t uid) { allowedUid_ = uid; }

private:
    void AcceptLoop();
    // The handler's answer; an exception becomes kInternalError.
    KeyValueList Handle(const KeyValueList& request, const std::string& caller);
    void Answer(int fd, const KeyValueList& response);
    int RemoveStaleSocket(const std::string& path);

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};  // written by Stop to wake the accept thread
    dev_t socketDevice_ = 0;     // identity of the socket file Open made
    ino_t socketInode_ = 0;
    uid_t allowedUid_ = 0;
    std::thread thread_;
};
