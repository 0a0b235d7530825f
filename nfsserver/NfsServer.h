// quayd's NFSv3, MOUNT3 and NFSv4.0 service over TCP: listeners with their own accept
// loops, one thread per connection, and a janitor that closes idle files and
// joins the threads of closed connections. A connection's slot is free the
// moment it closes.
// Serves every export in gAllExports through the module's host interfaces.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/FSM.h"
#include "host/LogRateLimiter.h"
#include "nfsserver/CallPolling.h"
#include "nfsserver/FileService.h"
#include "nfsserver/Mount3Program.h"
#include "nfsserver/Nfs3Program.h"
#include "nfsserver/Nfs4Program.h"
#include "nfsserver/Nfs4State.h"
#include "nfsserver/NfsServerConfig.h"
#include "nfsserver/OpenFileCache.h"
#include "nfsserver/RpcConnection.h"
#include "nfsserver/ServerMetrics.h"

class NfsServer {
public:
    // The module must stay loaded until Stop has returned.
    explicit NfsServer(FSM& module);
    ~NfsServer();
    NfsServer(const NfsServer&) = delete;
    NfsServer& operator=(const NfsServer&) = delete;

    // Opens the listeners and starts serving. 0, or the errno of the socket
    // call that failed with a readable reason in error; nothing runs then.
    // A config with nfsPort 0 starts nothing and returns 0. EBUSY while
    // the service runs: Stop it first.
    int Start(const NfsServerConfig& config, std::string& error);
    // Closes listeners and connections, joins every thread and closes the
    // open files. Idempotent; not concurrently with Start.
    void Stop();
    // The counters and what the service holds now (open files, kept
    // replies). Any thread, at any time, also while starting or stopping.
    ServerMetrics::Snapshot Statistics();

private:
    struct Listener {
        int fd = -1;
        uint16_t port = 0;
        std::thread thread;
    };
    struct Connection {
        std::shared_ptr<RpcConnection> connection;
        std::thread thread;
    };

    int Listen(const std::string& address, uint16_t port, std::string& error);
    void AcceptLoop(int fd);
    void Admit(int fd, const std::string& peer, uint16_t port);
    // Called by a connection's thread as it ends.
    void Closed();
    // Logs a refused connection, at most one line a second; caller holds mutex_.
    void NoteRefusal(const std::string& peer);
    void Janitor();
    // Joins the threads of finished connections.
    void Reap();
    void Register(bool set);

    ServerMetrics metrics_;
    OpenFileCache files_;
    FileService service_;
    Nfs3Program nfs_;
    Mount3Program mount_;
    // NFSv4 state lives from Start to Stop: a start begins a grace period.
    std::unique_ptr<Nfs4State> state_;
    std::unique_ptr<Nfs4Program> nfs4_;  // replaced under mutex_ (Statistics reads it)
    NfsServerConfig config_;
    std::unique_ptr<CallPolling> polling_;  // shared by the connections
    std::vector<Listener> listeners_;  // written by Start and Stop only
    bool registered_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;               // guarded by mutex_
    std::list<Connection> connections_;   // guarded by mutex_; open and closed, until joined
    size_t open_ = 0;                     // guarded by mutex_; connections still open
    size_t closedUnjoined_ = 0;           // guarded by mutex_
    LogRateLimiter refusals_{1, 1};       // one line a second
    LogRateLimiter insecure_{1, 1};
    std::thread janitor_;
};
