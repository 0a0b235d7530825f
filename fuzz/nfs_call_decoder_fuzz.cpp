// libFuzzer target: an RPC call header, then the arguments of the NFSv3 or
// MOUNT3 procedure it names, decoded with the procedure tables the programs
// serve from (bounded lengths, freed afterwards).
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nfsserver/Mount3Procedures.h"
#include "nfsserver/Nfs3Procedures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> input(data, data + size);
    XDR xdrs;
    xdrmem_create(&xdrs, input.data(), static_cast<u_int>(input.size()), XDR_DECODE);
    char auth[2 * MAX_AUTH_BYTES];
    rpc_msg message{};
    message.rm_call.cb_cred.oa_base = auth;
    message.rm_call.cb_verf.oa_base = auth + MAX_AUTH_BYTES;
    if (xdr_callmsg(&xdrs, &message)) {
        const uint32_t number = static_cast<uint32_t>(message.rm_call.cb_proc);
        // Any other program number decodes as NFS, the larger surface.
        const RpcProcedure* procedure = message.rm_call.cb_prog == MOUNT_PROGRAM
                                            ? FindProcedure(kMount3Procedures, number)
                                            : FindProcedure(kNfs3Procedures, number);
        if (procedure != nullptr) {
            // Zeroed and aligned for any argument type, as the dispatcher's are.
            std::vector<std::max_align_t> args((procedure->argumentSize + sizeof(std::max_align_t) - 1) /
                                               sizeof(std::max_align_t));
            procedure->decodeArguments(&xdrs, args.data());
            xdr_free(procedure->decodeArguments, reinterpret_cast<char*>(args.data()));
        }
    }
    XDR_DESTROY(&xdrs);
    return 0;
}
