// NFSv4 attributes on the wire: values in the order of their numbers with
// only what the source has, owners as numeric strings, and every way a
// client's attributes to set can be wrong. Also the NFSv4 status of each
// errno and the NFS versions a share's setting serves.
#include "nfsserver/Nfs4Attributes.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/Export.h"
#include "nfsserver/ExportVersions.h"
#include "nfsserver/Nfs4Status.h"

namespace {

using A = Nfs4Attributes;

std::string Word(uint32_t value) {
    const uint32_t wire = htonl(value);
    return std::string(reinterpret_cast<const char*>(&wire), 4);
}

std::string Text(const std::string& text) { return Word(static_cast<uint32_t>(text.size())) + text + std::string((4 - text.size() % 4) % 4, '\0'); }

struct Mask {
    std::vector<uint32_t> words = std::vector<uint32_t>(2, 0);
    Mask& With(uint32_t attribute) {
        words[attribute / 32] |= 1u << (attribute % 32);
        return *this;
    }
    bitmap4 Wire() { return bitmap4{static_cast<u_int>(words.size()), words.data()}; }
};

nfsstat4 Decode(Mask mask, std::string values, A::Decoded& out, bool acl = true) {
    fattr4 attrs{};
    attrs.attrmask = mask.Wire();
    attrs.attr_vals.attrlist4_len = static_cast<u_int>(values.size());
    attrs.attr_vals.attrlist4_val = values.empty() ? nullptr : &values[0];
    return A::Decode(attrs, acl, out);
}

TEST(Nfs4AttributesTest, ValuesFollowTheirNumbersAndOmitWhatIsNotRead) {
    Nfs4AttributeSource source;
    source.st.st_mode = S_IFREG | 0640;
    source.st.st_uid = 1001;
    source.st.st_gid = 500;
    source.st.st_size = 0x1122334455;
    Mask mask;
    mask.With(A::kOwnerGroup).With(A::kSize).With(A::kMode).With(A::kOwner).With(A::kType).With(A::kAcl)
        .With(A::kSpaceTotal).With(A::kTimeModifySet).With(63);
    A::Encoded out;
    source.aclSupported = true;  // but not read: left out, as the space figures
    A::Encode(mask.Wire(), source, out);
    const std::string expected = Word(NF4REG) + Word(0x11) + Word(0x22334455) + Word(0640) + Text("1001") +
                                 Text("500");
    EXPECT_EQ(expected, out.values);
    ASSERT_EQ(2u, out.mask.size());
    EXPECT_EQ((1u << A::kType) | (1u << A::kSize), out.mask[0]);
    EXPECT_EQ((1u << (A::kMode - 32)) | (1u << (A::kOwner - 32)) | (1u << (A::kOwnerGroup - 32)), out.mask[1]);
}

TEST(Nfs4AttributesTest, SupportedAttributesNameTheAclOnlyWhereTheShareKeepsOne) {
    Nfs4AttributeSource source;
    A::Encoded without;
    A::Encode(Mask().With(A::kSupportedAttrs).Wire(), source, without);
    source.aclSupported = true;
    A::Encoded with;
    A::Encode(Mask().With(A::kSupportedAttrs).Wire(), source, with);
    ASSERT_EQ(12u, with.values.size());
    uint32_t first = 0;
    memcpy(&first, with.values.data() + 4, 4);
    EXPECT_NE(0u, ntohl(first) & (1u << A::kAcl));
    memcpy(&first, without.values.data() + 4, 4);
    EXPECT_EQ(0u, ntohl(first) & (1u << A::kAcl));
    EXPECT_NE(0u, ntohl(first) & (1u << A::kRdattrError));
}

TEST(Nfs4AttributesTest, AnAclEncodesSpecialAndNumericPrincipalsAndDecodesBack) {
    QuayNfs4Acl acl;
    QuayNfs4Ace owner;
    owner.iflag = QUAY_NFS4_IFLAG_SPECIAL_ID;
    owner.who = QUAY_NFS4_SPECIAL_OWNER;
    owner.accessMask = ACE4_READ_DATA;
    QuayNfs4Ace group;
    group.type = ACE4_ACCESS_DENIED_ACE_TYPE;
    group.flag = ACE4_IDENTIFIER_GROUP;
    group.who = 500;
    group.accessMask = ACE4_WRITE_DATA;
    acl.aces = {owner, group};
    Nfs4AttributeSource source;
    source.aclSupported = true;
    source.acl = &acl;
    A::Encoded out;
    A::Encode(Mask().With(A::kAcl).Wire(), source, out);
    EXPECT_EQ(Word(2) + Word(0) + Word(0) + Word(ACE4_READ_DATA) + Text("OWNER@") + Word(1) +
                  Word(ACE4_IDENTIFIER_GROUP) + Word(ACE4_WRITE_DATA) + Text("500"),
              out.values);
    A::Decoded back;
    ASSERT_EQ(NFS4_OK, Decode(Mask().With(A::kAcl), out.values, back));
    ASSERT_TRUE(back.setAcl);
    ASSERT_EQ(2u, back.acl.aces.size());
    EXPECT_EQ(QUAY_NFS4_IFLAG_SPECIAL_ID, back.acl.aces[0].iflag);
    EXPECT_EQ(uint32_t(QUAY_NFS4_SPECIAL_OWNER), back.acl.aces[0].who);
    EXPECT_EQ(500u, back.acl.aces[1].who);
    EXPECT_EQ(ACE4_IDENTIFIER_GROUP, back.acl.aces[1].flag);
}

TEST(Nfs4AttributesTest, SettableAttributesDecodeIntoAChange) {
    A::Decoded out;
    const std::string values = Word(0) + Word(4096) + Word(0755) + Text("1002@example.com") + Text("500") +
                               Word(SET_TO_CLIENT_TIME4) + Word(0) + Word(1000) + Word(5) +
                               Word(SET_TO_SERVER_TIME4);
    ASSERT_EQ(NFS4_OK, Decode(Mask().With(A::kSize).With(A::kMode).With(A::kOwner).With(A::kOwnerGroup)
                                  .With(A::kTimeAccessSet).With(A::kTimeModifySet),
                              values, out));
    EXPECT_TRUE(out.change.setSize);
    EXPECT_EQ(4096u, out.change.size);
    EXPECT_EQ(0755u, out.change.mode);
    EXPECT_EQ(1002u, out.change.uid);
    EXPECT_EQ(500u, out.change.gid);
    EXPECT_EQ(AttributeChange::kClientTime, out.change.atime);
    EXPECT_EQ(1000, out.change.atimeValue.tv_sec);
    EXPECT_EQ(5, out.change.atimeValue.tv_nsec);
    EXPECT_EQ(AttributeChange::kServerTime, out.change.mtime);
    ASSERT_EQ(2u, out.mask.size());
}

TEST(Nfs4AttributesTest, WrongAttributesToSetAreRefusedEachWithItsStatus) {
    A::Decoded out;
    EXPECT_EQ(NFS4ERR_INVAL, Decode(Mask().With(A::kType), Word(NF4REG), out));
    EXPECT_EQ(NFS4ERR_ATTRNOTSUPP, Decode(Mask().With(A::kAcl), Word(0), out, false));
    EXPECT_EQ(NFS4ERR_ATTRNOTSUPP, Decode(Mask().With(14), Word(0), out));  // archive
    EXPECT_EQ(NFS4ERR_BADXDR, Decode(Mask().With(A::kMode), std::string(2, '\0'), out));
    EXPECT_EQ(NFS4ERR_BADXDR, Decode(Mask().With(A::kMode), Word(0644) + Word(0), out));
    EXPECT_EQ(NFS4ERR_BADOWNER, Decode(Mask().With(A::kOwner), Text("alice"), out));
    EXPECT_EQ(NFS4ERR_BADOWNER, Decode(Mask().With(A::kOwner), Text("99999999999"), out));
    EXPECT_EQ(NFS4ERR_BADXDR, Decode(Mask().With(A::kTimeModifySet),
                                     Word(SET_TO_CLIENT_TIME4) + Word(0) + Word(1) + Word(1000000000), out));
    EXPECT_EQ(NFS4ERR_BADXDR, Decode(Mask().With(A::kAcl), Word(NFS4_ACL_MAX + 1), out));
    EXPECT_EQ(NFS4ERR_BADOWNER, Decode(Mask().With(A::kAcl),
                                       Word(1) + Word(0) + Word(0) + Word(1) + Text("nobody@"), out));
}

TEST(Nfs4AttributesTest, ErrnoValuesMapToTheirNfs4Statuses) {
    EXPECT_EQ(NFS4_OK, Nfs4StatusFromErrno(0));
    EXPECT_EQ(NFS4ERR_ACCESS, Nfs4StatusFromErrno(EACCES));
    EXPECT_EQ(NFS4ERR_BADHANDLE, Nfs4StatusFromErrno(EBADF));
    EXPECT_EQ(NFS4ERR_DELAY, Nfs4StatusFromErrno(EAGAIN));
    EXPECT_EQ(NFS4ERR_SYMLINK, Nfs4StatusFromErrno(ELOOP));
    EXPECT_EQ(NFS4ERR_NOTSUPP, Nfs4StatusFromErrno(EOPNOTSUPP));
    EXPECT_EQ(NFS4ERR_IO, Nfs4StatusFromErrno(ENOTTY));
    size_t rows = 0;
    const Errno4StatusRow* table = Nfs4StatusTable(rows);
    for (size_t i = 0; i < rows; ++i) EXPECT_EQ(table[i].status, Nfs4StatusFromErrno(table[i].error)) << table[i].error;
}

TEST(Nfs4AttributesTest, AShareServesTheNfsVersionsItsSettingNames) {
    ExportPtr none;
    Export exp("/s", SHARE_PERM_READ_WRITE, "*", 7, none);
    const struct {
        const char* versions;
        bool v3;
        bool v4;
    } rows[] = {{"3,4", true, true}, {"4", false, true}, {"3", true, false}, {" 3 , 4 ", true, true},
                {"", true, true}, {"34", false, false}, {"4,", false, true}};
    for (const auto& row : rows) {
        exp.SetNfsVersions(row.versions);
        EXPECT_EQ(row.v3, ExportVersions::Serves(exp, 3)) << row.versions;
        EXPECT_EQ(row.v4, ExportVersions::Serves(exp, 4)) << row.versions;
    }
}

}  // namespace
