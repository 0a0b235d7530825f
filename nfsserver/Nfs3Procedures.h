// NFS version 3's procedures (RFC 1813) by number: what Nfs3Program serves
// and what the decoder fuzz target decodes.
#pragma once
#include <vector>

#include "nfsserver/ListingXdr.h"
#include "nfsserver/RpcProcedure.h"
#include "nfsserver/WriteXdr.h"
#include "nfsserver/XdrArgs.h"
#include "nfsserver/nfs3.h"

// Every call that changes something keeps its reply: a second REMOVE or
// exclusive CREATE would turn the client's success into an error, a second
// RENAME or WRITE could undo a later change.
inline const RpcProcedure kNfs3Procedures[] = {
    {"NULL", XDR_PROC(xdr_void), XDR_PROC(xdr_void), 0, kIdempotent},
    RPC_PROCEDURE("GETATTR", GETATTR3args, GETATTR3res, kIdempotent),
    RPC_PROCEDURE("SETATTR", SETATTR3args, SETATTR3res, kNotIdempotent),
    RPC_PROCEDURE("LOOKUP", LOOKUP3args, LOOKUP3res, kIdempotent),
    RPC_PROCEDURE("ACCESS", ACCESS3args, ACCESS3res, kIdempotent),
    RPC_PROCEDURE("READLINK", READLINK3args, READLINK3res, kIdempotent),
    RPC_PROCEDURE("READ", READ3args, READ3res, kIdempotent),
    {"WRITE", XDR_PROC(xdr_WRITE3args_inline), XDR_PROC(xdr_WRITE3res), sizeof(WRITE3args), kNotIdempotent},
    RPC_PROCEDURE("CREATE", CREATE3args, CREATE3res, kNotIdempotent),
    RPC_PROCEDURE("MKDIR", MKDIR3args, MKDIR3res, kNotIdempotent),
    RPC_PROCEDURE("SYMLINK", SYMLINK3args, SYMLINK3res, kNotIdempotent),
    RPC_PROCEDURE("MKNOD", MKNOD3args, MKNOD3res, kNotIdempotent),
    RPC_PROCEDURE("REMOVE", REMOVE3args, REMOVE3res, kNotIdempotent),
    RPC_PROCEDURE("RMDIR", RMDIR3args, RMDIR3res, kNotIdempotent),
    RPC_PROCEDURE("RENAME", RENAME3args, RENAME3res, kNotIdempotent),
    RPC_PROCEDURE("LINK", LINK3args, LINK3res, kNotIdempotent),
    RPC_PROCEDURE("READDIR", READDIR3args, READDIR3res, kIdempotent),
    {"READDIRPLUS", XDR_PROC(xdr_READDIRPLUS3args), XDR_PROC(xdr_READDIRPLUS3res_inline), sizeof(READDIRPLUS3args),
     kIdempotent},
    RPC_PROCEDURE("FSSTAT", FSSTAT3args, FSSTAT3res, kIdempotent),
    RPC_PROCEDURE("FSINFO", FSINFO3args, FSINFO3res, kIdempotent),
    RPC_PROCEDURE("PATHCONF", PATHCONF3args, PATHCONF3res, kIdempotent),
    RPC_PROCEDURE("COMMIT", COMMIT3args, COMMIT3res, kNotIdempotent),
};

// A WRITE's data is left in the received record where the stream allows,
// else decoded into the connection's buffer; its XDR bound is the buffer's
// size. Either way the pointer is the call's, not the arguments' to free.
template <>
struct BulkArgument<WRITE3args> {
    static void Attach(WRITE3args& args, ConnectionBuffers& buffers) {
        buffers.data.resize(NFS3_MAXDATA);
        args.data.data_val = buffers.data.data();
    }
    static void Detach(WRITE3args& args) { args.data.data_val = nullptr; }
};
