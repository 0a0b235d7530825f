// Decoded arguments of one call, freed when the call is done.
#pragma once
#include <rpc/rpc.h>

#include <cstring>

#include "nfsserver/RpcReply.h"

// rpcgen's routines take typed pointers; the transport wants xdrproc_t.
#define XDR_PROC(routine) reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(routine))

template <typename T>
class XdrArgs {
public:
    XdrArgs(RpcCall& call, xdrproc_t routine) : call_(call), routine_(routine) { memset(&value, 0, sizeof(value)); }
    ~XdrArgs() { RpcReply::Free(call_, routine_, &value); }
    XdrArgs(const XdrArgs&) = delete;
    XdrArgs& operator=(const XdrArgs&) = delete;

    // False after answering GARBAGE_ARGS, and for a retransmission answered
    // from the duplicate request cache or dropped while the first runs.
    bool Decode() {
        if (!RpcReply::Decode(call_, routine_, &value)) return false;
        return call_.cached == nullptr || call_.cached->Admit(call_.transport, routine_, &value);
    }

    T value;

private:
    RpcCall& call_;
    const xdrproc_t routine_;
};
