// The decoder of WRITE arguments. A WRITE carries up to 1 MiB of data, and
// the generated routine copies it out of the received record into the
// arguments. Where the caller brings a buffer for the data (BulkArgument:
// it takes the data pointer back before the arguments are freed), this one
// points the data at its bytes in the record itself when the stream can
// hand them out in place (a memory stream, as the server's records are),
// and copies them into that buffer when it cannot. The data then lives as
// long as the record, which is for the call. Without a buffer, and for
// encoding and freeing, it is the generated routine.
#pragma once
#include "nfsserver/nfs3.h"

#ifdef __cplusplus
extern "C" {
#endif

bool_t xdr_WRITE3args_inline(XDR* xdrs, WRITE3args* args);

#ifdef __cplusplus
}
#endif
