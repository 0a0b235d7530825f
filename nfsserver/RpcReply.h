// Argument decoding and replies shared by the programs.
#pragma once
#include <rpc/rpc.h>

#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/RpcCall.h"

namespace RpcReply {

// Decodes the arguments; on failure answers GARBAGE_ARGS and returns false.
inline bool Decode(RpcCall& call, xdrproc_t decoder, void* args) {
    if (SVC_GETARGS(call.transport, decoder, static_cast<char*>(args))) return true;
    svcerr_decode(call.transport);
    return false;
}

// Frees what decoding allocated.
inline void Free(RpcCall& call, xdrproc_t decoder, void* args) {
    SVC_FREEARGS(call.transport, decoder, static_cast<char*>(args));
}

inline void Send(RpcCall& call, xdrproc_t encoder, const void* result) {
    if (call.cached != nullptr) call.cached->Reply(encoder, result);
    svc_sendreply(call.transport, encoder, const_cast<char*>(static_cast<const char*>(result)));
}

}  // namespace RpcReply
