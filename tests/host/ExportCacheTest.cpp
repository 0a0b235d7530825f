#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/ExportCache.h"
#include "tests/host/HostTestSupport.h"

namespace {

class ExportCacheTest : public hosttest::HostTest {};

ExportPtr MakeExport(unsigned int shareId, const std::string& path = "/store") {
    ExportPtr none;
    return ExportPtr(new Export(path, SHARE_PERM_READ_WRITE, "", shareId, none));
}

TEST_F(ExportCacheTest, ExportCacheFindAddRemove) {
    ExportPtr a = MakeExport(3, "/a");
    ExportPtr b = MakeExport(5, "/b");
    ExportPtr found;
    EXPECT_FALSE(gAllExports->FindExport(3, found));
    EXPECT_FALSE(found);

    ASSERT_TRUE(gAllExports->AddExport(a));
    ASSERT_TRUE(gAllExports->AddExport(b));
    ASSERT_TRUE(gAllExports->FindExport(3, found));
    EXPECT_EQ(a, found);
    std::vector<ExportPtr> listed = gAllExports->List();
    ASSERT_EQ(2u, listed.size());
    EXPECT_EQ(a, listed[0]);  // in share id order
    EXPECT_EQ(b, listed[1]);

    ASSERT_TRUE(gAllExports->RemoveExport(a));
    EXPECT_FALSE(gAllExports->FindExport(3, found));
    EXPECT_FALSE(gAllExports->RemoveExport(a));
    EXPECT_TRUE(gAllExports->FindExport(5, found));

    gAllExports->Clear();
    EXPECT_TRUE(gAllExports->List().empty());
}

TEST_F(ExportCacheTest, ExportCacheRejectsNullAndRemovesOnlyTheServedExport) {
    ExportPtr null;
    EXPECT_FALSE(gAllExports->AddExport(null));
    EXPECT_FALSE(gAllExports->RemoveExport(null));

    ExportPtr first = MakeExport(4, "/first");
    ExportPtr second = MakeExport(4, "/second");
    ASSERT_TRUE(gAllExports->AddExport(first));
    ASSERT_TRUE(gAllExports->AddExport(second));  // replaces under the same id
    ExportPtr found;
    ASSERT_TRUE(gAllExports->FindExport(4, found));
    EXPECT_EQ(second, found);
    // A stale export must not take the new one down.
    EXPECT_FALSE(gAllExports->RemoveExport(first));
    ASSERT_TRUE(gAllExports->FindExport(4, found));
    EXPECT_EQ(second, found);
    EXPECT_EQ(1u, gAllExports->List().size());
}

TEST_F(ExportCacheTest, ExportCacheReleasesExportsItDrops) {
    ExportPtr exp = MakeExport(9);
    ASSERT_TRUE(gAllExports->AddExport(exp));
    EXPECT_EQ(2, exp.use_count());
    ASSERT_TRUE(gAllExports->RemoveExport(exp));
    EXPECT_EQ(1, exp.use_count());
    ASSERT_TRUE(gAllExports->AddExport(exp));
    gAllExports->Clear();
    EXPECT_EQ(1, exp.use_count());
}

TEST_F(ExportCacheTest, ExportCacheConcurrentAddFindRemove) {
    constexpr int kThreads = 4;
    constexpr unsigned int kIdsPerThread = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 20; ++round) {
                for (unsigned int i = 0; i < kIdsPerThread; ++i) {
                    unsigned int id = static_cast<unsigned int>(t) * 1000 + i + 1;
                    ExportPtr exp = MakeExport(id, "/s" + std::to_string(id));
                    ExportPtr found;
                    if (!gAllExports->AddExport(exp)) wrong++;
                    if (!gAllExports->FindExport(id, found) || found != exp) wrong++;
                    gAllExports->List();
                    if (!gAllExports->RemoveExport(exp)) wrong++;
                    if (gAllExports->FindExport(id, found)) wrong++;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_TRUE(gAllExports->List().empty());
}

}  // namespace
