// libFuzzer target: an RPC call header, then the arguments of the NFSv3 or
// MOUNT3 procedure it names, decoded with the generated XDR routines exactly
// as the dispatcher does (bounded lengths, freed afterwards).
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "nfsserver/XdrArgs.h"
#include "nfsserver/mount3.h"
#include "nfsserver/nfs3.h"

namespace {

union AnyArgs {
    GETATTR3args getattr;
    SETATTR3args setattr;
    LOOKUP3args lookup;
    ACCESS3args access;
    READ3args read;
    WRITE3args write;
    CREATE3args create;
    MKDIR3args mkdir;
    SYMLINK3args symlink;
    MKNOD3args mknod;
    REMOVE3args remove;
    RENAME3args rename;
    LINK3args link;
    READDIR3args readdir;
    READDIRPLUS3args readdirplus;
    COMMIT3args commit;
    dirpath path;
};

xdrproc_t NfsDecoder(uint32_t proc) {
    switch (proc) {
        case NFSPROC3_GETATTR: return XDR_PROC(xdr_GETATTR3args);
        case NFSPROC3_SETATTR: return XDR_PROC(xdr_SETATTR3args);
        case NFSPROC3_LOOKUP: return XDR_PROC(xdr_LOOKUP3args);
        case NFSPROC3_ACCESS: return XDR_PROC(xdr_ACCESS3args);
        case NFSPROC3_READ: return XDR_PROC(xdr_READ3args);
        case NFSPROC3_WRITE: return XDR_PROC(xdr_WRITE3args);
        case NFSPROC3_CREATE: return XDR_PROC(xdr_CREATE3args);
        case NFSPROC3_MKDIR: return XDR_PROC(xdr_MKDIR3args);
        case NFSPROC3_SYMLINK: return XDR_PROC(xdr_SYMLINK3args);
        case NFSPROC3_MKNOD: return XDR_PROC(xdr_MKNOD3args);
        case NFSPROC3_REMOVE:
        case NFSPROC3_RMDIR: return XDR_PROC(xdr_REMOVE3args);
        case NFSPROC3_RENAME: return XDR_PROC(xdr_RENAME3args);
        case NFSPROC3_LINK: return XDR_PROC(xdr_LINK3args);
        case NFSPROC3_READDIR: return XDR_PROC(xdr_READDIR3args);
        case NFSPROC3_READDIRPLUS: return XDR_PROC(xdr_READDIRPLUS3args);
        case NFSPROC3_COMMIT: return XDR_PROC(xdr_COMMIT3args);
        default: return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> input(data, data + size);
    XDR xdrs;
    xdrmem_create(&xdrs, input.data(), static_cast<u_int>(input.size()), XDR_DECODE);
    char auth[2 * MAX_AUTH_BYTES];
    rpc_msg message{};
    message.rm_call.cb_cred.oa_base = auth;
    message.rm_call.cb_verf.oa_base = auth + MAX_AUTH_BYTES;
    if (xdr_callmsg(&xdrs, &message)) {
        const uint32_t proc = static_cast<uint32_t>(message.rm_call.cb_proc);
        xdrproc_t decoder = message.rm_call.cb_prog == MOUNT_PROGRAM && (proc == 1 || proc == 3)
                                ? XDR_PROC(xdr_dirpath)
                                : NfsDecoder(proc);
        if (decoder != nullptr) {
            AnyArgs args;
            memset(&args, 0, sizeof(args));
            decoder(&xdrs, &args);
            xdr_free(decoder, reinterpret_cast<char*>(&args));
        }
    }
    XDR_DESTROY(&xdrs);
    return 0;
}
