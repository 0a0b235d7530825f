// Pages of listings kept while the store is unchanged: a listing resumed
// anywhere inside a page is answered from it, nothing read before a change
// is answered after it, and the rows kept stay within their bound.
#include "objectstore/ListingCache.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace ObjectStore {
namespace {

// Children numbered first, first + 1, ... last.
std::shared_ptr<const std::vector<NodeRow>> Rows(int64_t first, int64_t last) {
    auto rows = std::make_shared<std::vector<NodeRow>>();
    for (int64_t no = first; no <= last; ++no) {
        rows->emplace_back();
        rows->back().no = no;
        rows->back().name = "f" + std::to_string(no);
    }
    return rows;
}

std::vector<int64_t> Numbers(const ListedRows& rows) {
    std::vector<int64_t> numbers;
    for (size_t i = rows.next; i < rows.end; ++i) numbers.push_back((*rows.page)[i].no);
    return numbers;
}

TEST(ListingCacheTest, AnswersFromAnywhereInsideAPageAndNothingPastIt) {
    ListingCache cache(100);
    cache.Put("d", 3, Rows(3, 10), false, 1);
    ListedRows out;
    ASSERT_TRUE(cache.Find("d", 6, 3, 1, out));
    EXPECT_EQ((std::vector<int64_t>{6, 7, 8}), Numbers(out));
    // The page's last rows, fewer than asked for: the caller asks again from 11.
    ASSERT_TRUE(cache.Find("d", 9, 64, 1, out));
    EXPECT_EQ((std::vector<int64_t>{9, 10}), Numbers(out));
    // Before the page's first number and after its last row, it knows nothing.
    EXPECT_FALSE(cache.Find("d", 2, 64, 1, out));
    EXPECT_FALSE(cache.Find("d", 11, 64, 1, out));
    EXPECT_FALSE(cache.Find("other", 3, 64, 1, out));
}

TEST(ListingCacheTest, APageToTheEndAnswersThatNothingFollows) {
    ListingCache cache(100);
    cache.Put("d", 0, Rows(1, 2), true, 1);
    cache.Put("empty", 0, Rows(1, 0), true, 1);
    ListedRows out;
    ASSERT_TRUE(cache.Find("d", 1000, 64, 1, out));
    EXPECT_TRUE(Numbers(out).empty());
    ASSERT_TRUE(cache.Find("empty", 0, 64, 1, out));
    EXPECT_TRUE(Numbers(out).empty());
    // An empty page that does not reach the end says nothing at all.
    cache.Put("unknown", 0, Rows(1, 0), false, 1);
    EXPECT_FALSE(cache.Find("unknown", 0, 64, 1, out));
}

TEST(ListingCacheTest, AChangeOfTheStoreEndsEveryPageAndOlderReadsAreNotKept) {
    ListingCache cache(100);
    cache.Put("a", 0, Rows(1, 5), true, 7);
    cache.Put("b", 0, Rows(1, 5), true, 7);
    EXPECT_EQ(10u, cache.Rows());
    ListedRows out;
    EXPECT_FALSE(cache.Find("a", 0, 64, 8, out));
    EXPECT_EQ(0u, cache.Rows());
    // Read before the change, put after it: it may miss the change.
    cache.Put("b", 0, Rows(1, 5), true, 7);
    EXPECT_FALSE(cache.Find("b", 0, 64, 8, out));
    EXPECT_EQ(0u, cache.Rows());
    // A reader that saw an older count than the cache's finds nothing either.
    cache.Put("b", 0, Rows(1, 5), true, 8);
    EXPECT_FALSE(cache.Find("b", 0, 64, 7, out));
}

TEST(ListingCacheTest, KeepsItsBoundByDroppingTheLeastRecentlyListedDirectories) {
    ListingCache cache(12);
    cache.Put("a", 0, Rows(1, 6), false, 1);
    cache.Put("b", 0, Rows(1, 6), false, 1);
    ListedRows out;
    ASSERT_TRUE(cache.Find("a", 0, 1, 1, out));  // a is now the more recent
    cache.Put("c", 0, Rows(1, 6), false, 1);
    EXPECT_EQ(12u, cache.Rows());
    EXPECT_TRUE(cache.Find("a", 0, 1, 1, out));
    EXPECT_FALSE(cache.Find("b", 0, 1, 1, out));
    EXPECT_TRUE(cache.Find("c", 0, 1, 1, out));
    // A page bigger than the whole bound is not kept, and drops nothing.
    cache.Put("d", 0, Rows(1, 13), false, 1);
    EXPECT_FALSE(cache.Find("d", 0, 1, 1, out));
    EXPECT_EQ(12u, cache.Rows());
    // A directory whose own pages outgrow the bound goes as a whole.
    cache.Put("c", 7, Rows(7, 12), false, 1);
    cache.Put("c", 13, Rows(13, 14), false, 1);
    EXPECT_FALSE(cache.Find("c", 0, 1, 1, out));
    EXPECT_LE(cache.Rows(), 12u);
    ListingCache none(0);
    none.Put("a", 0, Rows(1, 1), true, 1);
    EXPECT_FALSE(none.Find("a", 0, 1, 1, out));
}

}  // namespace
}  // namespace ObjectStore
