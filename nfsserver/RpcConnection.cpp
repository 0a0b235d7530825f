#include "nfsserver/RpcConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "nfsserver/FileReadAhead.h"
#include "nfsserver/ListingReadAhead.h"
#include "nfsserver/NfsLog.h"
#include "nfsserver/RpcCall.h"
#include "nfsserver/RpcRecordTransport.h"
#include "nfsserver/ServerMetrics.h"
#include "nfsserver/XdrArgs.h"

#include <rpc/svc_auth.h>

namespace {
// Room for decoded AUTH_SYS credentials: ids, machine name and 16 groups.
constexpr size_t kDecodedCredentials = 400;
}  // namespace

RpcConnection::RpcConnection(int fd, std::string peer, std::vector<RpcProgram*> programs, CallPolling* polling,
                             ServerMetrics* metrics)
    : peer_(std::move(peer)), programs_(std::move(programs)), polling_(polling), metrics_(metrics), fd_(fd) {}

RpcConnection::~RpcConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) close(fd_);
}

void RpcConnection::Shutdown() {
    stopping_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void RpcConnection::Run() {
    {
        RpcRecordTransport transport(fd_, peer_, kBufferSize, kStallMilliseconds, kBufferSize, polling_);
        if (transport.Ready()) {
            NFS_LOG(3, "INFO: NFS: connection from [%s]", peer_.c_str());
            Serve(transport.Handle());
        } else {
            NFS_LOG(-1, "ERROR: NFS: cannot set up the transport for [%s]", peer_.c_str());
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        close(fd_);
        fd_ = -1;
    }
    NFS_LOG(3, "INFO: NFS: connection from [%s] closed", peer_.c_str());
    finished_ = true;
}

void RpcConnection::Serve(SVCXPRT* transport) {
    ConnectionBuffers buffers;
    // The call's credential and verifier bodies, then the decoded
    // credentials: the layout svc_getreq uses.
    std::vector<char> authArea(2 * MAX_AUTH_BYTES + kDecodedCredentials);
    // SVC_RECV waits for the next call; Shutdown wakes it by shutting the
    // socket down.
    while (!stopping_) {
        rpc_msg message{};
        message.rm_call.cb_cred.oa_base = authArea.data();
        message.rm_call.cb_verf.oa_base = authArea.data() + MAX_AUTH_BYTES;
        if (!SVC_RECV(transport, &message)) break;
        Handle(transport, message, authArea.data() + 2 * MAX_AUTH_BYTES, buffers);
        if (SVC_STAT(transport) == XPRT_DIED) break;
        // While the client takes in the reply: its listing's next page or
        // its file's next piece, unless another call is waiting already.
        if (buffers.listing && buffers.listing->Pending() && !stopping_ && !CallWaiting()) buffers.listing->Prepare();
        if (buffers.reading && buffers.reading->Pending() && !stopping_ && !CallWaiting()) buffers.reading->Prepare();
    }
}

bool RpcConnection::CallWaiting() const {
    pollfd waiting{fd_, POLLIN, 0};
    return poll(&waiting, 1, 0) != 0;
}

bool RpcConnection::Identify(SVCXPRT* transport, rpc_msg& message, char* credentials,
                             std::vector<uint32_t>& groups, uint32_t& uid, uint32_t& gid, bool& anonymous) {
    // libtirpc's own check also sets up the transport's reply wrapping.
    svc_req request{};
    request.rq_prog = static_cast<u_int32_t>(message.rm_call.cb_prog);
    request.rq_vers = static_cast<u_int32_t>(message.rm_call.cb_vers);
    request.rq_proc = static_cast<u_int32_t>(message.rm_call.cb_proc);
    request.rq_cred = message.rm_call.cb_cred;
    request.rq_clntcred = credentials;
    request.rq_xprt = transport;
    const auth_stat why = _authenticate(&request, &message);
    if (why != AUTH_OK) {
        if (metrics_ != nullptr) metrics_->RecordRpcError(ServerMetrics::RpcError::kAuthentication);
        svcerr_auth(transport, why);
        return false;
    }
    anonymous = request.rq_cred.oa_flavor == AUTH_NONE;
    if (anonymous) return true;
    if (request.rq_cred.oa_flavor != AUTH_SYS) {
        if (metrics_ != nullptr) metrics_->RecordRpcError(ServerMetrics::RpcError::kAuthentication);
        svcerr_auth(transport, AUTH_REJECTEDCRED);
        return false;
    }
    const auto* params = reinterpret_cast<const authunix_parms*>(request.rq_clntcred);
    uid = params->aup_uid;
    gid = params->aup_gid;
    groups.assign(params->aup_gids, params->aup_gids + params->aup_len);
    return true;
}

void RpcConnection::Handle(SVCXPRT* transport, rpc_msg& message, char* credentials, ConnectionBuffers& buffers) {
    transport->xp_verf = _null_auth;
    std::vector<uint32_t> groups;
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool anonymous = true;
    if (!Identify(transport, message, credentials, groups, uid, gid, anonymous)) return;
    const uint32_t number = static_cast<uint32_t>(message.rm_call.cb_prog);
    // A program may be served in several versions (NFS 3 and 4); a version
    // not served is answered with the range that is.
    RpcProgram* program = nullptr;
    bool known = false;
    uint32_t low = UINT32_MAX;
    uint32_t high = 0;
    for (RpcProgram* candidate : programs_) {
        if (candidate->Number() != number) continue;
        known = true;
        low = std::min(low, candidate->Version());
        high = std::max(high, candidate->Version());
        if (candidate->Version() == message.rm_call.cb_vers) program = candidate;
    }
    if (!known) {
        if (metrics_ != nullptr) metrics_->RecordRpcError(ServerMetrics::RpcError::kProgramUnavailable);
        svcerr_noprog(transport);
        return;
    }
    if (program == nullptr) {
        if (metrics_ != nullptr) metrics_->RecordRpcError(ServerMetrics::RpcError::kVersionMismatch);
        svcerr_progvers(transport, low, high);
        return;
    }
    const CallerIdentity caller = anonymous ? CallerIdentity(peer_) : CallerIdentity(peer_, uid, gid, std::move(groups));
    RpcCall call{transport, static_cast<uint32_t>(message.rm_call.cb_proc), caller, buffers,
                 static_cast<uint32_t>(message.rm_xid)};
    if (metrics_ == nullptr) {
        program->Dispatch(call);
        return;
    }
    // Every call of every program passes here once: counted and timed.
    call.metrics = metrics_;
    const auto start = std::chrono::steady_clock::now();
    program->Dispatch(call);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const int slot = ServerMetrics::Slot(number, program->Version(), call.procedure);
    if (slot < 0) {
        // A procedure the program's table lacks gets PROC_UNAVAIL, no reply.
        if (!call.replied) metrics_->RecordRpcError(ServerMetrics::RpcError::kProcedureUnavailable);
        return;
    }
    if (call.garbage) metrics_->RecordRpcError(ServerMetrics::RpcError::kGarbageArguments);
    metrics_->RecordCall(slot, call.replied, call.replyStatus,
                         static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
}
