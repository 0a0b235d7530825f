// Decoded arguments of one call, freed when the call is done.
#pragma once
#include <rpc/rpc.h>

#include <cstring>

#include "nfsserver/RpcProcedure.h"
#include "nfsserver/RpcReply.h"

// Where decoding puts an argument type's bulk data. By default the XDR
// routine allocates it with the rest; a specialisation may point it into the
// connection's reused buffer instead (Attach, before decoding) and take it
// back before the arguments are freed (Detach), so that a 1 MiB WRITE needs
// no allocation of its own.
template <typename T>
struct BulkArgument {
    static void Attach(T&, ConnectionBuffers&) {}
    static void Detach(T&) {}
};

template <typename T>
class XdrArgs {
public:
    XdrArgs(RpcCall& call, xdrproc_t routine) : call_(call), routine_(routine) { memset(&value, 0, sizeof(value)); }
    ~XdrArgs() {
        BulkArgument<T>::Detach(value);
        RpcReply::Free(call_, routine_, &value);
    }
    XdrArgs(const XdrArgs&) = delete;
    XdrArgs& operator=(const XdrArgs&) = delete;

    // False after answering GARBAGE_ARGS, and for a retransmission answered
    // from the duplicate request cache or dropped while the first runs.
    bool Decode() {
        BulkArgument<T>::Attach(value, call_.buffers);
        if (!RpcReply::Decode(call_, routine_, &value)) return false;
        return call_.cached == nullptr || call_.cached->Admit(call_.transport, routine_, &value);
    }

    T value;

private:
    RpcCall& call_;
    const xdrproc_t routine_;
};
