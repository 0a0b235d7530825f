// NFS version 4.0's procedures (RFC 7530) by number: NULL and COMPOUND, what
// Nfs4Program serves and what the COMPOUND decoder fuzz target decodes.
// COMPOUND keeps no reply in the duplicate request cache: most compounds
// only read, a READ's reply is up to 1 MiB, and the operations that change
// state keep their own replies with their owners (sequence ids).
#pragma once
#include "nfsserver/RpcProcedure.h"
#include "nfsserver/nfs4.h"

inline const RpcProcedure kNfs4Procedures[] = {
    {"NULL", XDR_PROC(xdr_void), XDR_PROC(xdr_void), 0, kIdempotent},
    RPC_PROCEDURE("COMPOUND", COMPOUND4args, COMPOUND4res, kIdempotent),
};
