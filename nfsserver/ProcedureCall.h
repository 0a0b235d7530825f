// One call of a procedure its program knows, as the procedure's handler sees
// it: who sent it, the connection's buffers, and the one way to answer, with
// the result encoder of the procedure's table row. A call of a procedure
// that is not idempotent takes part in the duplicate request cache: decoding
// its arguments answers retransmissions, and its reply is kept for later ones.
#pragma once
#include <optional>

#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/RpcCall.h"
#include "nfsserver/RpcProcedure.h"

class ProcedureCall {
public:
    // replies: where the replies of procedures that are not idempotent are
    // kept; null for a program that keeps none.
    ProcedureCall(RpcCall& call, const RpcProcedure& procedure, DuplicateRequestCache* replies);
    ~ProcedureCall();
    ProcedureCall(const ProcedureCall&) = delete;
    ProcedureCall& operator=(const ProcedureCall&) = delete;

    // Sends the procedure's result; null for a void result.
    void Reply(const void* result);
    // Sends a result whose last field is a variable-length opaque left
    // empty, with size bytes at data as its contents, written to the socket
    // from where they are (READ's data). Only for procedures whose replies
    // are not kept: the kept copy would lack the tail.
    void ReplyWithTail(const void* result, const char* data, size_t size);

    const CallerIdentity& Caller() const { return call_.caller; }
    ConnectionBuffers& Buffers() { return call_.buffers; }
    RpcCall& Rpc() { return call_; }
    const RpcProcedure& Procedure() const { return procedure_; }

private:
    RpcCall& call_;
    const RpcProcedure& procedure_;
    std::optional<CachedCall> cached_;  // abandons its claim if no reply was sent
};
