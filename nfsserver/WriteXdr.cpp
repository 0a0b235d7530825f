#include "nfsserver/WriteXdr.h"

#include <cstdint>

bool_t xdr_WRITE3args_inline(XDR* xdrs, WRITE3args* args) {
    if (xdrs->x_op != XDR_DECODE || args->data.data_val == nullptr) return xdr_WRITE3args(xdrs, args);
    if (!xdr_nfs3_handle(xdrs, &args->file) || !xdr_offset3(xdrs, &args->offset) ||
        !xdr_count3(xdrs, &args->count) || !xdr_stable_how(xdrs, &args->stable)) {
        return FALSE;
    }
    u_int length = 0;
    if (!xdr_u_int(xdrs, &length) || length > NFS3_MAXDATA) return FALSE;
    args->data.data_len = length;
    const u_int padded = (length + 3) & ~3u;
    if (int32_t* inPlace = XDR_INLINE(xdrs, padded)) {
        args->data.data_val = reinterpret_cast<char*>(inPlace);
        return TRUE;
    }
    return xdr_opaque(xdrs, args->data.data_val, length);
}
