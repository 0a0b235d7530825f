// MOUNT version 3's procedures by number: what Mount3Program serves and what
// the decoder fuzz target decodes. All are harmless to run twice: they only
// read the exports or add and drop entries of the mount list.
#pragma once
#include "nfsserver/RpcProcedure.h"
#include "nfsserver/mount3.h"

inline const RpcProcedure kMount3Procedures[] = {
    {"NULL", XDR_PROC(xdr_void), XDR_PROC(xdr_void), 0, kIdempotent},
    RPC_PROCEDURE("MNT", dirpath, mountres3, kIdempotent),
    {"DUMP", XDR_PROC(xdr_void), XDR_PROC(xdr_mountlist), 0, kIdempotent},
    {"UMNT", XDR_PROC(xdr_dirpath), XDR_PROC(xdr_void), sizeof(dirpath), kIdempotent},
    {"UMNTALL", XDR_PROC(xdr_void), XDR_PROC(xdr_void), 0, kIdempotent},
    {"EXPORT", XDR_PROC(xdr_void), XDR_PROC(xdr_exports), 0, kIdempotent},
};
