// NFS version 4.0's procedures (RFC 7530) by number: NULL and COMPOUND, what
// Nfs4Program serves and what the COMPOUND decoder fuzz target decodes.
// COMPOUND counts as idempotent here: most compounds only read, and
// Nfs4Program itself keeps the replies of those that change names.
#pragma once
#include "nfsserver/RpcProcedure.h"
#include "nfsserver/nfs4.h"

inline const RpcProcedure kNfs4Procedures[] = {
    {"NULL", XDR_PROC(xdr_void), XDR_PROC(xdr_void), 0, kIdempotent},
    RPC_PROCEDURE("COMPOUND", COMPOUND4args, COMPOUND4res, kIdempotent),
};
