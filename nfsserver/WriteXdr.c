/* Written in C, as the generated routines it stands in for are: the
 * procedure table calls every XDR routine through xdrproc_t. */
#include "nfsserver/WriteXdr.h"

bool_t xdr_WRITE3args_inline(XDR* xdrs, WRITE3args* args) {
    u_int length = 0;
    u_int padded = 0;
    int32_t* inPlace = NULL;
    if (xdrs->x_op != XDR_DECODE || args->data.data_val == NULL) return xdr_WRITE3args(xdrs, args);
    if (!xdr_nfs3_handle(xdrs, &args->file) || !xdr_offset3(xdrs, &args->offset) ||
        !xdr_count3(xdrs, &args->count) || !xdr_stable_how(xdrs, &args->stable)) {
        return FALSE;
    }
    if (!xdr_u_int(xdrs, &length) || length > NFS3_MAXDATA) return FALSE;
    args->data.data_len = length;
    padded = (length + 3) & ~3u;
    inPlace = XDR_INLINE(xdrs, padded);
    if (inPlace != NULL) {
        args->data.data_val = (char*)inPlace;
        return TRUE;
    }
    return xdr_opaque(xdrs, args->data.data_val, length);
}
