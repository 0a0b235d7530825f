#include "nfsserver/RpcRecordTransport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "nfsserver/NfsLog.h"
#include "nfsserver/XdrArgs.h"

const struct __rpc_svcxprt::xp_ops RpcRecordTransport::kOperations = {
    Receive, Status, GetArguments, Reply, FreeArguments, Destroy};
const struct __rpc_svcxprt::xp_ops2 RpcRecordTransport::kControl = {Control};

RpcRecordTransport::RpcRecordTransport(int fd, std::string peer, size_t recordLimit, int stallMilliseconds,
                                       unsigned sendBuffer, CallPolling* polling)
    : peer_(std::move(peer)), reader_(fd, recordLimit, stallMilliseconds, polling) {
    transport_.xp_fd = fd;
    transport_.xp_ops = &kOperations;
    transport_.xp_ops2 = &kControl;
    transport_.xp_verf.oa_base = verifier_;
    transport_.xp_p1 = this;
    transport_.xp_p3 = &extension_;
    // The receive side of the stream is never used; libtirpc's smallest
    // buffer is allocated for it all the same.
    xdrrec_create(&replies_, sendBuffer, 0, this, NoRead, Send);
}

RpcRecordTransport::~RpcRecordTransport() {
    if (Ready()) XDR_DESTROY(&replies_);
}

RpcRecordTransport& RpcRecordTransport::Of(SVCXPRT* transport) {
    return *static_cast<RpcRecordTransport*>(transport->xp_p1);
}

bool_t RpcRecordTransport::Receive(SVCXPRT* transport, rpc_msg* message) {
    RpcRecordTransport& self = Of(transport);
    const RpcRecordReader::Status status = self.reader_.Next();
    if (status != RpcRecordReader::Status::kRecord) {
        self.ReportEnd(status);
        self.broken_ = true;
        return FALSE;
    }
    xdrmem_create(&self.call_, self.reader_.Data(), static_cast<u_int>(self.reader_.Size()), XDR_DECODE);
    // Without a call header there is no xid to answer to.
    if (!xdr_callmsg(&self.call_, message)) {
        NFS_LOG(2, "WARN: NFS: undecodable call header from [%s]; closing the connection", self.peer_.c_str());
        self.broken_ = true;
        return FALSE;
    }
    self.xid_ = message->rm_xid;
    return TRUE;
}

xprt_stat RpcRecordTransport::Status(SVCXPRT* transport) {
    // Records are read one at a time straight from the socket, so none ever
    // waits in a buffer (XPRT_MOREREQS).
    return Of(transport).broken_ ? XPRT_DIED : XPRT_IDLE;
}

bool_t RpcRecordTransport::GetArguments(SVCXPRT* transport, xdrproc_t decoder, void* arguments) {
    return SVCAUTH_UNWRAP(&SVC_XP_AUTH(transport), &Of(transport).call_, decoder, static_cast<caddr_t>(arguments));
}

bool_t RpcRecordTransport::Reply(SVCXPRT* transport, rpc_msg* message) {
    RpcRecordTransport& self = Of(transport);
    // Results pass through the caller's authentication flavour, so the header
    // goes out with empty results and the flavour writes the real ones.
    const bool results = message->rm_reply.rp_stat == MSG_ACCEPTED && message->rm_reply.rp_acpt.ar_stat == SUCCESS;
    const xdrproc_t encoder = message->acpted_rply.ar_results.proc;
    const caddr_t where = message->acpted_rply.ar_results.where;
    if (results) {
        message->acpted_rply.ar_results.proc = XDR_PROC(xdr_void);
        message->acpted_rply.ar_results.where = nullptr;
    }
    message->rm_xid = self.xid_;
    if (self.tail_ != nullptr) return self.ReplyWithTail(message, results, encoder, where);
    self.replies_.x_op = XDR_ENCODE;
    const bool encoded = xdr_replymsg(&self.replies_, message) &&
                         (!results || SVCAUTH_WRAP(&SVC_XP_AUTH(transport), &self.replies_, encoder, where));
    const bool sent = xdrrec_endofrecord(&self.replies_, TRUE);
    return encoded && sent;
}

void RpcRecordTransport::SetReplyTail(const char* data, size_t size) {
    tail_ = data;
    tailSize_ = size;
}

bool RpcRecordTransport::ReplyWithTail(rpc_msg* message, bool results, xdrproc_t encoder, caddr_t where) {
    const char* tail = tail_;
    size_t tailSize = tailSize_;
    tail_ = nullptr;
    tailSize_ = 0;
    // Room for the reply header, the largest verifier and a READ's
    // attributes, many times over.
    head_.resize(4 + 4 * MAX_AUTH_BYTES);
    XDR head;
    xdrmem_create(&head, head_.data() + 4, static_cast<u_int>(head_.size() - 4), XDR_ENCODE);
    const bool encoded = xdr_replymsg(&head, message) &&
                         (!results || SVCAUTH_WRAP(&SVC_XP_AUTH(&transport_), &head, encoder, where));
    const u_int headSize = xdr_getpos(&head);
    XDR_DESTROY(&head);
    if (!encoded || headSize < 4) return false;
    if (results) {
        const uint32_t length = htonl(static_cast<uint32_t>(tailSize));
        memcpy(head_.data() + 4 + headSize - 4, &length, sizeof(length));
    } else {
        tailSize = 0;  // an error at the RPC level carries no result, so no tail
    }
    static const char kZeros[4] = {};
    const size_t padding = (4 - tailSize % 4) % 4;
    const uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(headSize + tailSize + padding));
    memcpy(head_.data(), &mark, sizeof(mark));
    iovec parts[3] = {{head_.data(), 4 + size_t{headSize}},
                      {const_cast<char*>(tail), tailSize},
                      {const_cast<char*>(kZeros), padding}};
    return SendAll(parts, 3);
}

bool RpcRecordTransport::SendAll(iovec* parts, int count) {
    while (count > 0) {
        // A client gone away must not kill the daemon with SIGPIPE.
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = sendmsg(transport_.xp_fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            broken_ = true;
            return false;
        }
        // Steps past what went out, for the rest of a partial send.
        size_t done = static_cast<size_t>(sent);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

bool_t RpcRecordTransport::FreeArguments(SVCXPRT*, xdrproc_t decoder, void* arguments) {
    xdr_free(decoder, arguments);
    return TRUE;
}

void RpcRecordTransport::Destroy(SVCXPRT*) {
    // The RpcRecordTransport object owns the transport; its destructor frees it.
}

bool_t RpcRecordTransport::Control(SVCXPRT*, u_int, void*) {
    return FALSE;  // a connection has no settings, as with libtirpc's own
}

int RpcRecordTransport::Send(void* self, void* data, int size) {
    iovec part{data, static_cast<size_t>(size)};
    return static_cast<RpcRecordTransport*>(self)->SendAll(&part, 1) ? size : -1;
}

int RpcRecordTransport::NoRead(void*, void*, int) {
    return -1;  // calls come through the record reader, never this stream
}

void RpcRecordTransport::ReportEnd(RpcRecordReader::Status status) {
    if (status == RpcRecordReader::Status::kTooLarge) {
        NFS_LOG(2, "WARN: NFS: record of [%llu] bytes from [%s] exceeds [%zu]; closing the connection",
                static_cast<unsigned long long>(reader_.Announced()), peer_.c_str(), reader_.Limit());
    } else if (status == RpcRecordReader::Status::kStalled) {
        NFS_LOG(2, "WARN: NFS: [%s] stalled in the middle of a call; closing the connection", peer_.c_str());
    }
}
