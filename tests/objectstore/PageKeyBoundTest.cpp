// The bound of a page cache's page numbers: a truncation may be skipped only
// when no cached page can be at or above its limit.
#include <gtest/gtest.h>

#include "objectstore/PageKeyBound.h"

namespace ObjectStore {
namespace {

// SQLite parks a page under the lock-byte page's number while it reorders
// b-tree siblings.
constexpr unsigned kParked = 262145;

class PageKeyBoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (unsigned key = 1; key <= 100; ++key) bound_.Fetched(&pages_[key], key);
    }
    PageKeyBound bound_;
    int pages_[300] = {};
};

TEST_F(PageKeyBoundTest, APageParkedAndRenumberedBackLeavesNothingToTruncate) {
    EXPECT_FALSE(bound_.MayHoldFrom(101));
    bound_.Rekeyed(&pages_[40], kParked);
    EXPECT_TRUE(bound_.MayHoldFrom(101));
    EXPECT_TRUE(bound_.MayHoldFrom(kParked));
    EXPECT_FALSE(bound_.MayHoldFrom(kParked + 1));
    bound_.Rekeyed(&pages_[41], 40);
    bound_.Rekeyed(&pages_[40], 41);
    EXPECT_FALSE(bound_.MayHoldFrom(101));
    EXPECT_TRUE(bound_.MayHoldFrom(100));
}

TEST_F(PageKeyBoundTest, PagesBeyondTheLimitMustBeTruncatedOnce) {
    bound_.Fetched(&pages_[105], 105);  // a page of a transaction rolled back
    EXPECT_TRUE(bound_.MayHoldFrom(101));
    EXPECT_TRUE(bound_.MayHoldFrom(105));
    EXPECT_FALSE(bound_.MayHoldFrom(106));
    bound_.Truncated(101);
    EXPECT_FALSE(bound_.MayHoldFrom(101));
    EXPECT_TRUE(bound_.MayHoldFrom(100));
    bound_.Truncated(0);  // the whole cache cleared
    EXPECT_FALSE(bound_.MayHoldFrom(1));
}

TEST_F(PageKeyBoundTest, AParkedPageStaysAnOutlierUntilItLeaves) {
    bound_.Rekeyed(&pages_[50], kParked);
    bound_.Fetched(&pages_[50], kParked);  // looked up again under its parked number
    EXPECT_TRUE(bound_.MayHoldFrom(101));
    bound_.Rekeyed(&pages_[50], 50);
    EXPECT_FALSE(bound_.MayHoldFrom(101));  // the look-up did not raise the bound

    bound_.Rekeyed(&pages_[60], kParked);
    bound_.Discarded(&pages_[60]);
    EXPECT_FALSE(bound_.MayHoldFrom(101));

    bound_.Rekeyed(&pages_[70], kParked);
    bound_.Fetched(&pages_[70], 7);  // recycled under another number
    EXPECT_FALSE(bound_.MayHoldFrom(101));

    bound_.Rekeyed(&pages_[80], kParked);
    bound_.Truncated(kParked);
    EXPECT_FALSE(bound_.MayHoldFrom(101));
}

TEST_F(PageKeyBoundTest, RenumberingBelowTheBoundNeedsNoOutlier) {
    bound_.Rekeyed(&pages_[90], 20);
    bound_.Discarded(&pages_[20]);
    EXPECT_FALSE(bound_.MayHoldFrom(101));
    EXPECT_TRUE(bound_.MayHoldFrom(100));
}

TEST_F(PageKeyBoundTest, ManyOutliersFoldIntoTheBoundAndStayCovered) {
    for (unsigned i = 0; i < 12; ++i) bound_.Rekeyed(&pages_[101 + i], 1000 + i);
    for (unsigned i = 0; i < 12; ++i) EXPECT_TRUE(bound_.MayHoldFrom(1000 + i)) << i;
    EXPECT_FALSE(bound_.MayHoldFrom(1012));
    // Folded outliers are no longer known by page: only a truncation lowers
    // the bound again.
    for (unsigned i = 0; i < 12; ++i) bound_.Rekeyed(&pages_[101 + i], 101 + i);
    EXPECT_TRUE(bound_.MayHoldFrom(1000));
    bound_.Truncated(200);
    EXPECT_FALSE(bound_.MayHoldFrom(200));
    EXPECT_TRUE(bound_.MayHoldFrom(199));
}

}  // namespace
}  // namespace ObjectStore
