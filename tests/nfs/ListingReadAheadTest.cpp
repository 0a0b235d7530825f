// The next READDIRPLUS page prepared ahead: it answers only the exact
// continuation of the listing from the same caller, and only when nothing
// changed from before it was made until it is taken; the memory of prepared
// pages is bounded across connections.
#include "nfsserver/ListingReadAhead.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/nfs/OtherCallers.h"

namespace {

constexpr uint64_t kEntries = 10;   // the listed directory's
constexpr uint64_t kPageSize = 3;  // entries per page
const char kVerifier[NFS3_COOKIEVERFSIZE] = {'v', 'e', 'r', 'i', 'f', 'i', 'e', 'r'};

// Lists a directory of kEntries entries with cookies 1..kEntries, as the
// server's own builder fills a page; counts its runs. changeWhileBuilding
// makes a change happen while a page is built.
struct Directory {
    ChangeClock clock;
    int builds = 0;
    bool changeWhileBuilding = false;
    nfsstat3 status = NFS3_OK;

    void Build(const READDIRPLUS3args& args, const CallerIdentity&, ReadDirPlusPage& page) {
        ++builds;
        if (changeWhileBuilding) ChangeClock::Change change(clock);
        page.res.status = status;
        if (status != NFS3_OK) return;
        READDIRPLUS3resok& ok = page.res.READDIRPLUS3res_u.resok;
        memcpy(ok.cookieverf, kVerifier, sizeof(kVerifier));
        for (uint64_t cookie = args.cookie + 1; cookie <= kEntries && cookie <= args.cookie + kPageSize; ++cookie) {
            entryplus3 entry{};
            entry.cookie = cookie;
            page.entries.push_back(entry);
        }
        ok.reply.eof = page.entries.empty() || page.entries.back().cookie == kEntries;
    }
    ListingReadAhead::Builder Builder() {
        return [this](const READDIRPLUS3args& a, const CallerIdentity& c, ReadDirPlusPage& p) { Build(a, c, p); };
    }
};

struct Call {
    std::string handle = "directory-handle";
    READDIRPLUS3args args{};

    explicit Call(uint64_t cookie, uint32_t maxcount = 8192) {
        args.dir.data.data_len = static_cast<u_int>(handle.size());
        args.dir.data.data_val = handle.data();
        args.cookie = cookie;
        if (cookie != 0) memcpy(args.cookieverf, kVerifier, sizeof(kVerifier));
        args.dircount = 4096;
        args.maxcount = maxcount;
    }
};

class ListingReadAheadTest : public ::testing::Test {
protected:
    // Answers call as the NFS procedure does: the prepared page, or one
    // built for it; then expects the continuation.
    std::unique_ptr<ReadDirPlusPage> Answer(const Call& call, const CallerIdentity& caller = kCaller) {
        std::unique_ptr<ReadDirPlusPage> page = ahead.Take(call.args, caller);
        if (!page) {
            page = std::make_unique<ReadDirPlusPage>();
            directory.Build(call.args, caller, *page);
        }
        ahead.Expect(call.args, *page, caller);
        return page;
    }

    uint64_t Prepared() const { return metrics.Take().listingPagesPrepared; }
    uint64_t Answered() const { return metrics.Take().listingPagesAnswered; }

    Directory directory;
    ServerMetrics metrics;
    ListingReadAhead ahead{directory.clock, directory.Builder(), &metrics};
};

TEST_F(ListingReadAheadTest, TheExactContinuationIsAnsweredFromThePreparedPage) {
    std::unique_ptr<ReadDirPlusPage> first = Answer(Call(0));
    ASSERT_TRUE(ahead.Pending());
    ahead.Prepare();
    EXPECT_EQ(directory.builds, 2);
    EXPECT_FALSE(ahead.Pending());
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), 8192u);

    std::unique_ptr<ReadDirPlusPage> second = Answer(Call(first->entries.back().cookie));
    EXPECT_EQ(directory.builds, 2) << "the continuation was built again";
    ASSERT_EQ(second->entries.size(), kPageSize);
    EXPECT_EQ(second->entries.front().cookie, kPageSize + 1);

    // Page by page to the end: nothing is expected after the last page.
    uint64_t cookie = second->entries.back().cookie;
    for (;;) {
        ahead.Prepare();
        std::unique_ptr<ReadDirPlusPage> next = Answer(Call(cookie));
        cookie = next->entries.back().cookie;
        if (next->res.READDIRPLUS3res_u.resok.reply.eof) break;
    }
    EXPECT_EQ(cookie, kEntries);
    EXPECT_FALSE(ahead.Pending());
    EXPECT_EQ(directory.builds, 4) << "every page was built once";
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), 0u);
    EXPECT_EQ(Prepared(), 3u);
    EXPECT_EQ(Answered(), 3u);
}

