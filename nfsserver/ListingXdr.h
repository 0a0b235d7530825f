// The encoder of READDIRPLUS results. A listing reply carries a hundred
// entries or more, and the generated routines spend one call per field and
// a level of recursion per entry on them; this one writes each entry's words
// straight into the stream's buffer where the stream offers room for the
// whole entry, and goes field by field (the same bytes) where it does not.
// Decoding and freeing are the generated routine's.
#pragma once
#include "nfsserver/nfs3.h"

bool_t xdr_READDIRPLUS3res_inline(XDR* xdrs, READDIRPLUS3res* res);
