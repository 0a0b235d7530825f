#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "host/ShareIdToPathCache.h"
#include "tests/host/HostTestSupport.h"

namespace {

class ShareIdTest : public hosttest::HostTest {};
using Ids = ShareIdToPathCache;

TEST_F(ShareIdTest, ShareIdsAreAllocatedOnlyWhenAsked) {
    EXPECT_EQ(0u, Ids::GetShareIdForPath("/a", false, false));
    EXPECT_TRUE(Ids::Snapshot().empty());
    unsigned int id = Ids::GetShareIdForPath("/a", true, false);
    EXPECT_EQ(1u, id);
    EXPECT_EQ(id, Ids::GetShareIdForPath("/a", false, false));
    EXPECT_EQ(id, Ids::GetShareIdForPath("/a", true, false));  // stable, no second id
    EXPECT_EQ("/a", Ids::GetPathForShareId(id));
    EXPECT_EQ(1u, Ids::Snapshot().size());
}

TEST_F(ShareIdTest, ShareIdsAreUniqueAndNeverZero) {
    std::set<unsigned int> seen;
    for (int i = 0; i < 100; ++i) {
        unsigned int id = Ids::GetShareIdForPath("/s" + std::to_string(i), true, false);
        EXPECT_NE(0u, id);
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
    EXPECT_EQ(100u, Ids::Snapshot().size());
}

TEST_F(ShareIdTest, EmptyPathGetsNoShareId) {
    EXPECT_EQ(0u, Ids::GetShareIdForPath("", true, false));
    EXPECT_TRUE(Ids::Snapshot().empty());
    EXPECT_FALSE(Ids::AddToExportPathToIdMap("", 3));
}

TEST_F(ShareIdTest, FreedShareIdsLeaveTheTable) {
    unsigned int a = Ids::GetShareIdForPath("/a", true, false);
    unsigned int b = Ids::GetShareIdForPath("/b", true, false);
    Ids::FreeShareId(a, false);
    EXPECT_EQ(0u, Ids::GetShareIdForPath("/a", false, false));
    EXPECT_EQ("", Ids::GetPathForShareId(a));
    Ids::FreeShareIdAux(b);
    EXPECT_EQ("", Ids::GetPathForShareId(b));
    EXPECT_TRUE(Ids::Snapshot().empty());

    g_ptrLogWriter->ClearCaptured();
    Ids::FreeShareId(b, false);  // twice: ignored and said so
    EXPECT_TRUE(Logged(1, "WARN: Share ID [2] is not in use; nothing freed")) << Dump();
    // A freed id may serve a new path, but never two at once.
    unsigned int c = Ids::GetShareIdForPath("/c", true, false);
    unsigned int d = Ids::GetShareIdForPath("/d", true, false);
    EXPECT_NE(c, d);
    EXPECT_EQ("/c", Ids::GetPathForShareId(c));
    EXPECT_EQ("/d", Ids::GetPathForShareId(d));
}

TEST_F(ShareIdTest, RecordedShareIdsSurviveAndBlockNewAllocations) {
    ASSERT_TRUE(Ids::AddToExportPathToIdMap("/old", 2));
    ASSERT_TRUE(Ids::AddToExportPathToIdMap("/older", 1));
    EXPECT_EQ(2u, Ids::GetShareIdForPath("/old", true, false));
    EXPECT_EQ(3u, Ids::GetShareIdForPath("/new", true, false));  // 1 and 2 are taken
    EXPECT_TRUE(Ids::AddToExportPathToIdMap("/old", 2));         // the same pair again is fine
}

TEST_F(ShareIdTest, RecordingATakenShareIdChangesNothing) {
    ASSERT_TRUE(Ids::AddToExportPathToIdMap("/a", 5));
    std::map<std::string, unsigned int> before = Ids::Snapshot();
    g_ptrLogWriter->ClearCaptured();
    EXPECT_FALSE(Ids::AddToExportPathToIdMap("/b", 5));
    EXPECT_TRUE(Logged(1, "ERROR: Share ID [5] of [/b] is already used by [/a]")) << Dump();
    EXPECT_FALSE(Ids::AddToExportPathToIdMap("/b", 0));
    EXPECT_EQ(before, Ids::Snapshot());
    EXPECT_EQ(0u, Ids::GetShareIdForPath("/b", false, false));
}

TEST_F(ShareIdTest, RecordingANewIdForAPathReplacesItsOldOne) {
    unsigned int old = Ids::GetShareIdForPath("/a", true, false);
    ASSERT_TRUE(Ids::AddToExportPathToIdMap("/a", 9));
    EXPECT_EQ(9u, Ids::GetShareIdForPath("/a", false, false));
    EXPECT_EQ("", Ids::GetPathForShareId(old));
    EXPECT_EQ((std::map<std::string, unsigned int>{{"/a", 9}}), Ids::Snapshot());
}

TEST_F(ShareIdTest, ShareIdsUnderConcurrentCallers) {
    constexpr int kThreads = 4;
    constexpr int kPaths = 200;
    std::vector<std::vector<unsigned int>> got(kThreads, std::vector<unsigned int>(kPaths));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &got] {
            // Every thread asks for the same paths, and one of its own.
            for (int i = 0; i < kPaths; ++i) {
                got[t][i] = Ids::GetShareIdForPath("/shared" + std::to_string(i), true, false);
                unsigned int own = Ids::GetShareIdForPath(
                    "/own" + std::to_string(t) + "-" + std::to_string(i), true, false);
                Ids::FreeShareIdAux(own);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<unsigned int> distinct;
    for (int i = 0; i < kPaths; ++i) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(got[0][i], got[t][i]);
        EXPECT_NE(0u, got[0][i]);
        distinct.insert(got[0][i]);
    }
    EXPECT_EQ(static_cast<size_t>(kPaths), distinct.size());
    EXPECT_EQ(static_cast<size_t>(kPaths), Ids::Snapshot().size());
}

}  // namespace
