#include "nfsserver/ProcedureCall.h"

#include "nfsserver/RpcRecordTransport.h"
#include "nfsserver/RpcReply.h"

ProcedureCall::ProcedureCall(RpcCall& call, const RpcProcedure& procedure, DuplicateRequestCache* replies)
    : call_(call), procedure_(procedure) {
    if (replies != nullptr && !procedure.idempotent) {
        cached_.emplace(*replies, call.caller.Address(), call.xid, call.procedure);
        call_.cached = &*cached_;
    }
}

// The transport's call record outlives this one; it must not keep pointing
// at the cache claim about to go.
ProcedureCall::~ProcedureCall() { call_.cached = nullptr; }

void ProcedureCall::Reply(const void* result) { RpcReply::Send(call_, procedure_.encodeResult, result); }

void ProcedureCall::ReplyWithTail(const void* result, const char* data, size_t size) {
    RpcRecordTransport::Of(call_.transport).SetReplyTail(data, size);
    Reply(result);
}
