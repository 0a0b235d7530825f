// BackupFSMFileHandle: the 41/43-byte layout, building, decoding, text forms
// and the two equalities.
#include "module/filehandle/BackupFSMFileHandle.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/module/ExportFixture.h"

namespace {

const char kGuid[] = "0123456789abcdef0123456789abcdef";

nfs_fh3 RawHandle(uint32_t length, uint32_t type, uint32_t shareId, const char* guid) {
    nfs_fh3 fh;
    fh.length = length;
    memcpy(fh.data, &type, 4);
    memcpy(fh.data + 4, &shareId, 4);
    memcpy(fh.data + 8, guid, strlen(guid));
    return fh;
}

std::string Address(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

class FileHandleTest : public moduletest::ExportFixture {
protected:
    // A published live export "/store" on share id 7 and its root GUID.
    void PublishStore(bool supportDNFS) {
        exp_ = Publish("/store", 7, supportDNFS);
        ASSERT_TRUE(exp_) << testsupport::Dump(Lines());
        rootGuid_ = exp_->GetRootHandle()->guid;
        ClearLines();
    }
    boost::shared_ptr<BackupFSMExport> exp_;
    std::string rootGuid_;
};

TEST_F(FileHandleTest, EncodesShareSevenWithoutDnfsAs41Bytes) {
    BackupFSMFileHandle handle(7, kGuid, "/a");
    ASSERT_TRUE(handle.valid);
    EXPECT_FALSE(handle.supportDNFS) << "a given path never looks up the export";
    nfs_fh3 fh;
    memset(fh.data, 0xAA, sizeof(fh.data));
    handle.ToNfsFH(fh);
    EXPECT_EQ(41u, fh.length);
    const unsigned char head[8] = {4, 0, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(0, memcmp(head, fh.data, 8));
    EXPECT_EQ(0, memcmp(kGuid, fh.data + 8, 32));
    for (int i = 40; i <= 50; ++i) EXPECT_EQ(0, fh.data[i]) << "byte " << i;
    for (size_t i = 51; i < sizeof(fh.data); ++i) EXPECT_EQ(0xAA, fh.data[i]) << "byte " << i;
}

TEST_F(FileHandleTest, HandleBuiltForDnfsExportIs43Bytes) {
    PublishStore(true);
    BackupFSMFileHandle handle(7, rootGuid_.c_str(), "");
    ASSERT_TRUE(handle.valid) << testsupport::Dump(Lines());
    EXPECT_TRUE(handle.supportDNFS);
    EXPECT_EQ("/", handle.path);
    nfs_fh3 fh;
    memset(fh.data, 0xAA, sizeof(fh.data));
    handle.ToNfsFH(fh);
    EXPECT_EQ(43u, fh.length);
    const unsigned char head[8] = {4, 0, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(0, memcmp(head, fh.data, 8));
    EXPECT_EQ(0, memcmp(rootGuid_.data(), fh.data + 8, 32));
    EXPECT_EQ(0, fh.data[40]);
    EXPECT_EQ(0, fh.data[41]);
    EXPECT_EQ(0, fh.data[42]);
}

TEST_F(FileHandleTest, HandleBuiltForPlainExportIs41Bytes) {
    PublishStore(false);
    BackupFSMFileHandle handle(7, rootGuid_.c_str(), "");
    ASSERT_TRUE(handle.valid);
    nfs_fh3 fh;
    handle.ToNfsFH(fh);
    EXPECT_EQ(41u, fh.length);
}

TEST_F(FileHandleTest, ReceivedDnfsHandleDecodesAndReencodesAs41) {
    PublishStore(true);
    nfs_fh3 received = RawHandle(43, 4, 7, rootGuid_.c_str());
    BackupFSMFileHandle handle(received);
    ASSERT_TRUE(handle.valid) << testsupport::Dump(Lines());
    EXPECT_EQ(7u, handle.shareId);
    EXPECT_EQ("/", handle.path);
    EXPECT_STREQ(rootGuid_.c_str(), handle.guid);
    EXPECT_LOGGED(4, "INFO: nfs file handle length [43], FSM type [4] ");
    EXPECT_LOGGED(10, "INFO: BackupFSMFileHandle [" + Address(&handle) + "] created");
    nfs_fh3 again;
    handle.ToNfsFH(again);
    EXPECT_EQ(41u, again.length);
    EXPECT_EQ(0, memcmp(received.data, again.data, 41));
}

TEST_F(FileHandleTest, BadLengthsAndTypesFailValidityAndDecoding) {
    struct Case {
        uint32_t length;
        uint32_t type;
        bool valid;
    } cases[] = {{41, 4, true}, {43, 4, true}, {42, 4, false}, {40, 4, false},
                 {44, 4, false}, {41, 5, false}, {43, 0, false}, {0, 4, false}};
    for (const Case& c : cases) {
        ClearLines();
        nfs_fh3 fh = RawHandle(c.length, c.type, 77, kGuid);
        EXPECT_EQ(c.valid, BackupFSMFileHandle::IsValid(fh)) << c.length << "/" << c.type;
        BackupFSMFileHandle handle(fh);
        EXPECT_FALSE(handle.valid);
        EXPECT_EQ(77u, handle.shareId);
        char info[80];
        snprintf(info, sizeof(info), "INFO: nfs file handle length [%u], FSM type [%u] ", c.length,
                 c.type);
        EXPECT_LOGGED(4, info);
        if (c.valid) {
            // Well-formed, but no export serves share 77.
            EXPECT_LOGGED(-1, "ERROR: Can't find export for share ID [77]");
        } else {
            EXPECT_LOGGED(-1, "ERROR: BackupFSMFileHandle creation failed");
            EXPECT_STREQ("", handle.guid);
        }
    }
}

TEST_F(FileHandleTest, GuidFieldWithoutItsZeroIsRefused) {
    nfs_fh3 fh = RawHandle(41, 4, 7, kGuid);
    fh.data[40] = 'x';
    BackupFSMFileHandle handle(fh);
    EXPECT_FALSE(handle.valid);
    EXPECT_LOGGED(-1, "ERROR: BackupFSMFileHandle creation failed");
    EXPECT_EQ(std::string(), std::string(handle.guid));
}

TEST_F(FileHandleTest, UnresolvableGuidIsInvalid) {
    PublishStore(false);
    BackupFSMFileHandle decoded(RawHandle(41, 4, 7, kGuid));
    EXPECT_FALSE(decoded.valid);
    EXPECT_LOGGED(2, "ERROR: path is empty for GUID [" + std::string(kGuid) + "]");

    ClearLines();
    BackupFSMFileHandle built(7, kGuid, "");
    EXPECT_FALSE(built.valid);
    EXPECT_LOGGED(-1, "ERROR: path is empty for GUID [" + std::string(kGuid) + "]");
    EXPECT_STREQ("", built.guid);
}

TEST_F(FileHandleTest, BuildingForUnknownShareIsInvalid) {
    BackupFSMFileHandle handle(55, kGuid, "");
    EXPECT_FALSE(handle.valid);
    EXPECT_LOGGED(-1, "ERROR: Can't find export for share ID [55]");
    std::string text;
    handle.ToStr(text);
    EXPECT_EQ("shareId [55], GUID []", text);
}

TEST_F(FileHandleTest, ExportOfAnotherModuleIsNotFound) {
    ExportPtr parent;
    ExportPtr foreign(new Export("/other", SHARE_PERM_READ_WRITE, "*", 9, parent));
    gAllExports->AddExport(foreign);
    BackupFSMFileHandle decoded(RawHandle(41, 4, 9, kGuid));
    EXPECT_FALSE(decoded.valid);
    BackupFSMFileHandle built(9, kGuid, "");
    EXPECT_FALSE(built.valid);
    EXPECT_EQ(2, testsupport::CountLines(Lines(), "ERROR: Can't find export for share ID [9]"));
}

TEST_F(FileHandleTest, OverlongGuidIsInvalidAndNeverOverflows) {
    const std::string longGuid(100, 'g');
    BackupFSMFileHandle handle(7, longGuid.c_str(), "/a");
    EXPECT_FALSE(handle.valid);
    EXPECT_STREQ("", handle.guid);
    BackupFSMFileHandle missing(7, nullptr, "/a");
    EXPECT_FALSE(missing.valid);
    // Exactly 32 characters still fit.
    BackupFSMFileHandle exact(7, kGuid, "/a");
    EXPECT_TRUE(exact.valid);
}

TEST_F(FileHandleTest, TextForms) {
    BackupFSMFileHandle handle(7, kGuid, "/a");
    std::string text;
    handle.ToStr(text);
    EXPECT_EQ("shareId [7], GUID [" + std::string(kGuid) + "]", text);

    std::string bad;
    BackupFSMFileHandle::FH2Str(RawHandle(41, 5, 9, kGuid), bad);
    EXPECT_EQ("shareId [9], GUID []", bad);
}

TEST_F(FileHandleTest, GuidEqualityAndShareIdEquality) {
    BackupFSMFileHandle a(7, kGuid, "/a");
    BackupFSMFileHandle b(8, kGuid, "/b");
    BackupFSMFileHandle c(7, "fedcba9876543210fedcba9876543210", "/a");
    EXPECT_TRUE(a == b) << "same GUID, share ids differ";
    EXPECT_FALSE(static_cast<const QuayFileHandle&>(a) == b) << "base equality compares share ids";
    EXPECT_FALSE(a == c);
    EXPECT_TRUE(static_cast<const QuayFileHandle&>(a) == c);
}

TEST_F(FileHandleTest, CopiesKeepEveryMemberIncludingValidity) {
    BackupFSMFileHandle good(7, kGuid, "/a");
    BackupFSMFileHandle bad(9, std::string(40, 'z').c_str(), "/b");
    BackupFSMFileHandle copy(good);
    EXPECT_TRUE(copy.valid);
    EXPECT_EQ(7u, copy.shareId);
    EXPECT_EQ("/a", copy.path);
    EXPECT_TRUE(copy == good);
    BackupFSMFileHandle badCopy(bad);
    EXPECT_FALSE(badCopy.valid);

    copy = bad;
    EXPECT_FALSE(copy.valid) << "an invalid handle must not turn valid by assignment";
    EXPECT_EQ(9u, copy.shareId);
    EXPECT_EQ("/b", copy.path);
}

TEST_F(FileHandleTest, DestructorLogsAtLevelTen) {
    std::string address;
    {
        BackupFSMFileHandle handle(7, kGuid, "/a");
        address = Address(&handle);
    }
    EXPECT_LOGGED(10, "BackupFSMFileHandle [" + address + "] deleted");
}

}  // namespace
