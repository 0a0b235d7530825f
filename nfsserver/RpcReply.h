// Argument decoding and replies shared by the programs.
#pragma once
#include <rpc/rpc.h>

#include <cstring>

#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/RpcCall.h"

namespace RpcReply {

// Decodes the arguments; on failure answers GARBAGE_ARGS and returns false.
inline bool Decode(RpcCall& call, xdrproc_t decoder, void* args) {
    if (SVC_GETARGS(call.transport, decoder, static_cast<char*>(args))) return true;
    call.garbage = true;
    svcerr_decode(call.transport);
    return false;
}

// Frees what decoding allocated.
inline void Free(RpcCall& call, xdrproc_t decoder, void* args) {
    SVC_FREEARGS(call.transport, decoder, static_cast<char*>(args));
}

// A result of every procedure begins with a word (most with a status); it
// is noted for the metrics.
inline void Send(RpcCall& call, xdrproc_t encoder, const void* result) {
    call.replied = true;
    if (result != nullptr) memcpy(&call.replyStatus, result, sizeof(call.replyStatus));
    if (call.cached != nullptr) call.cached->Reply(encoder, result);
    svc_sendreply(call.transport, encoder, const_cast<char*>(static_cast<const char*>(result)));
}

}  // namespace RpcReply
