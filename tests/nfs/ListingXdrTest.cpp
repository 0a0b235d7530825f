// The READDIRPLUS encoder must put on the wire exactly what the generated
// routine does, whether it writes entries in place or field by field.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "nfsserver/ListingXdr.h"

namespace {

// A listing of `count` entries, chained as a reply carries them: names of
// every length modulo 4, with and without attributes and handles.
struct Listing {
    std::deque<std::string> names;
    std::deque<std::vector<char>> handles;
    std::vector<entryplus3> entries;
    READDIRPLUS3res res{};

    explicit Listing(int count) {
        entries.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            entryplus3& e = entries[static_cast<size_t>(i)];
            names.push_back(std::string(static_cast<size_t>(1 + i % 7), static_cast<char>('a' + i % 26)));
            e.name = names.back().data();
            e.fileid = 0x0102030405060708ull + static_cast<uint64_t>(i);
            e.cookie = 0xfffffffe00000000ull | static_cast<uint64_t>(i + 3);
            e.name_attributes.attributes_follow = i % 5 != 4;
            fattr3& a = e.name_attributes.post_op_attr_u.attributes;
            a.type = i % 2 == 0 ? NFS3_REG : NFS3_DIR;
            a.mode = 0644;
            a.nlink = 2;
            a.uid = 1000u + static_cast<uint32_t>(i);
            a.gid = 0xfffffffeu;
            a.size = 4096ull << 20;
            a.used = 8192;
            a.rdev = {7, 9};
            a.fsid = 0xabcdef0123456789ull;
            a.fileid = e.fileid;
            a.atime = {1700000000u, 1u};
            a.mtime = {1700000001u, 999999999u};
            a.ctime = {0xffffffffu, 0u};
            e.name_handle.handle_follows = i % 3 != 2;
            handles.emplace_back(static_cast<size_t>(41 + i % 4), static_cast<char>(i));
            e.name_handle.post_op_fh3_u.handle.data.data_len = static_cast<u_int>(handles.back().size());
            e.name_handle.post_op_fh3_u.handle.data.data_val = handles.back().data();
            e.nextentry = i + 1 < count ? &entries[static_cast<size_t>(i + 1)] : nullptr;
        }
        res.status = NFS3_OK;
        READDIRPLUS3resok& ok = res.READDIRPLUS3res_u.resok;
        ok.dir_attributes.attributes_follow = TRUE;
        ok.dir_attributes.post_op_attr_u.attributes.type = NFS3_DIR;
        memcpy(ok.cookieverf, "verifier", NFS3_COOKIEVERFSIZE);
        ok.reply.entries = count > 0 ? entries.data() : nullptr;
        ok.reply.eof = TRUE;
    }
};

// Records the bytes an xdrrec stream hands to its writer.
int Collect(void* sink, void* data, int size) {
    auto* bytes = static_cast<std::string*>(sink);
    bytes->append(static_cast<const char*>(data), static_cast<size_t>(size));
    return size;
}

int NoRead(void*, void*, int) { return -1; }

// The record an encoder writes through a record stream with the given
// buffer size; a small buffer has room for no whole entry.
std::string Encode(xdrproc_t encoder, READDIRPLUS3res& res, u_int bufferSize, bool& ok) {
    std::string bytes;
    XDR xdrs;
    xdrrec_create(&xdrs, bufferSize, 0, &bytes, NoRead, Collect);
    xdrs.x_op = XDR_ENCODE;
    ok = encoder(&xdrs, &res) && xdrrec_endofrecord(&xdrs, TRUE);
    XDR_DESTROY(&xdrs);
    return bytes;
}

TEST(ListingXdr, WritesTheGeneratedBytesInPlaceAndFieldByField) {
    for (const int count : {0, 1, 13}) {
        for (const u_int buffer : {65536u, 100u}) {
            Listing listing(count);
            bool generatedOk = false;
            bool inlineOk = false;
            const std::string generated =
                Encode(reinterpret_cast<xdrproc_t>(xdr_READDIRPLUS3res), listing.res, buffer, generatedOk);
            const std::string written =
                Encode(reinterpret_cast<xdrproc_t>(xdr_READDIRPLUS3res_inline), listing.res, buffer, inlineOk);
            EXPECT_TRUE(generatedOk);
            EXPECT_TRUE(inlineOk);
            EXPECT_EQ(written, generated) << count << " entries, buffer " << buffer;
        }
    }
}

TEST(ListingXdr, AFailedListingCarriesOnlyItsDirectoryAttributes) {
    Listing listing(3);
    listing.res.status = NFS3ERR_NOTDIR;
    listing.res.READDIRPLUS3res_u.resfail.dir_attributes.attributes_follow = FALSE;
    bool ok = false;
    const std::string written =
        Encode(reinterpret_cast<xdrproc_t>(xdr_READDIRPLUS3res_inline), listing.res, 65536, ok);
    EXPECT_TRUE(ok);
    // Record mark, status, attributes_follow.
    EXPECT_EQ(written, std::string("\x80\0\0\x08\0\0\0\x14\0\0\0\0", 12));
}

TEST(ListingXdr, RefusesAHandleBeyondTheProtocolsBound) {
    Listing listing(2);
    std::vector<char> oversized(NFS3_FHSIZE + 1, 'h');
    nfs3_handle& handle = listing.entries[1].name_handle.post_op_fh3_u.handle;
    listing.entries[1].name_handle.handle_follows = TRUE;
    handle.data.data_len = static_cast<u_int>(oversized.size());
    handle.data.data_val = oversized.data();
    bool ok = true;
    Encode(reinterpret_cast<xdrproc_t>(xdr_READDIRPLUS3res_inline), listing.res, 65536, ok);
    EXPECT_FALSE(ok);
}

TEST(ListingXdr, DecodesWhatItWrote) {
    Listing listing(5);
    std::vector<char> buffer(4096);
    XDR out;
    xdrmem_create(&out, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    ASSERT_TRUE(xdr_READDIRPLUS3res_inline(&out, &listing.res));
    const u_int size = xdr_getpos(&out);
    XDR in;
    xdrmem_create(&in, buffer.data(), size, XDR_DECODE);
    READDIRPLUS3res decoded{};
    ASSERT_TRUE(xdr_READDIRPLUS3res_inline(&in, &decoded));
    int count = 0;
    for (entryplus3* e = decoded.READDIRPLUS3res_u.resok.reply.entries; e != nullptr; e = e->nextentry, ++count) {
        EXPECT_STREQ(e->name, listing.entries[static_cast<size_t>(count)].name);
        EXPECT_EQ(e->cookie, listing.entries[static_cast<size_t>(count)].cookie);
    }
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(decoded.READDIRPLUS3res_u.resok.reply.eof);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_READDIRPLUS3res), reinterpret_cast<char*>(&decoded));
}

}  // namespace
