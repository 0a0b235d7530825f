// libFuzzer target: the arguments of an NFSv4 COMPOUND as the program
// decodes them (bounded lengths, every operation, freed afterwards), then
// every attribute list a client may set in them (SETATTR, CREATE, OPEN's
// creation attributes, VERIFY and NVERIFY) through the attribute decoder.
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nfsserver/Nfs4Attributes.h"
#include "nfsserver/Nfs4Procedures.h"

namespace {

void DecodeAttributes(const fattr4& attributes) {
    Nfs4Attributes::Decoded decoded;
    Nfs4Attributes::Decode(attributes, true, decoded);
}

void DecodeSettable(const nfs_argop4& op) {
    const auto& a = op.nfs_argop4_u;
    switch (op.argop) {
        case OP_SETATTR: DecodeAttributes(a.opsetattr.obj_attributes); break;
        case OP_CREATE: DecodeAttributes(a.opcreate.createattrs); break;
        case OP_VERIFY: DecodeAttributes(a.opverify.obj_attributes); break;
        case OP_NVERIFY: DecodeAttributes(a.opnverify.obj_attributes); break;
        case OP_OPEN:
            if (a.opopen.openhow.opentype == OPEN4_CREATE && a.opopen.openhow.openflag4_u.how.mode != EXCLUSIVE4) {
                DecodeAttributes(a.opopen.openhow.openflag4_u.how.createhow4_u.createattrs);
            }
            break;
        default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> input(data, data + size);
    XDR xdrs;
    xdrmem_create(&xdrs, input.data(), static_cast<u_int>(input.size()), XDR_DECODE);
    const RpcProcedure& compound = kNfs4Procedures[1];
    COMPOUND4args args{};
    if (compound.decodeArguments(&xdrs, &args)) {
        for (u_int i = 0; i < args.argarray.argarray_len; ++i) DecodeSettable(args.argarray.argarray_val[i]);
    }
    xdr_free(compound.decodeArguments, reinterpret_cast<char*>(&args));
    XDR_DESTROY(&xdrs);
    return 0;
}
