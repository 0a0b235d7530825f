// One client connection: its own transport (calls read whole, each record
// checked against kBufferSize before its body is read; replies buffered up
// to kBufferSize) and its own receive loop (not svc_run, which assumes one
// thread and a global table). Calls are served one after another in the
// connection's thread; a slow, stalled or idle client holds up only its own
// connection.
#pragma once
#include <rpc/rpc.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "nfsserver/CallerIdentity.h"
#include "nfsserver/RpcProgram.h"

class CallPolling;
class ServerMetrics;

class RpcConnection {
public:
    // The largest record a client may send and the reply buffer: a 1 MiB
    // WRITE or READ and its header. A larger record closes the connection;
    // a smaller reply buffer would split replies and cut read speed.
    static constexpr unsigned kBufferSize = 1024 * 1024 + 64 * 1024;
    // A client that stops in the middle of a call is dropped after this long:
    // until then it holds a thread and up to a record's worth of memory.
    static constexpr int kStallMilliseconds = 35 * 1000;

    // Takes ownership of the connected socket. The programs, and polling
    // and metrics when given, must outlive Run.
    RpcConnection(int fd, std::string peer, std::vector<RpcProgram*> programs, CallPolling* polling = nullptr,
                  ServerMetrics* metrics = nullptr);
    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;
    ~RpcConnection();

    // Serves calls until the peer hangs up, the stream breaks (an oversized,
    // truncated or stalled record, an undecodable call header) or Shutdown
    // is called; closes the socket before returning.
    void Run();
    // Wakes Run from another thread. Safe before, during and after Run.
    void Shutdown();
    bool Finished() const { return finished_.load(); }
    const std::string& Peer() const { return peer_; }

private:
    void Serve(SVCXPRT* transport);
    void Handle(SVCXPRT* transport, rpc_msg& message, char* credentials, struct ConnectionBuffers& buffers);
    // True when the client has sent more (or hung up) since the last call.
    bool CallWaiting() const;
    // The caller's identity from the call's credentials; false after
    // answering an authentication error.
    bool Identify(SVCXPRT* transport, rpc_msg& message, char* credentials, std::vector<uint32_t>& groups,
                  uint32_t& uid, uint32_t& gid, bool& anonymous);

    const std::string peer_;
    const std::vector<RpcProgram*> programs_;
    CallPolling* const polling_;
    ServerMetrics* const metrics_;
    std::mutex mutex_;
    int fd_;                            // guarded by mutex_; -1 once closed
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
};
