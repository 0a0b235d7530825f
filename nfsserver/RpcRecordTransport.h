// The libtirpc server transport of one connection. Calls are read as whole
// records by an RpcRecordReader and decoded from memory; replies go out
// through an XDR record stream. libtirpc's own stream transport enforces a
// record limit only on connections it accepts itself (svc_vc_create with
// RPC_SVC_CONNMAXREC_SET); one made with svc_fd_create from an accepted
// socket reads whatever length a fragment header announces.
//
// Everything libtirpc does with a transport works on this one: SVC_RECV,
// SVC_GETARGS, SVC_FREEARGS, svc_sendreply, svcerr_* and _authenticate.
#pragma once
#include <rpc/rpc.h>
#include <rpc/svc_mt.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nfsserver/RpcRecordReader.h"

class RpcRecordTransport {
public:
    // Serves fd, a connected stream socket that stays the caller's to close.
    // peer names the client in log lines.
    // polling, when given, is used between calls (see CallPolling).
    RpcRecordTransport(int fd, std::string peer, size_t recordLimit, int stallMilliseconds, unsigned sendBuffer,
                       CallPolling* polling = nullptr);
    ~RpcRecordTransport();
    RpcRecordTransport(const RpcRecordTransport&) = delete;
    RpcRecordTransport& operator=(const RpcRecordTransport&) = delete;

    // False when the reply buffer could not be allocated; nothing may be
    // served then.
    bool Ready() const { return replies_.x_ops != nullptr; }
    SVCXPRT* Handle() { return &transport_; }

    // The transport of a connection served by an RpcRecordTransport.
    static RpcRecordTransport& Of(SVCXPRT* transport);

    // Makes the next reply end in size bytes at data, sent to the socket
    // from there rather than copied into the reply buffer first (a READ's
    // 1 MiB). The result encoded for that reply must end in a variable-length
    // opaque left empty: its length is set to size on the way out. Only for
    // results the caller's authentication flavour does not wrap (AUTH_NONE,
    // AUTH_SYS, the only ones served).
    void SetReplyTail(const char* data, size_t size);

private:
    static bool_t Receive(SVCXPRT* transport, rpc_msg* message);
    static xprt_stat Status(SVCXPRT* transport);
    static bool_t GetArguments(SVCXPRT* transport, xdrproc_t decoder, void* arguments);
    static bool_t Reply(SVCXPRT* transport, rpc_msg* message);
    static bool_t FreeArguments(SVCXPRT* transport, xdrproc_t decoder, void* arguments);
    static void Destroy(SVCXPRT* transport);
    static bool_t Control(SVCXPRT* transport, u_int request, void* value);
    // Sends the reply header and results from head_, then the tail.
    bool ReplyWithTail(rpc_msg* message, bool results, xdrproc_t encoder, caddr_t where);
    bool SendAll(iovec* parts, int count);
    // The reply stream's socket ends.
    static int Send(void* self, void* data, int size);
    static int NoRead(void* self, void* data, int size);

    // Logs why the stream was given up, where a client or an operator needs
    // to know.
    void ReportEnd(RpcRecordReader::Status status);

    static const struct __rpc_svcxprt::xp_ops kOperations;
    static const struct __rpc_svcxprt::xp_ops2 kControl;

    const std::string peer_;
    RpcRecordReader reader_;
    SVCXPRT transport_{};
    SVCXPRT_EXT extension_{};  // the caller's authentication, set by _authenticate
    XDR call_{};                // decodes the current record
    XDR replies_{};
    char verifier_[MAX_AUTH_BYTES] = {};
    uint32_t xid_ = 0;
    bool broken_ = false;
    const char* tail_ = nullptr;  // set for the next reply only
    size_t tailSize_ = 0;
    std::vector<char> head_;      // a tail reply's header and results
};
