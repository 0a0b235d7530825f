// The WRITE decoder: with a buffer of the caller's, the data is left in the
// record where the stream hands it out in place and copied into the buffer
// where it does not; without one it behaves as the generated routine. The
// bytes and the bounds are the generated routine's either way.
#include "nfsserver/WriteXdr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A WRITE call's arguments as a client encodes them.
std::vector<char> Encoded(const std::string& data, const std::string& handle = "file-handle") {
    WRITE3args args{};
    args.file.data.data_len = static_cast<u_int>(handle.size());
    args.file.data.data_val = const_cast<char*>(handle.data());
    args.offset = 1ull << 40;
    args.count = static_cast<count3>(data.size());
    args.stable = FILE_SYNC;
    args.data.data_len = static_cast<u_int>(data.size());
    args.data.data_val = const_cast<char*>(data.data());
    std::vector<char> record(data.size() + 256);
    XDR xdrs;
    xdrmem_create(&xdrs, record.data(), static_cast<u_int>(record.size()), XDR_ENCODE);
    EXPECT_TRUE(xdr_WRITE3args(&xdrs, &args));
    record.resize(XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);
    return record;
}

int32_t* NeverInPlace(XDR*, u_int) { return nullptr; }

struct Decoded {
    bool ok = false;
    WRITE3args args{};
};

// Decodes record; buffer (may be null) is the caller's; inPlace false makes
// the stream refuse to hand bytes out in place.
Decoded Decode(std::vector<char>& record, char* buffer, bool inPlace = true) {
    XDR xdrs;
    xdrmem_create(&xdrs, record.data(), static_cast<u_int>(record.size()), XDR_DECODE);
    XDR::xdr_ops refusing = *xdrs.x_ops;
    refusing.x_inline = NeverInPlace;
    if (!inPlace) xdrs.x_ops = &refusing;
    Decoded decoded;
    decoded.args.data.data_val = buffer;
    decoded.ok = xdr_WRITE3args_inline(&xdrs, &decoded.args) != 0;
    XDR_DESTROY(&xdrs);
    return decoded;
}

// Frees what the decoder allocated, leaving the data pointer alone when it
// is not the arguments' own.
void Free(Decoded& decoded, bool ownsData) {
    if (!ownsData) decoded.args.data.data_val = nullptr;
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_WRITE3args), reinterpret_cast<char*>(&decoded.args));
}

TEST(WriteXdrTest, DataIsLeftInTheRecordOrCopiedIntoTheCallersBuffer) {
    const std::string data = "fifteen bytes!!";  // padded to 16 on the wire
    std::vector<char> record = Encoded(data);
    std::vector<char> buffer(NFS3_MAXDATA, 'x');

    Decoded inPlace = Decode(record, buffer.data());
    ASSERT_TRUE(inPlace.ok);
    EXPECT_GE(inPlace.args.data.data_val, record.data());
    EXPECT_LT(inPlace.args.data.data_val, record.data() + record.size());
    EXPECT_EQ(std::string(inPlace.args.data.data_val, inPlace.args.data.data_len), data);
    EXPECT_EQ(buffer[0], 'x') << "the data was copied although it could stay in place";
    EXPECT_EQ(inPlace.args.offset, 1ull << 40);
    EXPECT_EQ(inPlace.args.count, data.size());
    EXPECT_EQ(inPlace.args.stable, FILE_SYNC);
    EXPECT_EQ(std::string(inPlace.args.file.data.data_val, inPlace.args.file.data.data_len), "file-handle");
    Free(inPlace, false);

    Decoded copied = Decode(record, buffer.data(), false);
    ASSERT_TRUE(copied.ok);
    EXPECT_EQ(copied.args.data.data_val, buffer.data());
    EXPECT_EQ(std::string(buffer.data(), data.size()), data);
    Free(copied, false);

    // Without a buffer: allocated, and freed with the arguments.
    Decoded owned = Decode(record, nullptr);
    ASSERT_TRUE(owned.ok);
    EXPECT_EQ(std::string(owned.args.data.data_val, owned.args.data.data_len), data);
    Free(owned, true);
}

TEST(WriteXdrTest, BoundsAreTheGeneratedRoutines) {
    std::vector<char> buffer(NFS3_MAXDATA);
    // Data one byte over the bound: its length word is refused.
    std::vector<char> tooLong = Encoded(std::string(16, 'a'));
    const size_t lengthAt = tooLong.size() - 16 - 4;
    const uint32_t over = htonl(NFS3_MAXDATA + 1);
    memcpy(tooLong.data() + lengthAt, &over, sizeof(over));
    for (bool inPlace : {true, false}) {
        Decoded decoded = Decode(tooLong, buffer.data(), inPlace);
        EXPECT_FALSE(decoded.ok) << "in place " << inPlace;
        Free(decoded, false);
    }
    // A record that ends inside the data, or inside its padding.
    for (size_t cut : {size_t{8}, size_t{1}}) {
        std::vector<char> shortRecord = Encoded(std::string(15, 'b'));
        shortRecord.resize(shortRecord.size() - cut);
        for (bool inPlace : {true, false}) {
            Decoded decoded = Decode(shortRecord, buffer.data(), inPlace);
            EXPECT_FALSE(decoded.ok) << "cut " << cut << ", in place " << inPlace;
            Free(decoded, false);
        }
    }
    // The largest WRITE decodes in place.
    std::vector<char> largest = Encoded(std::string(NFS3_MAXDATA, 'c'));
    Decoded decoded = Decode(largest, buffer.data());
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.args.data.data_len, NFS3_MAXDATA);
    EXPECT_NE(decoded.args.data.data_val, buffer.data());
    Free(decoded, false);
}

TEST(WriteXdrTest, EncodingIsTheGeneratedRoutines) {
    const std::string data(1001, 'd');
    std::vector<char> record = Encoded(data);
    std::vector<char> buffer(NFS3_MAXDATA);
    Decoded decoded = Decode(record, buffer.data());
    ASSERT_TRUE(decoded.ok);
    std::vector<char> again(record.size() + 64);
    XDR xdrs;
    xdrmem_create(&xdrs, again.data(), static_cast<u_int>(again.size()), XDR_ENCODE);
    ASSERT_TRUE(xdr_WRITE3args_inline(&xdrs, &decoded.args));
    again.resize(XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);
    EXPECT_EQ(again, record);
    Free(decoded, false);
}

}  // namespace
