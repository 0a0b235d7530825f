// A program served over the RPC transport (NFS, MOUNT).
#pragma once
#include <cstdint>

#include "nfsserver/RpcCall.h"

class RpcProgram {
public:
    virtual ~RpcProgram() = default;
    virtual uint32_t Number() const = 0;
    virtual uint32_t Version() const = 0;
    // Decodes the arguments, does the work and sends exactly one reply (or
    // an RPC error). Called from connection threads, many at once.
    virtual void Dispatch(RpcCall& call) = 0;
};
