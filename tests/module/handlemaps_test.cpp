// Descriptor and export tables: replace, remove and find rules.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "module/export/BackupFSMExport.h"
#include "module/filehandle/FdToObjectStoreFH.h"
#include "module/filehandle/FileHandleToExport.h"
#include "tests/support/TestEnvironment.h"

namespace {

class HandleMapsTest : public testsupport::ModuleTest {};

boost::shared_ptr<ObjectStore::FileHandle> OpenFile(const std::string& guid) {
    auto fh = boost::make_shared<ObjectStore::FileHandle>();
    fh->item = ObjectStore::ItemName(guid, false);
    return fh;
}

boost::shared_ptr<BackupFSMExport> MakeExport(unsigned int shareId) {
    ExportPtr parent;
    return boost::make_shared<BackupFSMExport>("/s" + std::to_string(shareId),
                                               SHARE_PERM_READ_WRITE, "*", shareId, parent);
}

TEST_F(HandleMapsTest, DescriptorAddReplacesAndReleasesTheEarlierFile) {
    auto first = OpenFile("first");
    boost::weak_ptr<ObjectStore::FileHandle> firstWatch = first;
    EXPECT_TRUE(FdToObjectStoreFH::Add(5, first));
    first.reset();
    EXPECT_FALSE(firstWatch.expired()) << "the table keeps the open file alive";

    EXPECT_TRUE(FdToObjectStoreFH::Add(5, OpenFile("second")));
    EXPECT_TRUE(firstWatch.expired()) << "replaced entry released";
    boost::shared_ptr<ObjectStore::FileHandle> found;
    ASSERT_TRUE(FdToObjectStoreFH::find(5, found));
    EXPECT_EQ("second", found->item.getObjGuid());
}

TEST_F(HandleMapsTest, DescriptorRemoveAndFindRules) {
    EXPECT_TRUE(FdToObjectStoreFH::Remove(42)) << "removing an absent entry still succeeds";
    EXPECT_TRUE(FdToObjectStoreFH::Add(42, OpenFile("g")));
    EXPECT_TRUE(FdToObjectStoreFH::Add(43, OpenFile("h")));
    EXPECT_TRUE(FdToObjectStoreFH::Remove(42));

    boost::shared_ptr<ObjectStore::FileHandle> out = OpenFile("stale");
    EXPECT_FALSE(FdToObjectStoreFH::find(42, out));
    EXPECT_FALSE(out) << "a miss empties the out pointer";
    ASSERT_TRUE(FdToObjectStoreFH::find(43, out));
    EXPECT_EQ("h", out->item.getObjGuid());
    EXPECT_EQ(0u, FdToObjectStoreFH::fdTofhMap.count(42));
}

TEST_F(HandleMapsTest, DescriptorKeysAreTheUnsignedValue) {
    EXPECT_TRUE(FdToObjectStoreFH::Add(-1, OpenFile("neg")));
    boost::shared_ptr<ObjectStore::FileHandle> out;
    ASSERT_TRUE(FdToObjectStoreFH::find(-1, out));
    EXPECT_EQ(1u, FdToObjectStoreFH::fdTofhMap.count(4294967295u));
}

TEST_F(HandleMapsTest, ExportTableFollowsTheSameRules) {
    std::string key = "share-key";
    auto first = MakeExport(1);
    boost::weak_ptr<BackupFSMExport> firstWatch = first;
    EXPECT_TRUE(FileHandleToExport::Add(key, first));
    first.reset();
    EXPECT_FALSE(firstWatch.expired());
    EXPECT_TRUE(FileHandleToExport::Add(key, MakeExport(2)));
    EXPECT_TRUE(firstWatch.expired());

    boost::shared_ptr<BackupFSMExport> out;
    ASSERT_TRUE(FileHandleToExport::find(key, out));
    EXPECT_EQ(2u, out->GetShareId());

    std::string otherCase = "Share-Key";
    out = MakeExport(3);
    EXPECT_FALSE(FileHandleToExport::find(otherCase, out)) << "keys compare byte for byte";
    EXPECT_FALSE(out);

    EXPECT_TRUE(FileHandleToExport::Remove(otherCase));
    EXPECT_TRUE(FileHandleToExport::find(key, out));
    EXPECT_TRUE(FileHandleToExport::Remove(key));
    EXPECT_FALSE(FileHandleToExport::find(key, out));
    EXPECT_EQ(0u, FileHandleToExport::fhToExportMap.count(key));
}

}  // namespace
