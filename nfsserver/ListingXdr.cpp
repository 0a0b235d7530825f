#include "nfsserver/ListingXdr.h"

#include <cstring>

namespace {

constexpr u_int kAttributeBytes = 84;  // an fattr3: 21 words

u_int Padded(u_int bytes) { return (bytes + 3) & ~3u; }

int32_t* PutWord(int32_t* p, uint32_t value) {
    IXDR_PUT_U_INT32(p, value);
    return p;
}

int32_t* PutHyper(int32_t* p, uint64_t value) {
    p = PutWord(p, static_cast<uint32_t>(value >> 32));
    return PutWord(p, static_cast<uint32_t>(value));
}

int32_t* PutTime(int32_t* p, const nfstime3& time) {
    p = PutWord(p, time.seconds);
    return PutWord(p, time.nseconds);
}

// Variable-length opaque data: length, bytes, zeros up to the next word.
int32_t* PutOpaque(int32_t* p, const void* data, u_int length) {
    p = PutWord(p, length);
    char* bytes = reinterpret_cast<char*>(p);
    if (length > 0) memcpy(bytes, data, length);
    memset(bytes + length, 0, Padded(length) - length);
    return reinterpret_cast<int32_t*>(bytes + Padded(length));
}

int32_t* PutAttributes(int32_t* p, const fattr3& a) {
    p = PutWord(p, static_cast<uint32_t>(a.type));
    p = PutWord(p, a.mode);
    p = PutWord(p, a.nlink);
    p = PutWord(p, a.uid);
    p = PutWord(p, a.gid);
    p = PutHyper(p, a.size);
    p = PutHyper(p, a.used);
    p = PutWord(p, a.rdev.specdata1);
    p = PutWord(p, a.rdev.specdata2);
    p = PutHyper(p, a.fsid);
    p = PutHyper(p, a.fileid);
    p = PutTime(p, a.atime);
    p = PutTime(p, a.mtime);
    return PutTime(p, a.ctime);
}

// One entry of the list, with the word before it that says it follows.
bool_t EncodeEntry(XDR* xdrs, entryplus3& entry) {
    const u_int nameLength = static_cast<u_int>(strlen(entry.name));
    const bool attributes = entry.name_attributes.attributes_follow;
    const bool handle = entry.name_handle.handle_follows;
    const nfs3_handle& fh = entry.name_handle.post_op_fh3_u.handle;
    // A name or handle beyond the protocol's bounds goes the checked way,
    // which refuses it.
    const bool bounded = nameLength <= NFS3_NAMELEN && (!handle || fh.data.data_len <= NFS3_FHSIZE);
    const u_int bytes = 4 + 8 + 4 + Padded(nameLength) + 8 + 4 + (attributes ? kAttributeBytes : 0) + 4 +
                        (handle ? 4 + Padded(fh.data.data_len) : 0);
    int32_t* p = bounded ? XDR_INLINE(xdrs, static_cast<int>(bytes)) : nullptr;
    if (p == nullptr) {
        bool_t follows = TRUE;
        return xdr_bool(xdrs, &follows) && xdr_fileid3(xdrs, &entry.fileid) && xdr_filename3(xdrs, &entry.name) &&
               xdr_cookie3(xdrs, &entry.cookie) && xdr_post_op_attr(xdrs, &entry.name_attributes) &&
               xdr_post_op_fh3(xdrs, &entry.name_handle);
    }
    p = PutWord(p, TRUE);
    p = PutHyper(p, entry.fileid);
    p = PutOpaque(p, entry.name, nameLength);
    p = PutHyper(p, entry.cookie);
    p = PutWord(p, attributes ? TRUE : FALSE);
    if (attributes) p = PutAttributes(p, entry.name_attributes.post_op_attr_u.attributes);
    p = PutWord(p, handle ? TRUE : FALSE);
    if (handle) PutOpaque(p, fh.data.data_val, fh.data.data_len);
    return TRUE;
}

bool_t EncodeListing(XDR* xdrs, READDIRPLUS3resok& ok) {
    if (!xdr_post_op_attr(xdrs, &ok.dir_attributes) || !xdr_cookieverf3(xdrs, ok.cookieverf)) return FALSE;
    for (entryplus3* entry = ok.reply.entries; entry != nullptr; entry = entry->nextentry) {
        if (!EncodeEntry(xdrs, *entry)) return FALSE;
    }
    bool_t more = FALSE;
    return xdr_bool(xdrs, &more) && xdr_bool(xdrs, &ok.reply.eof);
}

}  // namespace

bool_t xdr_READDIRPLUS3res_inline(XDR* xdrs, READDIRPLUS3res* res) {
    if (xdrs->x_op != XDR_ENCODE || res->status != NFS3_OK) return xdr_READDIRPLUS3res(xdrs, res);
    return xdr_nfsstat3(xdrs, &res->status) && EncodeListing(xdrs, res->READDIRPLUS3res_u.resok);
}
