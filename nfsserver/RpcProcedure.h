// One procedure of an RPC program as the transport sees it: how its
// arguments and result travel, and whether running it twice is harmless.
// The tables of these (Nfs3Procedures.h, Mount3Procedures.h) use only the
// generated XDR routines, so a target that decodes without serving (the
// decoder fuzz target) reads the same tables as the programs.
#pragma once
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>

// rpcgen's routines take typed pointers; the transport wants xdrproc_t.
#define XDR_PROC(routine) reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(routine))

// Tables of these are indexed by procedure number.
struct RpcProcedure {
    const char* name;
    xdrproc_t decodeArguments;
    xdrproc_t encodeResult;
    size_t argumentSize;  // bytes of the decoded arguments
    // False: a retransmission must get the first reply, not a second run.
    bool idempotent;
};

constexpr bool kIdempotent = true;
constexpr bool kNotIdempotent = false;

// A table row of a procedure whose arguments and result are generated types.
#define RPC_PROCEDURE(name, Arguments, Result, idempotent) \
    RpcProcedure { name, XDR_PROC(xdr_##Arguments), XDR_PROC(xdr_##Result), sizeof(Arguments), idempotent }

// The table row of a procedure number; null for a number the program lacks.
template <size_t N>
const RpcProcedure* FindProcedure(const RpcProcedure (&table)[N], uint32_t number) {
    return number < N ? &table[number] : nullptr;
}