TEST_F(ListingReadAheadTest, AnyOtherCallIsAnsweredAfresh) {
    struct Case {
        const char* what;
        Call call;
        const CallerIdentity& caller;
    };
    Call otherDirectory(kPageSize);
    otherDirectory.handle[0] = 'D';
    Call otherVerifier(kPageSize);
    otherVerifier.args.cookieverf[0] = 'V';
    Call otherDircount(kPageSize);
    otherDircount.args.dircount = 2048;
    std::vector<Case> cases = {
        {"another cookie", Call(kPageSize + 1), kCaller},
        {"a restart", Call(0), kCaller},
        {"another maxcount", Call(kPageSize, 4096), kCaller},
        {"another dircount", otherDircount, kCaller},
        {"another verifier", otherVerifier, kCaller},
        {"another directory", otherDirectory, kCaller},
    };
    const std::vector<OtherCaller> others = OtherCallers();
    for (const OtherCaller& other : others) cases.push_back({other.what, Call(kPageSize), other.caller});
    for (const Case& c : cases) {
        Answer(Call(0));
        ahead.Prepare();
        const int builds = directory.builds;
        Call call = c.call;
        call.args.dir.data.data_val = call.handle.data();
        EXPECT_EQ(ahead.Take(call.args, c.caller), nullptr) << c.what;
        EXPECT_FALSE(ahead.Pending()) << c.what;
        EXPECT_EQ(ListingReadAhead::PreparedBytes(), 0u) << c.what;
        // The continuation that was expected is not served either now.
        EXPECT_EQ(ahead.Take(Call(kPageSize).args, kCaller), nullptr) << c.what;
        EXPECT_EQ(directory.builds, builds) << c.what;
    }
}

TEST_F(ListingReadAheadTest, AChangeSinceThePageWasBegunDropsIt) {
    // A change after the page was made.
    Answer(Call(0));
    ahead.Prepare();
    { ChangeClock::Change change(directory.clock); }
    EXPECT_EQ(ahead.Take(Call(kPageSize).args, kCaller), nullptr);

    // A change while it was made.
    Answer(Call(0));
    directory.changeWhileBuilding = true;
    ahead.Prepare();
    directory.changeWhileBuilding = false;
    EXPECT_FALSE(ahead.Pending());
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), 0u);
    EXPECT_EQ(ahead.Take(Call(kPageSize).args, kCaller), nullptr);

    // A change under way when it would be made: nothing is made.
    Answer(Call(0));
    const int builds = directory.builds;
    {
        ChangeClock::Change change(directory.clock);
        ahead.Prepare();
    }
    EXPECT_EQ(directory.builds, builds);
    EXPECT_EQ(ahead.Take(Call(kPageSize).args, kCaller), nullptr);

    // Changes that ended before it was made do not matter.
    Answer(Call(0));
    ahead.Prepare();
    EXPECT_NE(ahead.Take(Call(kPageSize).args, kCaller), nullptr);
    EXPECT_EQ(Prepared(), 2u) << "the page of a change under way or during the making was counted";
    EXPECT_EQ(Answered(), 1u) << "a page dropped after a change was counted as answered";
}

TEST_F(ListingReadAheadTest, OnlyAPageThatLeavesMoreToListIsFollowed) {
    Answer(Call(kEntries - 1));
    EXPECT_FALSE(ahead.Pending()) << "after the last page";
    Answer(Call(kEntries));
    EXPECT_FALSE(ahead.Pending()) << "after an empty page";
    Answer(Call(0, ListingReadAhead::kLargestPage + 4));
    EXPECT_FALSE(ahead.Pending()) << "after a page larger than prepared ahead";
    directory.status = NFS3ERR_ACCES;
    Answer(Call(0));
    EXPECT_FALSE(ahead.Pending()) << "after an error";

    // A continuation that fails when it is prepared is left to the call.
    directory.status = NFS3_OK;
    Answer(Call(0));
    directory.status = NFS3ERR_STALE;
    ahead.Prepare();
    EXPECT_EQ(ahead.Take(Call(kPageSize).args, kCaller), nullptr);
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), 0u);
}

TEST_F(ListingReadAheadTest, PreparedPagesOfAllConnectionsStayWithinTheBound) {
    constexpr size_t kFit = ListingReadAhead::kPreparedBytes / ListingReadAhead::kLargestPage;
    std::vector<std::unique_ptr<ListingReadAhead>> connections;
    for (size_t i = 0; i <= kFit; ++i) {
        connections.push_back(std::make_unique<ListingReadAhead>(directory.clock, directory.Builder()));
        ReadDirPlusPage first;
        const Call call(0, ListingReadAhead::kLargestPage);
        directory.Build(call.args, kCaller, first);
        connections.back()->Expect(call.args, first, kCaller);
        connections.back()->Prepare();
    }
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), ListingReadAhead::kPreparedBytes);
    const Call next(kPageSize, ListingReadAhead::kLargestPage);
    EXPECT_EQ(connections.back()->Take(next.args, kCaller), nullptr) << "one past the bound was prepared";
    EXPECT_NE(connections.front()->Take(next.args, kCaller), nullptr);
    connections.clear();
    EXPECT_EQ(ListingReadAhead::PreparedBytes(), 0u);
}

TEST(ChangeClockTest, AStampIsQuietOnlyWithNoChangeUnderWay) {
    ChangeClock clock;
    uint64_t stamp = 0;
    EXPECT_TRUE(clock.QuietStamp(stamp));
    {
        ChangeClock::Change change(clock);
        uint64_t during = 0;
        EXPECT_FALSE(clock.QuietStamp(during));
        EXPECT_FALSE(clock.Unchanged(stamp));
    }
    EXPECT_FALSE(clock.Unchanged(stamp)) << "a change that ended since";
    EXPECT_TRUE(clock.QuietStamp(stamp));
    EXPECT_TRUE(clock.Unchanged(stamp));
}

}  // namespace
